#include "PrintableText.h"

#include <cstdio>
#include <cstring>

void KPrintableText::Clear() {
  mLength = 0;
  mTotal = 0;
}

void KPrintableText::Add(const char* data, std::size_t length) {
  if (data == nullptr)
    return;
  std::size_t room = cKept - mLength;
  std::size_t n = length < room ? length : room;
  std::memcpy(mKept + mLength, data, n);
  mLength += n;
  mTotal += length;
}

void KPrintableText::Format(char* out, std::size_t size, bool trimEnd) const {
  if (out == nullptr || size == 0)
    return;
  std::size_t end = mLength;
  // The answer's own line end (and trailing blanks) would only break the line.
  if (trimEnd && mTotal == mLength)
    while (end > 0 && (mKept[end - 1] == '\n' || mKept[end - 1] == '\r' || mKept[end - 1] == ' ' ||
                       mKept[end - 1] == '\t'))
      --end;
  std::size_t used = 0;
  auto put = [&](const char* text, std::size_t n) {
    if (used + n >= size)
      return false;
    std::memcpy(out + used, text, n);
    used += n;
    return true;
  };
  bool fits = true;
  for (std::size_t i = 0; i < end && fits; ++i) {
    unsigned char c = static_cast<unsigned char>(mKept[i]);
    char escaped[5];
    if (c == '\\')
      fits = put("\\\\", 2);
    else if (c >= 0x20 && c <= 0x7E)
      fits = put(reinterpret_cast<const char*>(&mKept[i]), 1);
    else if (std::snprintf(escaped, sizeof(escaped), "\\x%02X", c) == 4)
      fits = put(escaped, 4);
  }
  out[used] = 0;
  std::size_t more = mTotal - mLength;
  if (more > 0 && used < size)
    std::snprintf(out + used, size - used, " ... (%zu more bytes)", more);
}

void PrintableText(const char* data, std::size_t length, char* out, std::size_t size) {
  KPrintableText text;
  text.Add(data, length);
  text.Format(out, size, false);
}
