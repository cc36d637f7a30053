#include "KTcpCanClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "NCanUtils.h" // KComfortFrame, hexadecimal digits

namespace {

const char cStatusOk[] = "HTTP/1.1 200 OK";
const std::size_t cStatusCompared = sizeof(cStatusOk) - 2; // the K is not compared

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void PrintRefused(const char* line) {
  char text[KPrintableText::cLineSize];
  PrintableText(line, strnlen(line, 60), text, sizeof(text));
  std::printf("invalid size in HTTP answer: %s\n", text);
}

// The IPv4 address of `host` (an address or a name that resolves), or false.
bool Resolve(const char* host, unsigned short port, sockaddr_in& address) {
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (host == nullptr || host[0] == 0)
    return false;
  if (inet_pton(AF_INET, host, &address.sin_addr) == 1)
    return true;
  // Digits and dots only, and no address: a mistyped address, never a name.
  if (std::strspn(host, "0123456789.") == std::strlen(host))
    return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
    return false;
  address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

} // namespace

KTcpCanClient::KTcpCanClient()
    : mContentLength(0), mTrace(false), mConnected(false), mAnswerWaitMs(cAnswerWait),
      mSendStallMs(cSendStall), mStopEvent(-1), mFailure(fkNone), mStatusCode(0), mInputPos(0),
      mInputEnd(0), mDeadline(0), mTimedOut(false) {
  std::snprintf(mPath, sizeof(mPath), "/");
  mStatusText[0] = 0;
}

// ---------------------------------------------------------------------------
// Bounded waits

KTcpCanClient::TWaitEnum KTcpCanClient::Wait(bool write, int timeoutMs) {
  const long long start = NowMs();
  for (;;) {
    long long limit = timeoutMs < 0 ? 0 : timeoutMs;
    limit -= NowMs() - start;
    if (mDeadline > 0 && mDeadline - NowMs() < limit)
      limit = mDeadline - NowMs();
    if (limit < 0)
      limit = 0;
    pollfd p[2] = {{mSocket, static_cast<short>(write ? POLLOUT : POLLIN), 0},
                   {mStopEvent, POLLIN, 0}};
    int n = poll(p, mStopEvent >= 0 ? 2 : 1, static_cast<int>(limit));
    if (n < 0 && errno == EINTR)
      continue;
    if (mStopEvent >= 0 && (p[1].revents & POLLIN) != 0)
      return wtStopped;
    if (n > 0 && p[0].revents != 0)
      return wtReady;
    return wtTimeOut;
  }
}

int KTcpCanClient::Receive(char* buffer, int length, int timeoutMs) {
  if (!mOpen)
    return 0;
  if (length <= 0)
    return 0;
  if (mInputPos < mInputEnd) {
    int n = mInputEnd - mInputPos < length ? mInputEnd - mInputPos : length;
    std::memcpy(buffer, mInput + mInputPos, static_cast<std::size_t>(n));
    mInputPos += n;
    return n;
  }
  for (;;) {
    switch (Wait(false, timeoutMs)) {
    case wtStopped:
      Fail(fkStopped);
      return -1;
    case wtTimeOut:
      mTimedOut = true;
      errno = EAGAIN;
      return static_cast<int>(ErrorCheck(-1, "recv"));
    case wtReady:
      break;
    }
    ssize_t n = recv(mSocket, buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
    if (n == -1 && (errno == EAGAIN || errno == EINTR))
      continue;
    return static_cast<int>(ErrorCheck(n, "recv"));
  }
}

int KTcpCanClient::Send(const char* data, int length, int timeoutMs) {
  if (!mOpen)
    return 0;
  for (;;) {
    switch (Wait(true, timeoutMs)) {
    case wtStopped:
      Fail(fkStopped);
      return -1;
    case wtTimeOut:
      errno = EAGAIN;
      return static_cast<int>(ErrorCheck(-1, "send"));
    case wtReady:
      break;
    }
    // MSG_NOSIGNAL: a peer that has gone away gives EPIPE instead of a
    // SIGPIPE that would end the program.
    ssize_t n = send(mSocket, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == -1 && (errno == EAGAIN || errno == EINTR))
      continue;
    return static_cast<int>(ErrorCheck(n, "send"));
  }
}

bool KTcpCanClient::Fill(int timeoutMs) {
  mInputPos = 0;
  mInputEnd = 0;
  int n = Receive(mInput, cInputSize, timeoutMs);
  if (n <= 0)
    return false;
  mInputEnd = n;
  return true;
}

int KTcpCanClient::LineWait(bool first) const {
  if (mDeadline > 0)
    return mAnswerWaitMs;
  return first ? cFirstCharWait : cNextCharWait;
}

int KTcpCanClient::BodyWait() const { return mDeadline > 0 ? mAnswerWaitMs : cBodyWait; }

// A connect that waits: the descriptor is made non-blocking for it (a
// blocking connect takes minutes when the packets vanish) and polled,
// together with the stop event.
bool KTcpCanClient::ConnectBlocking(const sockaddr_in& address, int timeoutMs) {
  const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(&address);
  int flags = fcntl(mSocket, F_GETFL);
  if (flags == -1)
    flags = 0;
  if (ErrorCheck(fcntl(mSocket, F_SETFL, flags | O_NONBLOCK), "fcntl") == -1)
    return false;
  bool connected = connect(mSocket, pAddress, sizeof(address)) == 0;
  int err = errno;
  bool stopped = false;
  if (!connected && err == EINPROGRESS) {
    TWaitEnum w = Wait(true, timeoutMs > 0 ? timeoutMs : INT_MAX);
    stopped = w == wtStopped;
    if (w == wtReady) {
      socklen_t len = sizeof(err);
      if (getsockopt(mSocket, SOL_SOCKET, SO_ERROR, &err, &len) == -1)
        err = errno;
      connected = err == 0;
    } else {
      err = ETIMEDOUT;
    }
  }
  if (stopped) {
    Fail(fkStopped);
  } else if (!connected) {
    errno = err;
    ErrorCheck(-1, "connect");
  }
  if (mOpen && mBlockMode == bmBlocking)
    ErrorCheck(fcntl(mSocket, F_SETFL, flags), "fcntl");
  return connected;
}

// ---------------------------------------------------------------------------
// Connection and line transfer

bool KTcpCanClient::Connect(int timeoutMs) {
  if (!mOpen)
    mConnected = false; // a socket closed behind our back holds no connection
  if (!mConnected) {
    mInputPos = 0;
    mInputEnd = 0;
    sockaddr_in address;
    if (!Resolve(mRemoteHost, mRemotePort, address)) {
      Fail(fkName);
      Close();
      return false;
    }
    Open();
    if (mOpen) {
      if (mBlockMode == bmBlocking) {
        mConnected = ConnectBlocking(address, timeoutMs);
      } else {
        // A non-blocking connect reports its EINPROGRESS, then waits.
        const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(&address);
        mConnected = ErrorCheck(connect(mSocket, pAddress, sizeof(address)), "connect") == 0;
        if (!mConnected && timeoutMs > 0) {
          TWaitEnum w = Wait(true, timeoutMs);
          if (w == wtStopped)
            Fail(fkStopped);
          mConnected = w == wtReady;
        }
      }
    }
    if (!mConnected)
      Fail(fkConnect);
  }
  if (!mConnected)
    Close();
  return mConnected;
}

void KTcpCanClient::Disconnect() {
  if (mConnected) {
    if (mOpen)
      ErrorCheck(shutdown(mSocket, SHUT_RDWR), "shutdown");
    mConnected = false;
  }
  Close();
  mInputPos = 0;
  mInputEnd = 0;
}

bool KTcpCanClient::SendBuffer(const char* data, int length, int timeoutMs) {
  if (data == nullptr || length <= 0)
    return true;
  while (length > 0) {
    int n = Send(data, length, timeoutMs);
    if (n <= 0)
      return false;
    data += n;
    length -= n;
  }
  return true;
}

bool KTcpCanClient::WriteLine(const char* text) {
  if (mTrace && text != nullptr) {
    const char* p = text;
    for (;;) {
      const char* end = std::strstr(p, "\r\n");
      std::size_t n = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
      std::printf("Tcp send: %.*s\n", static_cast<int>(n), p);
      if (end == nullptr)
        break;
      p = end + 2;
    }
  }
  std::size_t length = text != nullptr ? std::strlen(text) : 0;
  if (length > static_cast<std::size_t>(INT_MAX))
    return false;
  if (length > 0 && !SendBuffer(text, static_cast<int>(length), mSendStallMs))
    return false;
  return SendBuffer("\r\n", 2, length > 0 ? mSendStallMs : cEmptyLineWait);
}

// The server's bytes on the console: printable ones as they are, the rest
// (escape sequences, bare CRs) as '.'; line feeds stay.
void KTcpCanClient::Echo(const char* data, int length) {
  for (int i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    std::putchar(c == '\n' || (c >= 0x20 && c <= 0x7E) ? c : '.');
  }
}

bool KTcpCanClient::ReadLine(char* buffer, int size) {
  int kept = 0;
  const bool terminated = size > 0;
  if (terminated)
    buffer[0] = 0;
  bool done = false;
  bool first = true;
  while (!done) {
    if (mInputPos == mInputEnd && !Fill(LineWait(first)))
      break;
    first = false;
    char c = mInput[mInputPos++];
    if (c == '\r')
      continue;
    if (c == '\n') {
      done = true;
    } else if (size > 1) {
      buffer[kept++] = c;
      buffer[kept] = 0;
      --size;
    }
  }
  if (done && mTrace) {
    std::printf("Tcp recv: ");
    Echo(terminated ? buffer : "", kept);
    std::printf("\n");
  }
  return done;
}

bool KTcpCanClient::ReceiveBuffer(char* buffer, int length) {
  bool ok = true;
  while (ok && length > 0) {
    int n = Receive(buffer, length, BodyWait());
    ok = n > 0;
    if (!ok)
      break;
    if (mTrace)
      Echo(buffer, n);
    buffer += n;
    length -= n;
  }
  return ok;
}

bool KTcpCanClient::TraceReceive(int count) {
  char piece[cLineSize];
  std::printf("Tcp recv: ");
  bool ok = ReceivePieces(piece, count, nullptr);
  std::printf("\n");
  return ok;
}

bool KTcpCanClient::ReceivePieces(char* line, int count, KPrintableText* text) {
  bool ok = true;
  while (ok && count > 0) {
    int n = count < cLineLimit ? count : cLineLimit;
    ok = ReceiveBuffer(line, n);
    if (ok && text != nullptr)
      text->Add(line, static_cast<std::size_t>(n));
    count -= n;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Exchanges

void KTcpCanClient::Fail(TFailureEnum failure) {
  if (mFailure == fkNone)
    mFailure = failure;
}

void KTcpCanClient::BeginExchange() {
  mFailure = fkNone;
  mStatusCode = 0;
  mStatusText[0] = 0;
  mDeadline = 0;
  mTimedOut = false;
}

void KTcpCanClient::AwaitAnswer() {
  mTimedOut = false;
  mDeadline = NowMs() + (mAnswerWaitMs > 0 ? mAnswerWaitMs : 1);
}

void KTcpCanClient::EndExchange() { mDeadline = 0; }

void KTcpCanClient::FailureText(char* out, std::size_t size) const {
  if (out == nullptr || size == 0)
    return;
  char host[KPrintableText::cLineSize];
  switch (mFailure) {
  case fkNone: out[0] = 0; break;
  case fkName:
    PrintableText(mRemoteHost, std::strlen(mRemoteHost), host, sizeof(host));
    std::snprintf(out, size, "HTTP server name not found: %s", host);
    break;
  case fkConnect:
  case fkSend: std::snprintf(out, size, "HTTP server not connected"); break;
  case fkAnswer:
    if (mTimedOut)
      std::snprintf(out, size, "HTTP server did not answer within %d s",
                    (mAnswerWaitMs + 999) / 1000);
    else
      std::snprintf(out, size, "HTTP answer broken off or refused");
    break;
  case fkStatus: std::snprintf(out, size, "HTTP %s", mStatusText); break;
  case fkStopped: std::snprintf(out, size, "HTTP exchange stopped"); break;
  }
}

bool KTcpCanClient::Refused() const {
  return mFailure == fkStatus && mStatusCode >= 400 && mStatusCode < 500 && mStatusCode != 408 &&
         mStatusCode != 429;
}

void KTcpCanClient::TakeStatus(const char* line) {
  const char* code = std::strchr(line, ' ');
  if (code == nullptr)
    return;
  ++code;
  mStatusCode = 0;
  for (int i = 0; i < 3 && code[i] >= '0' && code[i] <= '9'; ++i)
    mStatusCode = mStatusCode * 10 + (code[i] - '0');
  PrintableText(code, strnlen(code, cStatusTextSize / 2), mStatusText, sizeof(mStatusText));
}

bool KTcpCanClient::ReadAnswerHead(char* line, bool& statusOk, bool& chunked, bool& closeSeen) {
  statusOk = false;
  chunked = false;
  closeSeen = false;
  if (!ReadLine(line, cLineLimit))
    return false;
  statusOk = std::strncmp(line, cStatusOk, cStatusCompared) == 0;
  TakeStatus(line);
  for (;;) {
    if (!ReadLine(line, cLineLimit))
      return false;
    if (line[0] == 0)
      return true;
    if (const char* p = std::strstr(line, "Content-Length")) {
      p += sizeof("Content-Length") - 1;
      while (*p != 0 && static_cast<unsigned char>(*p) <= 32)
        ++p;
      if (*p == ':') {
        // strtol saturates instead of wrapping; a size this client cannot
        // take fails the answer rather than being cut to an int.
        long value = std::strtol(p + 1, nullptr, 10);
        if (value < 0 || value > cMaxBody) {
          PrintRefused(line);
          return false;
        }
        mContentLength = static_cast<int>(value);
      }
    } else if (std::strstr(line, "Transfer-Encoding: chunked") != nullptr) {
      chunked = true;
    } else if (std::strstr(line, "Connection: close") != nullptr) {
      closeSeen = true;
    }
  }
}

bool KTcpCanClient::ReadChunkSize(char* line, long held, int& size, bool& last) {
  if (!ReadLine(line, cLineLimit))
    return false;
  // Hexadecimal digits from the start of the line, checked digit by digit
  // so that no count of digits can wrap.
  long value = 0;
  const char* p = line;
  while (NCanUtils::IsHexDigit(*p)) {
    value = value * 16 + NCanUtils::GetHexDigit(*p);
    ++p;
    if (value > cMaxBody || held + value > cMaxBody) {
      PrintRefused(line);
      return false;
    }
  }
  size = static_cast<int>(value);
  // A chunk extension (or anything else after the digits) ends the body
  // after this chunk.
  last = size == 0 || *p != 0;
  return true;
}

// A chunked body for a caller's slot: grown by doubling (not chunk by
// chunk), so many small chunks cost no more than a few large ones.
bool KTcpCanClient::ReadChunkedBody(char* line, char** body, int& length) {
  char* data = nullptr;
  long capacity = 0;
  long held = 0;
  bool ok = true;
  bool last = false;
  while (ok && !last) {
    int size = 0;
    ok = ReadChunkSize(line, held, size, last);
    if (!ok)
      break;
    long needed = held + size + 2;
    if (needed > capacity) {
      long grown = capacity * 2 > needed ? capacity * 2 : needed;
      if (grown > cMaxBody + 2L)
        grown = cMaxBody + 2L;
      char* larger = new (std::nothrow) char[static_cast<std::size_t>(grown)];
      if (larger == nullptr) {
        ok = false;
        break;
      }
      if (held > 0)
        std::memcpy(larger, data, static_cast<std::size_t>(held));
      delete[] data;
      data = larger;
      capacity = grown;
    }
    ok = ReceiveBuffer(data + held, size + 2);
    held += size;
  }
  *body = data;
  length = static_cast<int>(held);
  return ok;
}

bool KTcpCanClient::ReadChunks(char* line, bool printResult) {
  bool ok = true;
  bool last = false;
  long held = 0;
  KPrintableText text;
  while (ok && !last) {
    int size = 0;
    ok = ReadChunkSize(line, held, size, last);
    if (!ok)
      break;
    held += size;
    if (mTrace) {
      ok = TraceReceive(size + 2);
    } else {
      // The chunk's own CR LF is not part of the text.
      int data = size;
      ok = ReceivePieces(line, data, printResult ? &text : nullptr) && ReceivePieces(line, 2, nullptr);
    }
  }
  if (!text.Empty()) {
    char shown[KPrintableText::cLineSize];
    text.Format(shown, sizeof(shown));
    std::printf("result: %s\n", shown);
  }
  return ok;
}

bool KTcpCanClient::ReadHttpStream(char** body, int& length, const char* request) {
  if (body != nullptr)
    *body = nullptr;
  mContentLength = 0;
  BeginExchange();
  bool keep = mConnected;
  if (!mConnected && !Connect(cHttpConnectWait)) {
    EndExchange();
    return false;
  }

  char line[cLineSize];
  char hostLine[cHostLineSize];
  std::snprintf(hostLine, sizeof(hostLine), "Host: %s", mRemoteHost);
  bool ok;
  if (request != nullptr) {
    ok = WriteLine(request);
  } else {
    char fallback[cPutHeaderSize];
    std::snprintf(fallback, sizeof(fallback), "GET %s HTTP/1.1", mPath);
    ok = WriteLine(fallback);
  }
  ok = ok && WriteLine(hostLine) && WriteLine("");
  if (!ok)
    Fail(fkSend);

  bool statusOk = false;
  if (ok) {
    AwaitAnswer();
    bool chunked = false;
    bool closeSeen = false;
    ok = ReadAnswerHead(line, statusOk, chunked, closeSeen);
    if (closeSeen)
      keep = false;
    if (ok && mContentLength > 0) {
      if (body != nullptr) {
        *body = new (std::nothrow) char[static_cast<std::size_t>(mContentLength) + 1];
        length = mContentLength;
        ok = *body != nullptr && ReceiveBuffer(*body, mContentLength);
      } else {
        int n = mContentLength < cLineLimit ? mContentLength : cLineLimit;
        ok = mTrace ? TraceReceive(n) : ReceiveBuffer(line, n);
        // The rest of a longer body stays unread: the connection cannot be
        // used again.
        if (n < mContentLength)
          keep = false;
      }
    } else if (ok && chunked) {
      ok = body != nullptr ? ReadChunkedBody(line, body, length) : ReadChunks(line, false);
    }
    if (!ok)
      Fail(fkAnswer);
  }
  if (!keep || !ok)
    Disconnect();
  if (mTrace)
    std::printf("\n");
  if (body != nullptr && *body != nullptr) {
    if (ok) {
      (*body)[length] = 0;
    } else {
      delete[] *body;
      *body = nullptr;
      length = 0;
    }
  }
  if (ok && !statusOk)
    Fail(fkStatus);
  EndExchange();
  std::fflush(stdout);
  return ok && statusOk;
}

bool KTcpCanClient::PutHttpStream(const char* body) {
  mContentLength = 0;
  BeginExchange();
  if (!Connect(cHttpConnectWait)) {
    EndExchange();
    return false;
  }
  if (body == nullptr)
    body = "";
  std::size_t bodyLength = std::strlen(body);
  char header[cPutHeaderSize];
  bool ok = bodyLength <= static_cast<std::size_t>(INT_MAX - 2);
  if (ok) {
    int n = std::snprintf(header, sizeof(header),
                          "PUT /put_can_log.php HTTP/1.1\r\nHost: %s\r\nContent-Length: %d\r\n",
                          mRemoteHost, static_cast<int>(bodyLength) + 2);
    ok = n > 0 && n < static_cast<int>(sizeof(header));
  }
  ok = ok && WriteLine(header) && WriteLine(body);
  if (!ok)
    Fail(fkSend);

  bool statusOk = false;
  if (ok) {
    AwaitAnswer();
    char line[cLineSize];
    bool chunked = false;
    bool closeSeen = false;
    ok = ReadAnswerHead(line, statusOk, chunked, closeSeen);
    if (ok && mContentLength > 0) {
      if (mTrace)
        ok = TraceReceive(mContentLength < cLineLimit ? mContentLength : cLineLimit);
    } else if (ok && chunked) {
      ok = ReadChunks(line, true);
    }
    if (!ok)
      Fail(fkAnswer);
  }
  Disconnect();
  if (ok && !statusOk)
    Fail(fkStatus);
  EndExchange();
  std::fflush(stdout);
  return ok && statusOk;
}

// ---------------------------------------------------------------------------
// Comfort relay

bool KTcpCanClient::SendComfortFrame(const KComfortFrame& request, KComfortFrame& answer) {
  char digits[KComfortFrame::cTextSize];
  request.SetToString(digits, sizeof(digits));
  char text[cElsterTextSize];
  std::snprintf(text, sizeof(text), "%s\n", digits);
  BeginExchange();
  Connect(cRelayConnectWait); // without a connection the send fails
  bool result = false;
  if (SendElster(text, sizeof(text), cRelaySendWait))
    result = ReadElster(text, sizeof(text));
  if (result)
    result = answer.SetFromString(text, true);
  Disconnect();
  std::fflush(stdout);
  return result;
}

bool KTcpCanClient::SendElster(char* text, std::size_t size, int timeoutMs) {
  if (text == nullptr || size == 0)
    return false;
  std::size_t length = strnlen(text, size);
  if (length == size) // not terminated within its buffer
    return false;
  while (length > 0 && text[length - 1] == ' ')
    text[--length] = 0;
  if (length + 1 >= size)
    return false;
  text[length++] = '\n';
  text[length] = 0;
  return SendBuffer(text, static_cast<int>(length), timeoutMs);
}

bool KTcpCanClient::ReadElster(char* buffer, std::size_t size) {
  if (buffer == nullptr || size < static_cast<std::size_t>(cElsterLineSize))
    return false;
  const int cMaxLine = cElsterLineSize - 1;
  if (Receive(buffer, 1, cRelayFirstWait) != 1 || buffer[0] == '\n') {
    buffer[0] = 0;
    return false;
  }
  for (int i = 1; i < cMaxLine; ++i) {
    if (Receive(buffer + i, 1, cRelayNextWait) != 1) {
      buffer[i] = 0;
      char shown[KPrintableText::cLineSize];
      PrintableText(buffer, static_cast<std::size_t>(i), shown, sizeof(shown));
      std::printf("broken %s\n", shown);
      return false;
    }
    if (buffer[i] == '\n') {
      buffer[i + 1] = 0;
      return true;
    }
  }
  buffer[cMaxLine] = 0;
  char shown[KPrintableText::cLineSize];
  PrintableText(buffer, static_cast<std::size_t>(cMaxLine), shown, sizeof(shown));
  std::printf("no LF %s\n", shown);
  return false;
}
