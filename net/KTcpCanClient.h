// The logger's HTTP/1.1 client over an IPv4 TCP connection (KTimedSocket),
// the answers read by KHttpAnswer; and the comfort relay (ComfortRelay.cpp):
// one comfort frame out as a line of hexadecimal text, one back.
//
// HTTP: ReadHttpStream sends a caller's request line (GET), PutHttpStream a
// text body to "/put_can_log.php" (PUT); each reads the answer on a
// connection of its own. With mTrace all traffic is echoed on standard
// output ("Tcp send: ", "Tcp recv: "), unprintable bytes as '.'.
//
// Waits. Every exchange is bounded, in both block modes: the connect by
// cHttpConnectWait; sending by mSendStallMs without progress (a slow link
// that keeps taking data is no failure); the whole answer, from the moment
// the request is sent, by mAnswerWaitMs. A server that sends slowly, or
// forever, fails the exchange like a dead one. When mStopEvent becomes
// readable, an exchange in progress ends at once (mFailure fkStopped).
// Outside an exchange (ReadLine, ReceiveBuffer called on their own) the
// waits are per call: 1 s for a line's first character, 100 ms for each
// further one, 2 s for each piece of a body.
//
// Limits (KHttpAnswer). A refused size fails the exchange, prints "invalid
// size in HTTP answer: ..." and closes the connection. The server's answer
// text is shown only as printable characters (KPrintableText).
#pragma once

#include <cstddef>

#include "HttpAnswer.h"
#include "PrintableText.h"
#include "TimedSocket.h"

class KComfortFrame;

class KTcpCanClient : public KTimedSocket {
public:
  enum : int {
    cLineSize = KHttpAnswer::cLineSize, // status, header and chunk-size lines
    cLineLimit = cLineSize - 1,         // so at most 1022 characters are kept
    cHostLineSize = 6 + cHostSize,      // "Host: " and any host the setters accept
    cPutHeaderSize = 512,
    cPathSize = 256,
    cMaxBody = KHttpAnswer::cMaxBody,   // largest answer body taken
    cElsterLineSize = 37,               // relay answer: 36 bytes and a NUL
    cElsterTextSize = 64,               // relay request line and answer
    cInputSize = 4096,                  // answer bytes read ahead in one receive
    cStatusTextSize = KHttpAnswer::cStatusTextSize
  };
  // Waits in milliseconds.
  enum : int {
    cHttpConnectWait = 1000,
    cEmptyLineWait = 100,
    cFirstCharWait = 1000,
    cNextCharWait = 100,
    cBodyWait = 2000,
    cSendStall = 3000,              // sending without progress
    cAnswerWait = 5000,             // the whole answer to a request
    cRelayConnectWait = 10,
    cRelaySendWait = 1000,
    cRelayFirstWait = 500,
    cRelayNextWait = 5
  };
  // Why the last exchange failed.
  enum TFailureEnum {
    fkNone,
    fkName,    // the server's name did not resolve
    fkConnect, // no connection
    fkSend,    // the request could not be sent
    fkAnswer,  // no whole answer in time, or a broken or refused one
    fkStatus,  // an answer other than 200 OK (mStatusCode)
    fkStopped  // ended by mStopEvent
  };

  KTcpCanClient();

  // Connects to mRemoteHost:mRemotePort within timeoutMs (KTimedSocket);
  // true also when already connected. Records fkName, fkConnect or
  // fkStopped when not.
  bool Connect(int timeoutMs);
  // Shutdown (when connected) and close; bytes read ahead are dropped.
  void Disconnect();
  // True when all `length` bytes went out (or there was nothing to send).
  // A send that makes progress is continued; one that cannot send a byte
  // within timeoutMs fails.
  bool SendBuffer(const char* data, int length, int timeoutMs);
  // Sends the text (may be null) and CR LF.
  bool WriteLine(const char* text);
  // Reads one line up to LF into buffer (size bytes with the NUL; CR
  // dropped; the rest of a longer line is read and dropped). True when the
  // LF arrived.
  bool ReadLine(char* buffer, int size);
  // Receives exactly `length` bytes (echoed when mTrace).
  bool ReceiveBuffer(char* buffer, int length);
  // Receives and echoes `count` bytes after "Tcp recv: ".
  bool TraceReceive(int count);

