// The reader of one HTTP/1.1 answer, fed its bytes as they come: status
// line, header lines, and a body given by Content-Length or sent chunked.
// No sockets and no console: Feed hands back one event at a time (a whole
// line, a piece of body, the end) and the caller decides what to do with
// it, so the reader can be driven from a socket, a test or a fuzzer alike.
//
// Lines end at LF; a CR anywhere in a line is dropped, and of a longer line
// only the first cLineLimit - 1 characters are kept. Header names are
// matched case-sensitively as substrings of the line ("Content-Length",
// "Transfer-Encoding: chunked", "Connection: close"). A Content-Length body
// wins over chunked. After each chunk-size line the chunk's data and the
// two bytes that end it follow; a chunk of size 0, or one whose size line
// carries anything after its digits (an extension), is the last.
//
// Limits: a Content-Length above cMaxBody or negative, a chunk or the sum
// of an answer's chunks above cMaxBody refuse the answer (evRefused, the
// line in Line()). Of a Content-Length body only the first `bodyTake`
// bytes given to Begin are read (BodyCut tells that the rest was left).
#pragma once

#include <cstddef>

class KHttpAnswer {
public:
  enum : int {
    cLineSize = 1024,
    cLineLimit = cLineSize - 1, // so at most 1022 characters are kept
    cMaxBody = 1024 * 1024,
    cStatusTextSize = 64        // "403 Forbidden"
  };
  enum TEventEnum {
    evMore,       // every byte given is used: feed more
    evLine,       // a whole line arrived: Line()
    evPieceStart, // a body piece begins (a Content-Length body, or one chunk)
    evData,       // bytes of the piece: mData, mLength; mChunkEnd for the
                  // two bytes that end a chunk
    evDataEnd,    // the piece's data is complete (a chunk's end bytes follow)
    evPieceEnd,
    evDone,       // the answer is complete
    evRefused     // a size this reader does not take: Line() holds it
  };
  struct KEvent {
    TEventEnum mKind = evMore;
    const char* mData = nullptr;
    int mLength = 0;
    bool mChunkEnd = false;
  };

  KHttpAnswer() { Begin(-1); }
  // Starts a new answer. bodyTake: how many bytes of a Content-Length body
  // to read, negative for all of it.
  void Begin(int bodyTake);
  // Uses bytes from data[0 .. size) up to the next event and returns how
  // many it used. Call again (also with no bytes) until evDone or
  // evRefused; evMore asks for more bytes.
  std::size_t Feed(const char* data, std::size_t size, KEvent& event);

  // The last whole line (without CR and LF).
  const char* Line() const { return mLine; }
  int LineLength() const { return mLineLength; }
  // The status line read "HTTP/1.1 200 O..."; its code (0 when there is
  // none) and its code and reason as printable text ("403 Forbidden").
  bool StatusOk() const { return mStatusOk; }
  int StatusCode() const { return mStatusCode; }
  const char* StatusText() const { return mStatusText; }
  // The last Content-Length taken (0 when none).
  int ContentLength() const { return mContentLength; }
  bool Chunked() const { return mChunked; }
  bool CloseSeen() const { return mCloseSeen; }
  // Part of a Content-Length body was left unread (bodyTake).
  bool BodyCut() const { return mBodyCut; }

private:
  enum TStateEnum {
    stStatus, stHeader, stHeadEnd, stBodyStart, stBody, stChunkSize, stChunkStart, stChunkData,
    stChunkEnd, stPieceEnd, stDone, stRefused
  };
  // Adds bytes to the line until its LF; true when the line is whole.
  bool TakeLine(const char* data, std::size_t size, std::size_t& used);
  void TakeStatus();
  // A header line: false when it carries a size that is refused.
  bool TakeHeader();
  bool TakeChunkSize();
  // Hands out body bytes of the current piece.
  std::size_t GiveData(const char* data, std::size_t size, KEvent& event, bool chunkEnd);

  TStateEnum mState;
  int mBodyTake;
  char mLine[cLineSize];
  int mLineLength;
  bool mLineStarted;
  bool mStatusOk;
  int mStatusCode;
  char mStatusText[cStatusTextSize];
  int mContentLength;
  bool mChunked;
  bool mCloseSeen;
  bool mBodyCut;
  // Bytes still to come of the current piece part; sum of chunk sizes.
  long mRemaining;
  long mHeld;
  bool mLastChunk;
};
