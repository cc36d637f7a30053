#include "CandumpLog.h"

#include <cstdlib>
#include <cstring>

#include "NCanUtils.h"

uint32_t KCandumpFrame::IdWord() const {
  uint32_t word = mId;
  if (mExtended)
    word |= KCanFrame::cExtendedFlag;
  if (mRemote)
    word |= KCanFrame::cRemoteFlag;
  if (mError)
    word |= KCanFrame::cErrorFlag;
  return word;
}

TCandumpLineEnum ParseCandumpLine(const char* line, KCandumpFrame& f, const char*& why) {
  using NCanUtils::GetHexDigit;
  const char* p = line;
  while (*p == ' ' || *p == '\t')
    ++p;
  if (*p == 0 || *p == '\n' || *p == '\r') {
    why = "empty";
    return clSkip;
  }
  f = KCandumpFrame();
  if (*p == '(') {
    char* end = nullptr;
    f.mSeconds = std::strtoll(p + 1, &end, 10);
    if (end == p + 1 || *end != '.') {
      why = "bad time stamp";
      return clBad;
    }
    const char* micro = end + 1;
    f.mMicros = std::strtol(micro, &end, 10);
    if (end - micro != 6 || *end != ')' || f.mMicros < 0) {
      why = "bad time stamp";
      return clBad;
    }
    f.mHasTime = true;
    p = end + 1;
  }
  // The frame is the token that holds '#'; the interface name comes before.
  const char* hash = std::strchr(p, '#');
  if (hash == nullptr) {
    why = "no ID#DATA";
    return clBad;
  }
  const char* id = hash;
  while (id > p && id[-1] != ' ' && id[-1] != '\t')
    --id;
  const int digits = static_cast<int>(hash - id);
  // The interface: the word before the frame.
  const char* ifaceEnd = id;
  while (ifaceEnd > p && (ifaceEnd[-1] == ' ' || ifaceEnd[-1] == '\t'))
    --ifaceEnd;
  const char* iface = p;
  while (iface < ifaceEnd && (*iface == ' ' || *iface == '\t'))
    ++iface;
  int ifaceLength = static_cast<int>(ifaceEnd - iface);
  if (ifaceLength >= KCandumpFrame::cIfaceSize)
    ifaceLength = KCandumpFrame::cIfaceSize - 1;
  std::memcpy(f.mIface, iface, static_cast<size_t>(ifaceLength));
  f.mIface[ifaceLength] = 0;
  uint32_t value = 0;
  for (const char* q = id; q < hash; ++q) {
    int v = GetHexDigit(*q);
    if (v < 0) {
      why = "identifier is not hexadecimal";
      return clBad;
    }
    value = value * 16 + static_cast<uint32_t>(v);
  }
  if (digits == 8) {
    if ((value & KCanFrame::cErrorFlag) != 0) {
      f.mError = true;
      value &= ~KCanFrame::cErrorFlag;
    } else if ((value & ~KCanFrame::cIdMask) != 0) {
      why = "identifier above 29 bits";
      return clBad;
    } else {
      f.mExtended = true;
    }
  } else if (digits < 1 || digits > 3 || value > 0x7FF) {
    why = "identifier of neither 3 nor 8 digits";
    return clBad;
  }
  f.mId = value;
  p = hash + 1;
  if (*p == '#') {
    why = "CAN FD frame";
    return clSkip;
  }
  if (*p == 'R' || *p == 'r') {
    f.mRemote = true;
    ++p;
    if (*p >= '0' && *p <= '8')
      f.mLen = *p++ - '0';
  } else {
    while (GetHexDigit(p[0]) >= 0 && GetHexDigit(p[1]) >= 0) {
      if (f.mLen == 8) {
        why = "more than 8 data bytes";
        return clBad;
      }
      f.mData[f.mLen++] = static_cast<unsigned char>(GetHexDigit(p[0]) * 16 + GetHexDigit(p[1]));
      p += 2;
      if (*p == '.')
        ++p;
    }
  }
  if (*p == '_' && GetHexDigit(p[1]) >= 0) // length-8 DLC 9..F
    p += 2;
  // A blank may be followed by extra information (the direction, "R" or "T").
  if (*p != 0 && *p != '\n' && *p != '\r' && *p != ' ' && *p != '\t') {
    why = "unexpected text after the data";
    return clBad;
  }
  return clFrame;
}
