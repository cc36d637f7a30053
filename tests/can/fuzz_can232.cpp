// libFuzzer target for the CAN232 line decoder, fed as the driver feeds it:
// the serial bytes cut into lines at each carriage return, every line read
// into a KCan232Frame and decoded. A decoded frame must be one the adapter
// can carry (length 0..8, 11 or 29 identifier bits, no error flag), encode
// to a line that decodes to the same frame, and survive the trip through
// its candump log line. Besides the sanitizers' findings (a length the
// decoder lets through above 8 writes past the data bytes), a broken
// invariant aborts.
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Ican \
//     -Itools/candump_log can/*.cpp tools/candump_log/CandumpLog.cpp \
//     tests/can/fuzz_can232.cpp -o fuzz_can232
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CandumpLog.h"
#include "NCanUtils.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

void CheckLine(const std::string& text) {
  KCan232Frame line(text.c_str());
  KCanFrame frame;
  frame.mCounter = 1;
  const int used = line.Decode(frame);
  Check(line.IsOk() == (used > 0));
  if (used == 0)
    return;
  Check(used <= static_cast<int>(std::strlen(line.mText)));
  Check(frame.mLen >= 0 && frame.mLen <= 8);
  Check((frame.mId & KCanFrame::cErrorFlag) == 0);
  const bool extended = (frame.mId & KCanFrame::cExtendedFlag) != 0;
  Check(extended == (line.mText[0] == 'T' || line.mText[0] == 'R'));
  Check(((frame.mId & KCanFrame::cRemoteFlag) != 0) ==
        (line.mText[0] == 'r' || line.mText[0] == 'R'));
  Check((frame.mId & KCanFrame::cIdMask) <= (extended ? 0x1FFFFFFFu : 0x7FFu));
  Check(frame.mCounter == 0 && frame.mDays == 0 && frame.mMs == 0);

  KCan232Frame encoded;
  encoded.GetCanFrame(frame);
  KCanFrame again;
  Check(encoded.Decode(again) == static_cast<int>(std::strlen(encoded.mText)));
  Check(again.mId == frame.mId && again.EqualData(frame));

  char candump[cLineSize];
  NCanUtils::FormatCandump(frame, "ttyUSB0", candump);
  KCandumpFrame read;
  const char* why = "";
  Check(ParseCandumpLine(candump, read, why) == clFrame);
  // A remote frame carries no data on the bus: its line has none.
  const bool remote = (frame.mId & KCanFrame::cRemoteFlag) != 0;
  Check(read.IdWord() == frame.mId && read.mLen == frame.mLen &&
        (remote || std::memcmp(read.mData, frame.mData, static_cast<std::size_t>(frame.mLen)) == 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The driver keeps at most 126 bytes of a line and restarts it at a
  // frame letter; the decoder must cope with whatever is left.
  std::string line;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\r') {
      CheckLine(line);
      line.clear();
    } else if (c != 0 && line.size() < 126) {
      line += c;
    }
  }
  CheckLine(line);
  return 0;
}
