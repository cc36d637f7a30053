// Number parsing: hexadecimal digits, bytes and numbers, decimal or 0x
// numbers. Never skips white space, never allocates.
#include "NCanUtils.h"

namespace {

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

namespace NCanUtils {

bool IsHexDigit(char c) { return GetHexDigit(c) >= 0; }

int GetHexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

int GetHex(const char*& p) {
  if (p == nullptr)
    return 0;
  // Unsigned accumulation: more than eight digits wrap, only the last
  // eight count.
  uint32_t value = 0;
  while (IsHexDigit(*p)) {
    value = value * 16u + static_cast<uint32_t>(GetHexDigit(*p));
    ++p;
  }
  return static_cast<int>(value);
}

bool GetHexByte(const char*& p, unsigned char& b) {
  if (p == nullptr || !IsHexDigit(p[0]) || !IsHexDigit(p[1]))
    return false;
  b = static_cast<unsigned char>(GetHexDigit(p[0]) * 16 + GetHexDigit(p[1]));
  p += 2;
  return true;
}

bool GetInt(const char*& p, int& v) {
  if (p == nullptr)
    return false;
  if (p[0] == '0' && p[1] == 'x') {
    p += 2;
    if (!IsHexDigit(*p))
      return false;
    v = GetHex(p);
    return true;
  }
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  bool ok = IsDecimalDigit(*p);
  // The documented wrap in 32 bits, made well-defined by unsigned arithmetic.
  uint32_t value = 0;
  while (IsDecimalDigit(*p)) {
    value = value * 10u + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  if (negative)
    value = 0u - value;
  v = static_cast<int>(value);
  return ok;
}

int GetInt(int& v, const char* s) {
  const char* p = s;
  if (!GetInt(p, v))
    return 0;
  return static_cast<int>(p - s);
}

} // namespace NCanUtils
