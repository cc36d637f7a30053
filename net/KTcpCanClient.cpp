#include "KTcpCanClient.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "NCanUtils.h" // KComfortFrame, hexadecimal digits

namespace {

const int SendTimeOut = 1000;
const int ReadTimeOut = 1000;
static_assert(SendTimeOut == KTcpCanClient::cSendWait && ReadTimeOut == KTcpCanClient::cFirstCharWait,
              "send and first-character waits");

const char cStatusOk[] = "HTTP/1.1 200 OK";
const std::size_t cStatusCompared = sizeof(cStatusOk) - 2; // the K is not compared

void PrintRefused(const char* line) {
  std::printf("invalid size in HTTP answer: %.60s\n", line);
}

} // namespace

KTcpCanClient::KTcpCanClient()
    : mContentLength(0), mTrace(false), mConnected(false), mWaitSocket(-1), mRecvWait(-1),
      mSendWait(-1) {
  std::snprintf(mPath, sizeof(mPath), "/");
}

// ---------------------------------------------------------------------------
// Bounded waits

void KTcpCanClient::SetDescriptorWait(int option, int& current, int timeoutMs) {
  if (mWaitSocket != mSocket) {
    mWaitSocket = mSocket;
    mRecvWait = -1;
    mSendWait = -1;
  }
  int wanted = timeoutMs > 0 ? timeoutMs : 0;
  if (current == wanted)
    return;
  timeval tv;
  tv.tv_sec = wanted / 1000;
  tv.tv_usec = (wanted % 1000) * 1000;
  if (ErrorCheck(setsockopt(mSocket, SOL_SOCKET, option, &tv, sizeof(tv)), "setsockopt") == 0)
    current = wanted;
}

int KTcpCanClient::Receive(char* buffer, int length, int timeoutMs) {
  if (mOpen && mBlockMode == bmBlocking)
    SetDescriptorWait(SO_RCVTIMEO, mRecvWait, timeoutMs);
  return ReceiveBuf(buffer, length, 0, timeoutMs);
}

int KTcpCanClient::Send(const char* data, int length, int timeoutMs) {
  if (mOpen && mBlockMode == bmBlocking)
    SetDescriptorWait(SO_SNDTIMEO, mSendWait, timeoutMs);
  return SendBuf(data, length, 0, timeoutMs);
}

// A blocking descriptor connects without a bound of its own (minutes when
// the packets vanish), so the connect is made non-blocking and polled.
bool KTcpCanClient::ConnectBlocking(const sockaddr_in& address, int timeoutMs) {
  const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(&address);
  if (timeoutMs <= 0)
    return ErrorCheck(connect(mSocket, pAddress, sizeof(address)), "connect") == 0;
  int flags = fcntl(mSocket, F_GETFL);
  if (flags == -1)
    flags = 0;
  if (ErrorCheck(fcntl(mSocket, F_SETFL, flags | O_NONBLOCK), "fcntl") == -1)
    return false;
  bool connected = connect(mSocket, pAddress, sizeof(address)) == 0;
  int err = errno;
  if (!connected && err == EINPROGRESS) {
    bool writable = false;
    Select(nullptr, &writable, nullptr, timeoutMs);
    if (mOpen && writable) {
      socklen_t len = sizeof(err);
      if (getsockopt(mSocket, SOL_SOCKET, SO_ERROR, &err, &len) == -1)
        err = errno;
      connected = err == 0;
    } else if (mOpen) {
      err = ETIMEDOUT;
    }
  }
  if (!connected && mOpen) {
    errno = err;
    ErrorCheck(-1, "connect");
  }
  if (mOpen)
    ErrorCheck(fcntl(mSocket, F_SETFL, flags), "fcntl");
  return connected;
}

// ---------------------------------------------------------------------------
// Connection and line transfer

