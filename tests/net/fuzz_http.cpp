// libFuzzer target for KHttpAnswer, the reader of the answers the HTTP
// client takes: the input (after a first byte that picks how much of a
// Content-Length body is taken and how the bytes are cut) is what a server
// sends. The answer is read twice, once given all at once and once in small
// pieces, and both readings must tell the same story; besides the
// sanitizers' findings, a broken invariant aborts.
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Inet -Ican \
//     net/HttpAnswer.cpp net/PrintableText.cpp can/NCanUtils.cpp \
//     tests/net/fuzz_http.cpp -o fuzz_http
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HttpAnswer.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

// Reads `size` bytes given in pieces of at most `cut` bytes; returns the
// story: every line, piece and end, with the data of each piece.
std::string Read(const char* data, std::size_t size, std::size_t cut, int take,
                 KHttpAnswer& answer) {
  answer.Begin(take);
  std::string story;
  std::size_t given = 0;  // bytes handed to the reader so far
  std::size_t at = 0;     // bytes it has used
  long bodyBytes = 0;
  bool open = false;
  for (int steps = 0;; ++steps) {
    Check(steps <= 6 * static_cast<int>(size) + 16); // every event makes progress
    KHttpAnswer::KEvent event;
    std::size_t used = answer.Feed(data + at, given - at, event);
    Check(used <= given - at);
    at += used;
    switch (event.mKind) {
    case KHttpAnswer::evMore:
      Check(at == given);
      if (given == size)
        return story + "|eof";
      given = given + cut < size ? given + cut : size;
      break;
    case KHttpAnswer::evLine:
      Check(!open);
      Check(answer.LineLength() >= 0 && answer.LineLength() < KHttpAnswer::cLineLimit);
      Check(answer.Line()[answer.LineLength()] == 0);
      Check(std::memchr(answer.Line(), '\r', static_cast<std::size_t>(answer.LineLength())) ==
            nullptr);
      story += "|L:" + std::string(answer.Line(), static_cast<std::size_t>(answer.LineLength()));
      break;
    case KHttpAnswer::evPieceStart:
      Check(!open);
      open = true;
      story += "|P:";
      break;
    case KHttpAnswer::evData:
      Check(open && event.mLength > 0);
      Check(event.mData == data + at - used && static_cast<std::size_t>(event.mLength) == used);
      if (!event.mChunkEnd)
        bodyBytes += event.mLength;
      story.append(event.mData, static_cast<std::size_t>(event.mLength));
      break;
    case KHttpAnswer::evDataEnd:
      Check(open);
      story += "|E";
      break;
    case KHttpAnswer::evPieceEnd:
      Check(open);
      open = false;
      break;
    case KHttpAnswer::evDone:
      Check(!open);
      Check(bodyBytes <= KHttpAnswer::cMaxBody);
      if (!answer.Chunked() || answer.ContentLength() > 0)
        Check(take < 0 || bodyBytes <= take);
      // Done stays done, and uses nothing more.
      Check(answer.Feed(data + at, size - at, event) == 0 && event.mKind == KHttpAnswer::evDone);
      return story + "|done";
    case KHttpAnswer::evRefused:
      Check(answer.Feed(data + at, size - at, event) == 0 &&
            event.mKind == KHttpAnswer::evRefused);
      return story + "|refused:" + answer.Line();
    }
    Check(answer.ContentLength() >= 0 && answer.ContentLength() <= KHttpAnswer::cMaxBody);
    Check(answer.StatusCode() >= 0 && answer.StatusCode() <= 999);
    Check(std::strlen(answer.StatusText()) < KHttpAnswer::cStatusTextSize);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  if (size < 1 || size > 65536)
    return 0;
  const unsigned mode = bytes[0];
  const char* data = reinterpret_cast<const char*>(bytes + 1);
  --size;
  // How much of a Content-Length body is taken: all, none, a line buffer's
  // worth (as the client's three exchanges do) or a few bytes.
  const int takes[4] = {-1, 0, KHttpAnswer::cLineLimit, 3};
  const int take = takes[mode & 3];
  const std::size_t cut = 1 + (mode >> 2) % 17;
  KHttpAnswer whole;
  KHttpAnswer pieces;
  std::string a = Read(data, size, size > 0 ? size : 1, take, whole);
  std::string b = Read(data, size, cut, take, pieces);
  Check(a == b);
  Check(whole.StatusOk() == pieces.StatusOk() && whole.StatusCode() == pieces.StatusCode() &&
        whole.BodyCut() == pieces.BodyCut() && whole.CloseSeen() == pieces.CloseSeen());
  return 0;
}
