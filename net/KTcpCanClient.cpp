#include "KTcpCanClient.h"

#include "Report.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

void PrintRefused(const char* line) {
  char text[KPrintableText::cLineSize];
  PrintableText(line, strnlen(line, 60), text, sizeof(text));
  NReport::Failure("invalid size in HTTP answer: %s\n", text);
}

} // namespace

// What becomes of an answer's body: kept for the caller (a slot), echoed
// as "Tcp recv: " lines (traced without a slot), collected as the result
// text (each piece held until it is complete), or dropped.
struct KTcpCanClient::KBodyUse {
  bool mSlot = false;
  bool mFramed = false;
  KPrintableText* mText = nullptr;
  char* mBody = nullptr;
  long mCapacity = 0;
  long mHeld = 0;

  ~KBodyUse() { delete[] mBody; }
  // Room for `more` bytes and a NUL, grown by doubling (not chunk by
  // chunk), so many small chunks cost no more than a few large ones.
  bool Reserve(long more) {
    long needed = mHeld + more + 1;
    if (needed <= mCapacity)
      return true;
    long grown = mCapacity * 2 > needed ? mCapacity * 2 : needed;
    if (grown > cMaxBody + 1L)
      grown = cMaxBody + 1L;
    if (grown < needed)
      return false;
    char* larger = new (std::nothrow) char[static_cast<std::size_t>(grown)];
    if (larger == nullptr)
      return false;
    if (mHeld > 0)
      std::memcpy(larger, mBody, static_cast<std::size_t>(mHeld));
    delete[] mBody;
    mBody = larger;
    mBody[mHeld] = 0;
    mCapacity = grown;
    return true;
  }
  bool Store(const char* data, int length) {
    if (!Reserve(length))
      return false;
    std::memcpy(mBody + mHeld, data, static_cast<std::size_t>(length));
    mHeld += length;
    mBody[mHeld] = 0;
    return true;
  }
};

KTcpCanClient::KTcpCanClient()
    : mContentLength(0), mTrace(false), mAnswerWaitMs(cAnswerWait), mSendStallMs(cSendStall),
      mFailure(fkNone), mStatusCode(0), mInputPos(0), mInputEnd(0) {
  std::snprintf(mPath, sizeof(mPath), "/");
  mStatusText[0] = 0;
}

// ---------------------------------------------------------------------------
// Connection and line transfer

