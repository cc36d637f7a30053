#include "NCanUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Bounded text builder with printf-compatible integer conversions. It never
// writes beyond the buffer it was given and always leaves it terminated
// (unless the buffer has no room at all). The frame formatters run once per
// captured frame, so they avoid the cost of snprintf's format parsing while
// producing byte-identical output.
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

// "%2.2d:%2.2d:%2.2d.%3.3d" of the milliseconds of a day.
void PutDayTime(KTextOut& t, int ms) {
  t.Signed(ms / 3600000, 0, 2);
  t.Char(':');
  t.Signed((ms / 60000) % 60, 0, 2);
  t.Char(':');
  t.Signed((ms / 1000) % 60, 0, 2);
  t.Char('.');
  t.Signed(ms % 1000, 0, 3);
}

// Both forms of PrintTime: "%d.%d.%d %s" or "'%4.4d-%2.2d-%2.2d',%d".
void PutTime(KTextOut& t, int days, int ms, bool sql) {
  int day, month, year;
  NCanUtils::GetDateFromDays(days, day, month, year);
  if (sql) {
    t.Char('\'');
    t.Signed(year, 0, 4);
    t.Char('-');
    t.Signed(month, 0, 2);
    t.Char('-');
    t.Signed(day, 0, 2);
    t.Str("',");
    t.Signed(ms);
  } else {
    t.Signed(day);
    t.Char('.');
    t.Signed(month);
    t.Char('.');
    t.Signed(year);
    t.Char(' ');
    PutDayTime(t, ms);
  }
}