  // Sends `request` (a whole request line without its line end; null sends
  // "GET " mPath " HTTP/1.1"), the Host line and an empty line, and reads
  // the answer. With a body slot (body not null) the answer body is handed
  // back in *body (new[]; the caller delete[]s it) with its length in
  // `length`, NUL-terminated; without one it is read and dropped (at most
  // 1023 bytes of a body with Content-Length; the connection is then
  // closed). True for a 200 OK answer read completely. A connection found
  // open is kept unless anything failed or the server said
  // "Connection: close".
  bool ReadHttpStream(char** body, int& length, const char* request);
  // PUTs `body` and CR LF to /put_can_log.php and reads the answer; a
  // chunked answer text is printed as one line after "result: ". Always
  // disconnects. True when the body went out and the answer was 200 OK.
  bool PutHttpStream(const char* body);

  // What the last exchange's failure was, for the console: "HTTP server not
  // connected", "HTTP 403 Forbidden", "HTTP server did not answer within
  // 5 s" ... (empty after a success).
  void FailureText(char* out, std::size_t size) const;
  // The last failure was the server's own refusal of the request (a 4xx
  // status other than 408 and 429): sending the same again would not help.
  bool Refused() const;
  // The last exchange's failure (fkNone after a success) and the status
  // code of its answer (0 when no status line arrived).
  TFailureEnum Failure() const { return mFailure; }
  int StatusCode() const { return mStatusCode; }
  // The last exchange did not reach the server at all (its name not found,
  // no connection).
  bool NotReached() const { return mFailure == fkName || mFailure == fkConnect; }
  // A descriptor that, once readable, ends any exchange in progress.
  void SetStopEvent(int fd) { mStopEvent = fd; }

  // Comfort relay: one exchange on a connection of its own (connect, send
  // the request's text and two LF, read one answer line, disconnect). True
  // when the answer line is a valid frame text; `answer` holds it then.
  bool SendComfortFrame(const KComfortFrame& request, KComfortFrame& answer);
  // Removes trailing blanks from `text` (a buffer of `size` bytes), appends
  // LF and sends it. False when there is no room for the LF or the send fails.
  bool SendElster(char* text, std::size_t size, int timeoutMs);
  // Reads one answer line ending in LF (kept) within 36 bytes into buffer,
  // which needs cElsterLineSize bytes. Prints "broken %s\n" when the answer
  // breaks off, "no LF %s\n" when 36 bytes come without an LF.
  bool ReadElster(char* buffer, std::size_t size);

  char mPath[cPathSize];
  int mContentLength;
  bool mTrace;
  // Bounds of one exchange (milliseconds), see Waits above.
  int mAnswerWaitMs;
  int mSendStallMs;

private:
  TFailureEnum mFailure;
  // The last answer's status code (0 when no status line arrived) and its
  // code and reason as printable text ("403 Forbidden").
  int mStatusCode;
  char mStatusText[cStatusTextSize];
  // What becomes of the answer body.
  struct KBodyUse;
  // Reads bytes ahead first, then from the socket.
  int Receive(char* buffer, int length, int timeoutMs);
  // Fills the read-ahead buffer; false when nothing came.
  bool Fill(int timeoutMs);
  // Starts an exchange: clears the failure and the status.
  void BeginExchange();
  // Records why the exchange failed (the first reason counts; a stop
  // counts before any other).
  void Fail(TFailureEnum failure);
  // Sends the request's lines (failure fkSend) and starts the answer's
  // deadline.
  bool SendRequest(const char* const* lines, int count);
  // Reads one answer into `use`; false when it broke off, ran out of time
  // or was refused.
  bool ReadAnswer(KBodyUse& use);
  // Takes over the answer's status; fkStatus when it was not 200 OK.
  bool EndAnswer(bool ok);
  bool ReceivePieces(char* line, int count);
  void Echo(const char* data, int length);

  KHttpAnswer mAnswer;
  // Answer bytes read ahead: mInput[mInputPos .. mInputEnd).
  char mInput[cInputSize];
  int mInputPos;
  int mInputEnd;
};
