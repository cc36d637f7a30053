#include "HttpAnswer.h"

#include <cstdlib>
#include <cstring>

#include "NCanUtils.h" // hexadecimal digits
#include "PrintableText.h"

namespace {

const char cStatusOk[] = "HTTP/1.1 200 OK";
const std::size_t cStatusCompared = sizeof(cStatusOk) - 2; // the K is not compared

} // namespace

void KHttpAnswer::Begin(int bodyTake) {
  mState = stStatus;
  mBodyTake = bodyTake;
  mLine[0] = 0;
  mLineLength = 0;
  mLineStarted = false;
  mStatusOk = false;
  mStatusCode = 0;
  mStatusText[0] = 0;
  mContentLength = 0;
  mChunked = false;
  mCloseSeen = false;
  mBodyCut = false;
  mRemaining = 0;
  mHeld = 0;
  mLastChunk = false;
}

bool KHttpAnswer::TakeLine(const char* data, std::size_t size, std::size_t& used) {
  if (!mLineStarted) {
    mLineStarted = true;
    mLineLength = 0;
    mLine[0] = 0;
  }
  while (used < size) {
    char c = data[used++];
    if (c == '\r')
      continue;
    if (c == '\n') {
      mLineStarted = false;
      return true;
    }
    if (mLineLength < cLineLimit - 1) {
      mLine[mLineLength++] = c;
      mLine[mLineLength] = 0;
    }
  }
  return false;
}

void KHttpAnswer::TakeStatus() {
  mStatusOk = std::strncmp(mLine, cStatusOk, cStatusCompared) == 0;
  const char* code = std::strchr(mLine, ' ');
  if (code == nullptr)
    return;
  ++code;
  mStatusCode = 0;
  for (int i = 0; i < 3 && code[i] >= '0' && code[i] <= '9'; ++i)
    mStatusCode = mStatusCode * 10 + (code[i] - '0');
  PrintableText(code, strnlen(code, cStatusTextSize / 2), mStatusText, sizeof(mStatusText));
}

bool KHttpAnswer::TakeHeader() {
  if (const char* p = std::strstr(mLine, "Content-Length")) {
    p += sizeof("Content-Length") - 1;
    while (*p != 0 && static_cast<unsigned char>(*p) <= 32)
      ++p;
    if (*p == ':') {
      // strtol saturates instead of wrapping; a size this reader cannot
      // take refuses the answer rather than being cut to an int.
      long value = std::strtol(p + 1, nullptr, 10);
      if (value < 0 || value > cMaxBody)
        return false;
      mContentLength = static_cast<int>(value);
    }
  } else if (std::strstr(mLine, "Transfer-Encoding: chunked") != nullptr) {
    mChunked = true;
  } else if (std::strstr(mLine, "Connection: close") != nullptr) {
    mCloseSeen = true;
  }
  return true;
}

bool KHttpAnswer::TakeChunkSize() {
  // Hexadecimal digits from the start of the line, checked digit by digit
  // so that no count of digits can wrap.
  long value = 0;
  const char* p = mLine;
  while (NCanUtils::IsHexDigit(*p)) {
    value = value * 16 + NCanUtils::GetHexDigit(*p);
    ++p;
    if (value > cMaxBody || mHeld + value > cMaxBody)
      return false;
  }
  mHeld += value;
  mRemaining = value;
  // A chunk extension (or anything else after the digits) ends the body
  // after this chunk.
  mLastChunk = value == 0 || *p != 0;
  return true;
}

std::size_t KHttpAnswer::GiveData(const char* data, std::size_t size, KEvent& event,
                                  bool chunkEnd) {
  std::size_t n = static_cast<std::size_t>(mRemaining) < size
                      ? static_cast<std::size_t>(mRemaining) : size;
  mRemaining -= static_cast<long>(n);
  event.mKind = n > 0 ? evData : evMore;
  event.mData = data;
  event.mLength = static_cast<int>(n);
  event.mChunkEnd = chunkEnd;
  return n;
}

std::size_t KHttpAnswer::Feed(const char* data, std::size_t size, KEvent& event) {
  event = KEvent();
  std::size_t used = 0;
  for (;;) {
    switch (mState) {
    case stStatus:
    case stHeader:
    case stChunkSize:
      if (!TakeLine(data, size, used)) {
        event.mKind = evMore;
        return used;
      }
      if (mState == stStatus) {
        TakeStatus();
        mState = stHeader;
      } else if (mState == stHeader) {
        if (mLineLength == 0)
          mState = stHeadEnd;
        else if (!TakeHeader())
          mState = stRefused;
      } else {
        mState = TakeChunkSize() ? stChunkStart : stRefused;
      }
      event.mKind = evLine;
      return used;
    case stHeadEnd:
      if (mContentLength > 0) {
        mRemaining = mBodyTake >= 0 && mBodyTake < mContentLength ? mBodyTake : mContentLength;
        mBodyCut = mRemaining < mContentLength;
        mState = mRemaining > 0 ? stBodyStart : stDone;
      } else {
        mState = mChunked ? stChunkSize : stDone;
      }
      continue;
    case stBodyStart:
    case stChunkStart:
      mState = mState == stBodyStart ? stBody : stChunkData;
      event.mKind = evPieceStart;
      return used;
    case stBody:
    case stChunkData:
    case stChunkEnd:
      if (mRemaining == 0) {
        const bool dataEnd = mState != stChunkEnd;
        if (mState == stChunkData) {
          mState = stChunkEnd;
          mRemaining = 2;
        } else {
          mState = stPieceEnd;
        }
        if (!dataEnd)
          continue;
        event.mKind = evDataEnd;
        return used;
      }
      return used + GiveData(data + used, size - used, event, mState == stChunkEnd);
    case stPieceEnd:
      mState = mChunked && mContentLength == 0 && !mLastChunk ? stChunkSize : stDone;
      event.mKind = evPieceEnd;
      return used;
    case stDone:
      event.mKind = evDone;
      return used;
    case stRefused:
      event.mKind = evRefused;
      return used;
    }
  }
}
