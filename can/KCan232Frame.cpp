// The CAN232 adapter's ASCII frame line.
#include "NCanUtils.h"

#include <cstdio>
#include <cstring>

KCan232Frame& KCan232Frame::operator=(const char* text) {
  int n = 0;
  if (text != nullptr) {
    for (const char* p = text; *p != 0 && n < cTextSize - 1; ++p) {
      if (static_cast<unsigned char>(*p) > 0x20)
        mText[n++] = *p;
    }
  }
  mText[n] = 0;
  return *this;
}

int KCan232Frame::Decode(KCanFrame& frame) const {
  frame.Init();
  const char type = mText[0];
  const bool extended = type == 'T' || type == 'R';
  const bool standard = type == 't' || type == 'r';
  if (!extended && !standard)
    return 0;
  const char* p = mText + 1;
  unsigned char b = 0;
  if (!NCanUtils::GetHexByte(p, b))
    return 0;
  if (extended) {
    // 29 bits: a higher bit would be taken for a flag (bit 29 marks an error
    // frame), so such a line is noise.
    if (b > (KCanFrame::cIdMask >> 24))
      return 0;
    uint32_t id = b;
    for (int i = 0; i < 3; ++i) {
      if (!NCanUtils::GetHexByte(p, b))
        return 0;
      id = (id << 8) | b;
    }
    frame.mId = id | KCanFrame::cExtendedFlag;
  } else {
    if (b >= 0x80 || !NCanUtils::IsHexDigit(*p))
      return 0;
    frame.mId = static_cast<uint32_t>(b) * 16 + static_cast<uint32_t>(NCanUtils::GetHexDigit(*p));
    ++p;
  }
  if (type == 'r' || type == 'R')
    frame.mId |= KCanFrame::cRemoteFlag;
  if (*p < '0' || *p > '8')
    return 0;
  frame.mLen = *p - '0';
  ++p;
  // Adapters send remote frames without data: the line ends after the
  // length, and the frame has that length and no data bytes.
  if ((type == 'r' || type == 'R') && *p == 0)
    return static_cast<int>(p - mText);
  for (int i = 0; i < frame.mLen; ++i) {
    if (!NCanUtils::GetHexByte(p, frame.mData[i]))
      return 0;
  }
  return static_cast<int>(p - mText);
}

bool KCan232Frame::SetCanFrame(KCanFrame& frame) const { return Decode(frame) > 0; }

bool KCan232Frame::IsOk() const {
  KCanFrame scratch;
  return SetCanFrame(scratch);
}

bool KCan232Frame::GetCanFrame(const KCanFrame& frame) {
  // A length outside 0..8 would give a line the adapter refuses (and that
  // disagrees with the data pairs sent), so it is clamped like the drivers do.
  const int len = frame.SafeLen();
  if ((frame.mId & KCanFrame::cExtendedFlag) == 0)
    std::snprintf(mText, sizeof(mText), "t%3.3X%1.1X", static_cast<unsigned>(frame.mId & 0x7FFu),
                  static_cast<unsigned>(len));
  else
    std::snprintf(mText, sizeof(mText), "T%8.8X%1.1X",
                  static_cast<unsigned>(frame.mId & KCanFrame::cIdMask), static_cast<unsigned>(len));
  if ((frame.mId & KCanFrame::cRemoteFlag) != 0)
    mText[0] = static_cast<char>(mText[0] - 2); // 't' -> 'r', 'T' -> 'R'
  static const char cHex[] = "0123456789ABCDEF";
  char* out = mText + std::strlen(mText);
  for (int i = 0; i < len; ++i) {
    *out++ = cHex[frame.mData[i] >> 4];
    *out++ = cHex[frame.mData[i] & 0x0F];
  }
  *out = 0;
  return true;
}

void KCan232Frame::DropRemoteData() {
  if (mText[0] == 'r')
    mText[5] = 0; // r, 3 identifier digits, length
  else if (mText[0] == 'R')
    mText[10] = 0; // R, 8 identifier digits, length
}
