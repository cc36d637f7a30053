// Bounded text builder of the frame and time text forms, with
// printf-compatible integer conversions. It never writes beyond the buffer
// it was given and always leaves it terminated (unless the buffer has no
// room at all). The frame formatters run once per captured frame, so they
// avoid the cost of snprintf's format parsing while producing
// byte-identical output. Internal to the can library.
#pragma once

#include <cstddef>
#include <cstdint>

class KTextOut {
public:
  KTextOut(char* out, std::size_t size)
      : mPos(out), mEnd(size > 0 ? out + size - 1 : out), mValid(out != nullptr && size > 0) {
    if (mValid)
      *mPos = 0;
  }
  ~KTextOut() {
    if (mValid)
      *mPos = 0;
  }
  KTextOut(const KTextOut&) = delete;
  KTextOut& operator=(const KTextOut&) = delete;

  void Char(char c) {
    if (mPos < mEnd)
      *mPos++ = c;
  }
  void Repeat(char c, int count) {
    while (count-- > 0)
      Char(c);
  }
  void Str(const char* s) {
    while (*s && mPos < mEnd)
      *mPos++ = *s++;
  }

  // "%*.*u", "%*.*x" or "%*.*X": at least `precision` digits (zero padded),
  // right-aligned in `width` columns with blanks.
  void Unsigned(uint64_t v, int width = 0, int precision = 1, int base = 10, bool upper = false) {
    char digits[24];
    int n = Digits(v, digits, base, upper);
    int zeros = precision > n ? precision - n : 0;
    Repeat(' ', width - (n + zeros));
    Repeat('0', zeros);
    while (n > 0)
      Char(digits[--n]);
  }

  // "%*.*d" and "%lld".
  void Signed(int64_t v, int width = 0, int precision = 1) {
    uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    char digits[24];
    int n = Digits(magnitude, digits, 10, false);
    int zeros = precision > n ? precision - n : 0;
    int sign = v < 0 ? 1 : 0;
    Repeat(' ', width - (n + zeros + sign));
    if (sign)
      Char('-');
    Repeat('0', zeros);
    while (n > 0)
      Char(digits[--n]);
  }

  // Exactly `digits` upper-case hexadecimal digits of the low bits of `v`
  // ("%0*X" of a value that fits).
  void Hex(uint32_t v, int digits) {
    static const char cHex[] = "0123456789ABCDEF";
    if (mEnd - mPos < digits) {
      while (digits-- > 0)
        Char(cHex[(v >> (4 * digits)) & 0x0F]);
      return;
    }
    for (int i = digits - 1; i >= 0; --i)
      mPos[i] = cHex[(v >> (4 * (digits - 1 - i))) & 0x0F];
    mPos += digits;
  }

private:
  static int Digits(uint64_t v, char* digits, int base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int n = 0;
    do {
      digits[n++] = set[v % base];
      v /= base;
    } while (v != 0);
    return n;
  }

  char* mPos;
  char* mEnd;
  bool mValid;
};
