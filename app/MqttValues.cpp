#include "MqttValues.h"

#include <cstdio>
#include <cstring>

bool DecodeElster(const KCanFrame& frame, KElsterTelegram& t) {
  const unsigned char* d = frame.mData;
  const int n = frame.mLen;
  if ((frame.mId & (KCanFrame::cExtendedFlag | KCanFrame::cRemoteOrErrorMask)) != 0 ||
      (frame.mId & KCanFrame::cIdMask) > 0x7FF || n < 5 || n > 7 || (d[0] & 0x08) != 0 ||
      (d[1] & 0xF0) != 0)
    return false;
  t.mReceiver = (d[0] & 0xF0u) * 8 + (d[1] & 0x0Fu);
  t.mType = d[0] & 0x0Fu;
  const bool extended = d[2] == 0xFA;
  t.mIndex = extended ? d[3] * 256 + d[4] : d[2];
  int value;
  if (extended)
    value = n == 7 ? d[5] * 256 + d[6] : -1;
  else
    value = d[n - 2] * 256 + d[n - 1];
  if (t.mType == 1 || value == 0x8000)
    value = -1;
  t.mValue = value;
  return true;
}

bool ValueMatches(const KMqttValue& v, uint32_t canId, const KElsterTelegram& t) {
  return t.mValue >= 0 && t.mIndex == v.mIndex &&
         (v.mReceiver < 0 || static_cast<unsigned>(v.mReceiver) == t.mReceiver) &&
         (v.mId < 0 || static_cast<uint32_t>(v.mId) == (canId & KCanFrame::cIdMask));
}

void FormatValue(const KMqttValue& v, int raw, char* out, int size) {
  long long x = raw;
  if (v.mSigned && x >= 0x8000)
    x -= 0x10000;
  x *= v.mScaleUnits;
  const bool negative = x < 0;
  unsigned long long a = static_cast<unsigned long long>(negative ? -x : x);
  unsigned long long divisor = 1;
  for (int i = 0; i < v.mScaleDecimals; ++i)
    divisor *= 10;
  if (v.mScaleDecimals == 0)
    std::snprintf(out, static_cast<std::size_t>(size), "%s%llu", negative ? "-" : "", a);
  else
    std::snprintf(out, static_cast<std::size_t>(size), "%s%llu.%0*llu", negative ? "-" : "",
                  a / divisor, v.mScaleDecimals, a % divisor);
}

bool ParseScale(const char* text, long& units, int& decimals) {
  if (text == nullptr || *text == 0)
    return false;
  long u = 0;
  int digits = 0, decs = 0;
  bool point = false;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '.' && !point) {
      point = true;
      continue;
    }
    if (*p < '0' || *p > '9')
      return false;
    if (++digits > 9)
      return false;
    if (point && ++decs > KMqttValue::cMaxDecimals)
      return false;
    u = u * 10 + (*p - '0');
  }
  if (digits == 0 || u == 0)
    return false;
  units = u;
  decimals = decs;
  return true;
}

bool TopicWord(const char* text, int size) {
  if (text == nullptr)
    return false;
  const std::size_t length = std::strlen(text);
  if (length == 0 || length >= static_cast<std::size_t>(size))
    return false;
  return std::strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") ==
         length;
}