int KTcpCanClient::Receive(char* buffer, int length, int timeoutMs) {
  if (!mOpen || length <= 0)
    return 0;
  if (mInputPos < mInputEnd) {
    int n = mInputEnd - mInputPos < length ? mInputEnd - mInputPos : length;
    std::memcpy(buffer, mInput + mInputPos, static_cast<std::size_t>(n));
    mInputPos += n;
    return n;
  }
  return ReceiveWithin(buffer, length, timeoutMs);
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

bool KTcpCanClient::Connect(int timeoutMs) {
  if (!mOpen || !mConnected) {
    mInputPos = 0;
    mInputEnd = 0;
  }
  switch (ConnectWithin(timeoutMs)) {
  case ctConnected: return true;
  case ctNoName: Fail(fkName); break;
  case ctNotConnected:
  case ctStopped: Fail(fkConnect); break;
  }
  return false;
}

void KTcpCanClient::Disconnect() {
  CloseConnection();
  mInputPos = 0;
  mInputEnd = 0;
}

bool KTcpCanClient::SendBuffer(const char* data, int length, int timeoutMs) {
  if (data == nullptr || length <= 0)
    return true;
  while (length > 0) {
    int n = SendWithin(data, length, timeoutMs);
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
      NReport::Print("Tcp send: %.*s\n", static_cast<int>(n), p);
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
  char shown[256];
  int n = 0;
  for (int i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    shown[n++] = c == '\n' || (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
    if (n == static_cast<int>(sizeof(shown)) || i + 1 == length) {
      NReport::Write(shown, static_cast<std::size_t>(n));
      n = 0;
    }
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
    if (mInputPos == mInputEnd && !Fill(first ? cFirstCharWait : cNextCharWait))
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
    NReport::Print("Tcp recv: ");
    Echo(terminated ? buffer : "", kept);
    NReport::Print("\n");
  }
  return done;
}

bool KTcpCanClient::ReceiveBuffer(char* buffer, int length) {
  while (length > 0) {
    int n = Receive(buffer, length, cBodyWait);
    if (n <= 0)
      return false;
    if (mTrace)
      Echo(buffer, n);
    buffer += n;
    length -= n;
  }
  return true;
}

bool KTcpCanClient::TraceReceive(int count) {
  char piece[cLineSize];
  NReport::Print("Tcp recv: ");
  bool ok = ReceivePieces(piece, count);
  NReport::Print("\n");
  return ok;
}

bool KTcpCanClient::ReceivePieces(char* line, int count) {
  bool ok = true;
  while (ok && count > 0) {
    int n = count < cLineLimit ? count : cLineLimit;
    ok = ReceiveBuffer(line, n);
    count -= n;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Exchanges

void KTcpCanClient::Fail(TFailureEnum failure) {
  if (mFailure == fkNone)
    mFailure = Stopped() ? fkStopped : failure;
}

void KTcpCanClient::BeginExchange() {
  mContentLength = 0;
  mFailure = fkNone;
  mStatusCode = 0;
  mStatusText[0] = 0;
  ClearDeadline();
  ClearOutcome();
}

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
    if (TimedOut())
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

bool KTcpCanClient::SendRequest(const char* const* lines, int count) {
  bool ok = true;
  for (int i = 0; ok && i < count; ++i)
    ok = WriteLine(lines[i]);
  if (!ok) {
    Fail(fkSend);
    return false;
  }
  StartDeadline(mAnswerWaitMs);
  return true;
}

bool KTcpCanClient::ReadAnswer(KBodyUse& use) {
  bool ok = false;
  bool pieceOpen = false;
  for (bool more = true; more;) {
    KHttpAnswer::KEvent event;
    mInputPos += static_cast<int>(
        mAnswer.Feed(mInput + mInputPos, static_cast<std::size_t>(mInputEnd - mInputPos), event));
    switch (event.mKind) {
    case KHttpAnswer::evMore:
      more = Fill(mAnswerWaitMs);
      break;
    case KHttpAnswer::evLine:
      if (mTrace) {
        NReport::Print("Tcp recv: ");
        Echo(mAnswer.Line(), mAnswer.LineLength());
        NReport::Print("\n");
      }
      break;
    case KHttpAnswer::evPieceStart:
      pieceOpen = true;
      if (use.mFramed)
        NReport::Print("Tcp recv: ");
      if (use.mSlot)
        more = use.Reserve(mAnswer.ContentLength());
      break;
    case KHttpAnswer::evData:
      if (mTrace)
        Echo(event.mData, event.mLength);
      if (event.mChunkEnd)
        break;
      // The result text takes a chunk only once all its data arrived.
      if (use.mSlot || (use.mText != nullptr && !mTrace))
        more = use.Store(event.mData, event.mLength);
      break;
    case KHttpAnswer::evDataEnd:
      if (use.mText != nullptr && !mTrace) {
        use.mText->Add(use.mBody, static_cast<std::size_t>(use.mHeld));
        use.mHeld = 0;
      }
      break;
    case KHttpAnswer::evPieceEnd:
      pieceOpen = false;
      if (use.mFramed)
        NReport::Print("\n");
      break;
    case KHttpAnswer::evDone:
      ok = true;
      more = false;
      break;
    case KHttpAnswer::evRefused:
      PrintRefused(mAnswer.Line());
      more = false;
      break;
    }
  }
  if (pieceOpen && use.mFramed)
    NReport::Print("\n");
  mContentLength = mAnswer.ContentLength();
  if (!ok)
    Fail(fkAnswer);
  return ok;
}

bool KTcpCanClient::EndAnswer(bool ok) {
  mStatusCode = mAnswer.StatusCode();
  std::memcpy(mStatusText, mAnswer.StatusText(), sizeof(mStatusText));
  if (ok && !mAnswer.StatusOk())
    Fail(fkStatus);
  ClearDeadline();
  return ok && mAnswer.StatusOk();
}

bool KTcpCanClient::ReadHttpStream(char** body, int& length, const char* request) {
  if (body != nullptr)
    *body = nullptr;
  BeginExchange();
  mAnswer.Begin(0);
  bool keep = mConnected;
  if (!mConnected && !Connect(cHttpConnectWait))
    return EndAnswer(false);

  char hostLine[cHostLineSize];
  std::snprintf(hostLine, sizeof(hostLine), "Host: %s", mRemoteHost);
  char fallback[cPutHeaderSize];
  if (request == nullptr) {
    std::snprintf(fallback, sizeof(fallback), "GET %s HTTP/1.1", mPath);
    request = fallback;
  }
  const char* lines[] = {request, hostLine, ""};
  bool ok = SendRequest(lines, 3);
  KBodyUse use;
  if (ok) {
    // Without a slot a body is read up to one line buffer's worth.
    mAnswer.Begin(body != nullptr ? -1 : cLineLimit);
    use.mSlot = body != nullptr;
    use.mFramed = mTrace && body == nullptr;
    ok = ReadAnswer(use);
    // The rest of a longer body stays unread: the connection cannot be
    // used again.
    if (mAnswer.CloseSeen() || mAnswer.BodyCut())
      keep = false;
  }
  if (!keep || !ok)
    Disconnect();
  if (mTrace)
    NReport::Print("\n");
  if (body != nullptr && use.mBody != nullptr) {
    length = ok ? static_cast<int>(use.mHeld) : 0;
    if (ok) {
      *body = use.mBody;
      use.mBody = nullptr;
    }
  }
  return EndAnswer(ok);
}

bool KTcpCanClient::PutHttpStream(const char* body) {
  BeginExchange();
  mAnswer.Begin(0);
  if (!Connect(cHttpConnectWait))
    return EndAnswer(false);
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
  const char* lines[] = {header, body};
  if (ok) {
    ok = SendRequest(lines, 2);
  } else {
    Fail(fkSend);
  }
  if (ok) {
    // A length answer's text is read only to be traced.
    mAnswer.Begin(mTrace ? cLineLimit : 0);
    KPrintableText text;
    KBodyUse use;
    use.mFramed = mTrace;
    use.mText = &text;
    ok = ReadAnswer(use);
    if (!text.Empty()) {
      char shown[KPrintableText::cLineSize];
      text.Format(shown, sizeof(shown));
      NReport::Print("result: %s\n", shown);
    }
  }
  Disconnect();
  return EndAnswer(ok);
}