// Milliseconds since 1970-01-01 UTC.
int64_t UnixMs(int days, int ms) {
  return (static_cast<int64_t>(days) + NCanUtils::cEpochOffsetDays) * NCanUtils::cMsPerDay + ms;
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

// ---------------------------------------------------------------------------
// KCanFrame

void KCanFrame::Init() {
  mCounter = 0;
  mDays = 0;
  mMs = 0;
  mId = 0;
  mLen = 0;
  mFlags = 0;
  std::memset(mData, 0, sizeof(mData));
}

void KCanFrame::InitElsterFrame(unsigned short sender, unsigned short receiver,
                                unsigned short index) {
  Init();
  mId = sender;
  mLen = 5;
  mData[0] = static_cast<unsigned char>((receiver & 0x780) / 8 + 1);
  mData[1] = static_cast<unsigned char>(receiver & 7);
  mData[2] = 0xFA;
  mData[3] = static_cast<unsigned char>(index / 256);
  mData[4] = static_cast<unsigned char>(index & 0xFF);
}

bool KCanFrame::EqualData(const KCanFrame& other) const {
  if (mLen != other.mLen)
    return false;
  return std::memcmp(mData, other.mData, SafeLen()) == 0;
}

bool KCanFrame::IsAnswer(const KCanFrame& other) const {
  return ((other.mId >> 3) & 0xF0) == (mData[0] & 0xF0u) &&
         ((mId >> 3) & 0xF0) == (other.mData[0] & 0xF0u);
}

bool KCanFrame::Changed(const KCanFrame& other) const {
  if (mLen < 5 || !IsAnswer(other))
    return false;
  return Value() == other.Value();
}

bool KCanFrame::Supported() const { return mLen < 5 || Value() != 0x8000; }

int KCanFrame::Value() const {
  if (mLen < 2 || mLen > 7)
    return 0;
  if (mLen <= 6)
    return mData[mLen - 2] * 256 + mData[mLen - 1];
  if (mData[2] == 0xFA)
    return mData[5] * 256 + mData[6];
  return mData[3] * 256 + mData[4];
}

bool KCanFrame::SetValue(unsigned short value) {
  if (mLen != 5 && mLen != 7)
    return false;
  if (mData[2] == 0xFA) {
    mData[5] = static_cast<unsigned char>(value / 256);
    mData[6] = static_cast<unsigned char>(value & 0xFF);
    mLen = 7;
  } else {
    mData[3] = static_cast<unsigned char>(value / 256);
    mData[4] = static_cast<unsigned char>(value & 0xFF);
  }
  return true;
}

int KCanFrame::Index() const {
  if (mLen < 5 || mLen > 7)
    return -1;
  if (mData[2] == 0xFA)
    return mData[3] * 256 + mData[4];
  return mData[2];
}

unsigned short KCanFrame::ReceiverId() const {
  return static_cast<unsigned short>((mData[0] & 0xF0) * 8 + (mData[1] & 0x0F));
}

unsigned char KCanFrame::ShortReceiverId() const {
  return static_cast<unsigned char>((mData[0] & 0xF0) + (mData[1] & 0x0F));
}

unsigned char KCanFrame::ShortId(unsigned short longId) {
  return static_cast<unsigned char>(((longId & 0x780) / 8) + (longId & 0x0F));
}

unsigned char KCanFrame::GetShortId() const { return ShortId(static_cast<unsigned short>(mId)); }

unsigned short KCanFrame::LongId(unsigned char shortId) {
  return static_cast<unsigned short>((shortId & 0xF0) * 8 + (shortId & 0x0F));
}

void KCanFrame::SetLongId(unsigned char shortId) { mId = LongId(shortId); }

bool KCanFrame::GetDataFromStream(const char* text) {
  mLen = 0;
  if (text == nullptr)
    return false;
  auto skip = [&text]() {
    while (*text == ' ' || *text == '.')
      ++text;
  };
  while (mLen < 8) {
    skip();
    unsigned char b;
    if (!NCanUtils::GetHexByte(text, b))
      break;
    mData[mLen++] = b;
  }
  skip();
  return *text == 0 || *text == '\n' || *text == '\r';
}

void KCanFrame::FormMySqlInsert(char* out, std::size_t size) const {
  KTextOut t(out, size);
  int len = SafeLen();
  t.Str("INSERT can_log(counter,timestamp,can_id");
  for (int i = 0; i < len; ++i) {
    t.Str(",d");
    t.Signed(i);
  }
  t.Str(") VALUES(");
  t.Unsigned(mCounter & cNoBit31Mask);
  t.Char(',');
  t.Signed(UnixMs(mDays, mMs));
  t.Char(',');
  t.Unsigned(mId & cNoBit31Mask);
  for (int i = 0; i < len; ++i) {
    t.Char(',');
    t.Signed(mData[i]);
  }
  t.Str(");");
}

void KCanFrame::FormHttpVariables(char* out, std::size_t size) const {
  KTextOut t(out, size);
  t.Str("counter=");
  t.Signed(static_cast<int32_t>(mCounter & cNoBit31Mask));
  t.Str("&timestamp=");
  t.Signed(UnixMs(mDays, mMs));
  t.Str("&can_id=");
  t.Signed(static_cast<int32_t>(mId & cNoBit31Mask));
  for (int i = 0; i < SafeLen(); ++i) {
    t.Str("&d");
    t.Signed(i);
    t.Char('=');
    t.Signed(mData[i]);
  }
}

// ---------------------------------------------------------------------------
// NCanUtils

namespace NCanUtils {

const int cMonthDays[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

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

void SleepMs(int ms) {
  if (ms <= 0)
    return;
  timespec rest;
  rest.tv_sec = ms / 1000;
  rest.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

void ArtTime(const timeval& tv, int& days, int& ms) {
  int64_t seconds = tv.tv_sec;
  int64_t m = (seconds % 86400) * 1000 + tv.tv_usec / 1000;
  int64_t d = seconds / 86400 - cEpochOffsetDays;
  if (m < 0) {
    m += cMsPerDay;
    d -= 1;
  }
  days = static_cast<int>(d);
  ms = static_cast<int>(m);
}

void ArtTime(int& days, int& ms) {
  timeval tv;
  if (gettimeofday(&tv, nullptr) == 0) {
    ArtTime(tv, days, ms);
  } else {
    days = 0;
    ms = 0;
  }
}

void GetDateFromDays(int days, int& day, int& month, int& year) {
  month = 1;
  int q = days / 1461;
  int r = days - 1461 * q;
  year = 2000 + 4 * q;
  if (r <= 0) {
    r += 1461;
    year -= 4;
  }
  if (r > 365) {
    year += 1;
    r -= 366;
    while (r > 364) {
      year += 1;
      r -= 365;
    }
  }
  r += 1;
  while (cMonthDays[month] < r) {
    if (month == 2 && year % 4 == 0) {
      if (r <= 60)
        break;
      r -= 1;
    }
    month += 1;
  }
  day = r - cMonthDays[month - 1];
}

bool GetArtDays(int year, int month, int day, int& days) {
  if (year < 2000 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31)
    return false;
  bool leap = year % 4 == 0;
  if (month == 2) {
    if (day > 29 || (day > 28 && !leap))
      return false;
  } else if (day > cMonthDays[month] - cMonthDays[month - 1]) {
    return false;
  }
  int y = year - 2000;
  days = 365 * y + (y + 3) / 4 + cMonthDays[month - 1] + (day - 1);
  if (leap && month > 2)
    days += 1;
  return true;
}

void PrintDayTime(int ms, char* out, std::size_t size) {
  KTextOut t(out, size);
  PutDayTime(t, ms);
}

void PrintTime(int days, int ms, char* out, bool sql, std::size_t size) {
  KTextOut t(out, size);
  PutTime(t, days, ms, sql);
}

void PrintTime(const KCanFrame& frame, char* out, bool sql, std::size_t size) {
  PrintTime(frame.mDays, frame.mMs, out, sql, size);
}

void PrintMs(int days, int ms, char* out, std::size_t size) {
  KTextOut t(out, size);
  t.Signed(UnixMs(days, ms));
}

void PrintDateTime(int days, int ms, char* out, std::size_t size) {
  int day, month, year;
  GetDateFromDays(days, day, month, year);
  KTextOut t(out, size);
  t.Signed(year, 0, 4);
  t.Char('-');
  t.Signed(month, 0, 2);
  t.Char('-');
  t.Signed(day, 0, 2);
  t.Char(' ');
  PutDayTime(t, ms);
}

void FormatFrame(const KCanFrame& frame, bool csv, char* out, std::size_t size) {
  KTextOut t(out, size);
  const int len = frame.SafeLen();
  if (csv) {
    // counter,'date',ms,id,flags,d0..d7 (NULL where the frame has no byte)
    t.Unsigned(frame.mCounter);
    t.Char(',');
    PutTime(t, frame.mDays, frame.mMs, true);
    t.Char(',');
    t.Unsigned(frame.mId);
    t.Char(',');
    t.Signed(frame.mFlags & 0xFF);
    for (int i = 0; i < 8; ++i) {
      t.Char(',');
      if (i < len)
        t.Signed(frame.mData[i]);
      else
        t.Str("NULL");
    }
    t.Char('\n');
    return;
  }
  // A frame that was never stamped (counter and day both 0) gets the short head.
  if (frame.mCounter != 0 || frame.mDays != 0) {
    t.Unsigned(frame.mCounter, 3);
    t.Str("  ");
    PutTime(t, frame.mDays, frame.mMs, false);
    t.Str("  ");
  }
  t.Unsigned(frame.mId & KCanFrame::cIdMask, 8, 1, 16);
  t.Char(' ');
  t.Unsigned(frame.mFlags & 0xFF, 0, 2, 16);
  t.Str(" [");
  t.Signed(frame.mLen);
  t.Str("] ");
  for (int i = 0; i < 8; ++i) {
    if (i < len) {
      t.Unsigned(frame.mData[i], 0, 2, 16);
      t.Char(' ');
    } else {
      t.Str("   ");
    }
  }
  t.Char(' ');
  for (int i = 0; i < len; ++i) {
    unsigned char c = frame.mData[i];
    t.Char(c >= 32 && c <= 126 ? static_cast<char>(c) : '.');
  }
  t.Char('\n');
}

} // namespace NCanUtils

// ---------------------------------------------------------------------------
// KComfortFrame: an Elster frame in the relay's twelve-byte form

const KComfortFrame KComfortFrame::InitFrame = {
    {0x0D, 0x00, 0x0D, 0x01, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x26}};

int KComfortFrame::GetSum() const {
  int sum = 0;
  for (int i = 0; i < cPayload; ++i)
    sum += mData[i];
  return sum;
}

int KComfortFrame::GetCheckSum() const { return mData[10] * 256 + mData[11]; }

bool KComfortFrame::CheckSum() const { return GetSum() == GetCheckSum(); }

void KComfortFrame::SetCheckSum() {
  int sum = GetSum();
  mData[10] = static_cast<unsigned char>((sum / 256) & 0xFF);
  mData[11] = static_cast<unsigned char>(sum & 0xFF);
}

bool KComfortFrame::SetCanFrame(KCanFrame& frame) const {
  frame.Init();
  frame.mLen = 7;
  frame.mId = static_cast<uint32_t>((mData[0] & 0x0F) * 128 + (mData[1] & 0x0F));
  frame.mData[0] = static_cast<unsigned char>(((mData[2] * 16) & 0xFF) + (mData[3] & 0x0F));
  std::memcpy(frame.mData + 1, mData + 4, 6);
  return CheckSum() && (mData[0] & 0xF0) == 0;
}

bool KComfortFrame::GetCanFrame(const KCanFrame& frame) {
  mData[0] = static_cast<unsigned char>((frame.mId / 128) & 0x0F);
  mData[1] = static_cast<unsigned char>(frame.mId & 0x0F);
  mData[2] = static_cast<unsigned char>(frame.mData[0] / 16);
  mData[3] = static_cast<unsigned char>(frame.mData[0] & 0x0F);
  std::memcpy(mData + 4, frame.mData + 1, 6);
  if (frame.mLen == 5) { // a request without value
    mData[8] = 0x80;
    mData[9] = 0x08;
  }
  SetCheckSum();
  return (frame.mLen == 7 || frame.mLen == 5) && frame.mId <= 0x7FF;
}

void KComfortFrame::SetOk(bool ok) {
  std::memset(mData, ok ? 0x55 : 0xAA, cPayload);
  SetCheckSum();
}

void KComfortFrame::SetOkValue(unsigned int value) {
  SetOk(true);
  mData[8] = static_cast<unsigned char>(value & 0xFF);
  mData[9] = static_cast<unsigned char>((value / 256) & 0xFF);
  SetCheckSum();
}

void KComfortFrame::SetInitOk() { SetOkValue(InitId); }

bool KComfortFrame::EqualData(const KComfortFrame& other) const {
  return std::memcmp(mData, other.mData, cSize) == 0;
}

bool KComfortFrame::IsInitFrame() const { return EqualData(InitFrame); }

int KComfortFrame::GetMsgType() const {
  if (IsInitFrame())
    return 0;
  if (mData[0] != 0x0D)
    return 3;
  const bool requestIndex = (mData[4] & 0xF0) == 0;
  if (mData[3] == 1 && requestIndex && (mData[5] == 0xFA || mData[2] != 0))
    return 1;
  if (mData[3] == 0 && requestIndex && mData[5] == 0xFA && mData[2] != 0)
    return 2;
  return 3;
}

void KComfortFrame::SetToString(char* out, std::size_t size) const {
  if (out == nullptr || size == 0)
    return;
  static const char cDigits[] = "0123456789abcdef";
  std::size_t pos = 0;
  for (int i = 0; i < cSize && pos + 2 < size; ++i) {
    out[pos++] = cDigits[mData[i] >> 4];
    out[pos++] = cDigits[mData[i] & 0x0F];
  }
  out[pos] = 0;
}

bool KComfortFrame::SetFromString(const char* text, bool checksumMayBeMissing) {
  if (text == nullptr)
    return false;
  for (int i = 0; i < cSize; ++i) {
    while (*text == ' ' || *text == '.')
      ++text;
    if (!NCanUtils::GetHexByte(text, mData[i])) {
      if (checksumMayBeMissing && i == cPayload) {
        SetCheckSum();
        return true;
      }
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// KCan232Frame: the CAN232 adapter's ASCII frame line

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

bool KCan232Frame::SetCanFrame(KCanFrame& frame) const {
  frame.Init();
  const char type = mText[0];
  const bool extended = type == 'T' || type == 'R';
  const bool standard = type == 't' || type == 'r';
  if (!extended && !standard)
    return false;
  const char* p = mText + 1;
  unsigned char b = 0;
  if (!NCanUtils::GetHexByte(p, b))
    return false;
  if (extended) {
    // 29 bits: a higher bit would be taken for a flag (bit 29 marks an error
    // frame), so such a line is noise.
    if (b > (KCanFrame::cIdMask >> 24))
      return false;
    uint32_t id = b;
    for (int i = 0; i < 3; ++i) {
      if (!NCanUtils::GetHexByte(p, b))
        return false;
      id = (id << 8) | b;
    }
    frame.mId = id | KCanFrame::cExtendedFlag;
  } else {
    if (b >= 0x80 || !NCanUtils::IsHexDigit(*p))
      return false;
    frame.mId = static_cast<uint32_t>(b) * 16 + static_cast<uint32_t>(NCanUtils::GetHexDigit(*p));
    ++p;
  }
  if (type == 'r' || type == 'R')
    frame.mId |= KCanFrame::cRemoteFlag;
  if (*p < '0' || *p > '8')
    return false;
  frame.mLen = *p - '0';
  ++p;
  // Adapters send remote frames without data: the line ends after the
  // length, and the frame has that length and no data bytes.
  if ((type == 'r' || type == 'R') && *p == 0)
    return true;
  for (int i = 0; i < frame.mLen; ++i) {
    if (!NCanUtils::GetHexByte(p, frame.mData[i]))
      return false;
  }
  return true;
}

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
