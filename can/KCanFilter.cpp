#include "KCanFilter.h"

#include <cstdio>
#include <cstring>

#include "KCanFrame.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Reads 1 to 8 hexadecimal digits from [p, end); false for anything else.
bool ReadHex(const char* p, const char* end, uint32_t& value) {
  if (end <= p || end - p > 8)
    return false;
  value = 0;
  for (; p < end; ++p) {
    int digit = HexValue(*p);
    if (digit < 0)
      return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return true;
}

} // namespace

bool KCanFilterList::Parse(const char* text, char* badItem, std::size_t badItemSize) {
  mCount = 0;
  if (badItemSize > 0)
    badItem[0] = 0;
  if (text == nullptr)
    return false;
  const char* item = text;
  for (;;) {
    const char* end = std::strchr(item, ',');
    if (end == nullptr)
      end = item + std::strlen(item);
    const char* sep = item;
    while (sep < end && *sep != ':' && *sep != '~')
      ++sep;
    uint32_t id = 0;
    uint32_t mask = 0;
    const long idDigits = sep - item;
    bool ok = sep < end && (idDigits == 3 || idDigits == 8) && ReadHex(item, sep, id) &&
              ReadHex(sep + 1, end, mask) && mCount < cMaxFilters &&
              id <= (idDigits == 3 ? 0x7FFu : static_cast<uint32_t>(KCanFrame::cIdMask));
    if (!ok) {
      if (badItemSize > 0)
        std::snprintf(badItem, badItemSize, "%.*s", static_cast<int>(end - item), item);
      mCount = 0;
      return false;
    }
    KFilter& f = mFilters[mCount++];
    f.mId = id | (idDigits == 8 ? static_cast<uint32_t>(KCanFrame::cExtendedFlag) : 0u);
    f.mMask = (mask & KCanFrame::cIdMask) | KCanFrame::cExtendedFlag;
    f.mInvert = *sep == '~';
    if (*end == 0)
      return true;
    item = end + 1;
  }
}

bool KCanFilterList::Keeps(const KCanFrame& frame) const {
  if (mCount == 0 || (frame.mId & KCanFrame::cErrorFlag) != 0)
    return true;
  for (int i = 0; i < mCount; ++i) {
    const KFilter& f = mFilters[i];
    bool match = (frame.mId & f.mMask) == (f.mId & f.mMask);
    if (match != f.mInvert)
      return true;
  }
  return false;
}

int KCanFilterList::KernelFilters(uint32_t (*out)[2]) const {
  for (int i = 0; i < mCount; ++i) {
    out[i][0] = mFilters[i].mId | (mFilters[i].mInvert ? static_cast<uint32_t>(cInvertFlag) : 0u);
    out[i][1] = mFilters[i].mMask;
  }
  return mCount;
}
