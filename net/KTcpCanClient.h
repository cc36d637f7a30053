// The logger's HTTP/1.1 client over an IPv4 TCP socket, and the comfort
// relay: one comfort frame out as a line of hexadecimal text, one back.
//
// HTTP: ReadHttpStream sends a caller's request line (GET), PutHttpStream a
// text body to "/put_can_log.php" (PUT); each reads the answer (status line
// "HTTP/1.1 200 OK", headers, a body with Content-Length or chunked) on a
// connection of its own. Only the little of HTTP these exchanges need: no
// TLS, redirects, authentication, header folding or trailers; header names
// are matched case-sensitively. With mTrace all traffic is echoed on
// standard output ("Tcp send: ", "Tcp recv: ").
//
// Waits. Every connect, send and receive is bounded, in both block modes:
// in non-blocking mode by select before the call, in blocking mode by a
// connect that polls and by receive/send time-outs on the descriptor. A
// server that does not answer or stops in the middle of an answer costs
// about a second per exchange.
//
// Limits. An answer body (Content-Length, one chunk, or all chunks of one
// answer together) may hold at most cMaxBody bytes (1 MiB); a negative,
// wrapping or larger size fails the exchange, prints "invalid size in HTTP
// answer: ..." and closes the connection.
#pragma once

#include <cstddef>

#include "KIpSocket.h"

class KComfortFrame;

class KTcpCanClient : public KIpSocket {
public:
  enum : int {
    cLineSize = 1024,               // status, header and chunk-size lines
    cLineLimit = cLineSize - 1,     // so at most 1022 characters are kept
    cHostLineSize = 6 + cHostSize,  // "Host: " and any host the setters accept
    cPutHeaderSize = 512,
    cPathSize = 256,
    cMaxBody = 1024 * 1024,         // largest answer body taken
    cElsterLineSize = 37,           // relay answer: 36 bytes and a NUL
    cElsterTextSize = 64            // relay request line and answer
  };
  // Waits in milliseconds.
  enum : int {
    cHttpConnectWait = 1000,
    cSendWait = 1000,
    cEmptyLineWait = 100,
    cFirstCharWait = 1000,
    cNextCharWait = 100,
    cBodyWait = 2000,
    cRelayConnectWait = 10,
    cRelaySendWait = 1000,
    cRelayFirstWait = 500,
    cRelayNextWait = 5
  };

  KTcpCanClient();

  // Opens the descriptor and connects to mRemoteHost:mRemotePort within
  // timeoutMs; true also when already connected. A failure closes the socket.
  bool Connect(int timeoutMs);
  // Shutdown (when connected) and close.
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
  // chunked answer text is printed after "result: ". Always disconnects.
  // True when the body went out and the answer was 200 OK.
  bool PutHttpStream(const char* body);

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
  bool mConnected;

private:
  // One bounded receive or send: ReceiveBuf/SendBuf, with the descriptor's
  // time-out set to the wait in blocking mode.
  int Receive(char* buffer, int length, int timeoutMs);
  int Send(const char* data, int length, int timeoutMs);
  void SetDescriptorWait(int option, int& current, int timeoutMs);
  bool ConnectBlocking(const sockaddr_in& address, int timeoutMs);
  // Status line and headers; false when the answer broke off or a size was
  // refused. statusOk tells whether the status line was "200 OK".
  bool ReadAnswerHead(char* line, bool& statusOk, bool& chunked, bool& closeSeen);
  // The next chunk-size line: false when it did not arrive or its size, or
  // the answer's total `held`, passes cMaxBody.
  bool ReadChunkSize(char* line, long held, int& size, bool& last);
  // Receives `count` bytes in line-buffer pieces (of at most 1023 bytes),
  // printed with `print` (the text of a PUT's answer), else dropped.
  bool ReceivePieces(char* line, int count, bool print);
  // A chunked body that is not handed back: echoed with mTrace, else
  // dropped or, with printResult, printed after "result: ".
  bool ReadChunks(char* line, bool printResult);
  // A chunked body for a caller's slot.
  bool ReadChunkedBody(char* line, char** body, int& length);

  // Time-outs set on mWaitSocket (ms, 0 none); -1 when not known.
  int mWaitSocket;
  int mRecvWait;
  int mSendWait;
};