bool KTcpCanClient::Connect(int timeoutMs) {
  if (!mOpen) {
    mConnected = false; // a socket closed behind our back holds no connection
    mWaitSocket = -1;   // a new descriptor has no time-outs yet
  }
  Open();
  if (mOpen && !mConnected) {
    sockaddr_in address;
    GetSocketAddr(address, mRemoteHost, mRemotePort);
    if (mBlockMode == bmBlocking) {
      mConnected = ConnectBlocking(address, timeoutMs);
    } else {
      const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(&address);
      mConnected = ErrorCheck(connect(mSocket, pAddress, sizeof(address)), "connect") == 0;
      if (!mConnected && timeoutMs > 0)
        Select(nullptr, &mConnected, nullptr, timeoutMs);
    }
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
  if (length > 0 && !SendBuffer(text, static_cast<int>(length), cSendWait))
    return false;
  return SendBuffer("\r\n", 2, length > 0 ? cSendWait : cEmptyLineWait);
}

bool KTcpCanClient::ReadLine(char* buffer, int size) {
  int kept = 0;
  const bool terminated = size > 0;
  if (terminated)
    buffer[0] = 0;
  bool done = false;
  while (!done) {
    char c;
    if (Receive(&c, 1, kept > 0 ? cNextCharWait : cFirstCharWait) != 1)
      break;
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
  if (done && mTrace)
    std::printf("Tcp recv: %s\n", terminated ? buffer : "");
  return done;
}

bool KTcpCanClient::ReceiveBuffer(char* buffer, int length) {
  bool ok = true;
  while (ok && length > 0) {
    int n = Receive(buffer, length, cBodyWait);
    ok = n > 0;
    if (!ok)
      break;
    if (mTrace) {
      for (int i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(buffer[i]);
        std::putchar(c == '\n' || (c >= 0x20 && c <= 0x7E) ? c : '.');
      }
    }
    buffer += n;
    length -= n;
  }
  return ok;
}

bool KTcpCanClient::TraceReceive(int count) {
  char piece[cLineSize];
  std::printf("Tcp recv: ");
  bool ok = ReceivePieces(piece, count, false);
  std::printf("\n");
  return ok;
}

bool KTcpCanClient::ReceivePieces(char* line, int count, bool print) {
  bool ok = true;
  while (ok && count > 0) {
    int n = count < cLineLimit ? count : cLineLimit;
    ok = ReceiveBuffer(line, n);
    // A piece is printed unless all it holds is (part of) the CR LF that
    // ends a chunk.
    if (ok && print && count > 2) {
      line[n] = 0;
      std::printf("%s", line);
    }
    count -= n;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// HTTP answers

bool KTcpCanClient::ReadAnswerHead(char* line, bool& statusOk, bool& chunked, bool& closeSeen) {
  statusOk = false;
  chunked = false;
  closeSeen = false;
  if (!ReadLine(line, cLineLimit))
    return false;
  statusOk = std::strncmp(line, cStatusOk, cStatusCompared) == 0;
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
  while (ok && !last) {
    int size = 0;
    ok = ReadChunkSize(line, held, size, last);
    if (!ok)
      break;
    held += size;
    if (mTrace) {
      ok = TraceReceive(size + 2);
    } else {
      if (printResult && size >= 1)
        std::printf("result: ");
      ok = ReceivePieces(line, size + 2, printResult);
    }
  }
  return ok;
}

bool KTcpCanClient::ReadHttpStream(char** body, int& length, const char* request) {
  if (body != nullptr)
    *body = nullptr;
  mContentLength = 0;
  bool keep = mConnected;
  if (!mConnected && !Connect(cHttpConnectWait))
    return false;

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

  bool statusOk = false;
  if (ok) {
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
  std::fflush(stdout);
  return ok && statusOk;
}

bool KTcpCanClient::PutHttpStream(const char* body) {
  mContentLength = 0;
  if (!Connect(cHttpConnectWait))
    return false;
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

  bool statusOk = false;
  if (ok) {
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
  }
  Disconnect();
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
      std::printf("broken %s\n", buffer);
      return false;
    }
    if (buffer[i] == '\n') {
      buffer[i + 1] = 0;
      return true;
    }
  }
  buffer[cMaxLine] = 0;
  std::printf("no LF %s\n", buffer);
  return false;
}
