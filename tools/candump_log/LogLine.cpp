#include "LogLine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The latest receive time read, in seconds since 1970 (the year 2286): far
// beyond any log, and small enough that no sum of days or microseconds
// overflows.
const long long cMaxSeconds = 9999999999LL;

// Days since 2000 and milliseconds of a time in ms since 1970.
void SetUnixMs(KCanFrame& f, long long ms) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  if (tv.tv_usec < 0) {
    tv.tv_usec += 1000000;
    tv.tv_sec -= 1;
  }
  NCanUtils::ArtTime(tv, f.mDays, f.mMs);
}

// Eight data fields, each after `separator`: a decimal byte, or NULL from
// the frame's length on. `end` receives what follows them.
bool ParseData(const char* p, char separator, KCanFrame& f, const char*& end) {
  f.mLen = 0;
  bool ended = false;
  for (int i = 0; i < 8; ++i) {
    if (*p++ != separator)
      return false;
    if (std::strncmp(p, "NULL", 4) == 0) {
      p += 4;
      ended = true;
      continue;
    }
    char* after;
    long v = std::strtol(p, &after, 10);
    if (after == p || v < 0 || v > 255 || ended)
      return false;
    f.mData[f.mLen++] = static_cast<unsigned char>(v);
    p = after;
  }
  end = p;
  return true;
}

bool LineEnd(const char* p) { return *p == 0 || *p == '\n' || *p == '\r'; }

// "17,'2026-12-07',50709123,384,0,49,0,250,0,12,NULL,NULL,NULL"
bool ParseCsv(const char* line, KLogLine& out) {
  unsigned long counter, id;
  int year, month, day, ms, flags, consumed = 0;
  if (std::sscanf(line, "%lu,'%d-%d-%d',%d,%lu,%d%n", &counter, &year, &month, &day, &ms, &id,
                  &flags, &consumed) != 7 ||
      ms < 0 || ms >= NCanUtils::cMsPerDay || id > 0xFFFFFFFFul)
    return false;
  KCanFrame& f = out.mFrame;
  if (!NCanUtils::GetArtDays(year, month, day, f.mDays))
    return false;
  f.mMs = ms;
  f.mCounter = static_cast<uint32_t>(counter);
  f.mId = static_cast<uint32_t>(id);
  f.mFlags = static_cast<uint32_t>(flags) & 0xFF;
  const char* end = nullptr;
  if (!ParseData(line + consumed, ',', f, end) || !LineEnd(end))
    return false;
  out.mHasCounter = true;
  out.mCarries = caAll;
  return true;
}

// " 17  7.12.2026 14:05:09.123       180 00 [5] 31 00 fa 00 0c           1...."
bool ParseTrace(const char* line, KLogLine& out) {
  unsigned long counter, id;
  unsigned flags;
  int day, month, year, hours, minutes, seconds, millis, length, consumed = 0;
  if (std::sscanf(line, "%lu %d.%d.%d %d:%d:%d.%d %lx %x [%d] %n", &counter, &day, &month, &year,
                  &hours, &minutes, &seconds, &millis, &id, &flags, &length, &consumed) != 11 ||
      consumed == 0 || length < 0 || length > 8 || hours < 0 || hours > 23 || minutes < 0 ||
      minutes > 59 || seconds < 0 || seconds > 59 || millis < 0 || millis > 999 ||
      id > KCanFrame::cIdMask)
    return false;
  KCanFrame& f = out.mFrame;
  if (!NCanUtils::GetArtDays(year, month, day, f.mDays))
    return false;
  f.mMs = ((hours * 60 + minutes) * 60 + seconds) * 1000 + millis;
  f.mCounter = static_cast<uint32_t>(counter);
  f.mId = static_cast<uint32_t>(id);
  f.mFlags = flags & 0xFF;
  f.mLen = length;
  const char* p = line + consumed;
  for (int i = 0; i < length; ++i) {
    if (!NCanUtils::GetHexByte(p, f.mData[i]) || *p++ != ' ')
      return false;
  }
  out.mHasCounter = true;
  out.mCarries = caNoFlags;
  return true;
}

bool ParseCandump(const char* line, KLogLine& out, TCandumpLineEnum& kind, const char*& why) {
  KCandumpFrame c;
  kind = ParseCandumpLine(line, c, why);
  if (kind != clFrame)
    return false;
  if (!c.mHasTime) {
    kind = clBad;
    why = "no time stamp";
    return false;
  }
  if (c.mSeconds < 0 || c.mSeconds > cMaxSeconds) {
    kind = clBad;
    why = "time out of range";
    return false;
  }
  KCanFrame& f = out.mFrame;
  timeval tv;
  tv.tv_sec = static_cast<time_t>(c.mSeconds);
  tv.tv_usec = static_cast<suseconds_t>(c.mMicros);
  NCanUtils::ArtTime(tv, f.mDays, f.mMs);
  out.mMicro = static_cast<int>(c.mMicros % 1000);
  f.mId = c.IdWord();
  f.mLen = c.mLen;
  std::memcpy(f.mData, c.mData, sizeof(f.mData));
  std::memcpy(out.mIface, c.mIface, sizeof(out.mIface));
  out.mCarries = caAll;
  return true;
}

} // namespace

bool ParseTableRow(const char* const fields[11], KLogLine& out) {
  out = KLogLine();
  KCanFrame& f = out.mFrame;
  char* end;
  for (int i = 0; i < 3; ++i)
    if (fields[i] == nullptr || *fields[i] == 0)
      return false;
  unsigned long long counter = std::strtoull(fields[0], &end, 10);
  if (*end != 0 || counter > 0xFFFFFFFFull)
    return false;
  long long ms = std::strtoll(fields[1], &end, 10);
  if (*end != 0 || ms < 0 || ms > cMaxSeconds * 1000 + 999)
    return false;
  unsigned long long id = std::strtoull(fields[2], &end, 10);
  if (*end != 0 || id > 0xFFFFFFFFull)
    return false;
  f.mCounter = static_cast<uint32_t>(counter);
  SetUnixMs(f, ms);
  f.mId = static_cast<uint32_t>(id) & KCanFrame::cNoBit31Mask;
  for (int i = 0; i < 8; ++i) {
    const char* d = fields[3 + i];
    if (d == nullptr)
      continue;
    long v = std::strtol(d, &end, 10);
    if (*end != 0 || end == d || v < 0 || v > 255 || f.mLen != i)
      return false;
    f.mData[f.mLen++] = static_cast<unsigned char>(v);
  }
  out.mHasCounter = true;
  out.mCarries = caNoExtended;
  return true;
}

TCandumpLineEnum ParseLogLine(const char* line, KLogLine& out, const char*& why) {
  out = KLogLine();
  const char* p = line;
  while (*p == ' ' || *p == '\t')
    ++p;
  if (LineEnd(p)) {
    why = "empty";
    return clSkip;
  }
  if (*p == '(') {
    TCandumpLineEnum kind;
    ParseCandump(p, out, kind, why);
    return kind;
  }
  if (std::strchr(line, '\t') != nullptr) {
    // A table row as the mariadb client prints it: eleven fields.
    char copy[512];
    std::snprintf(copy, sizeof(copy), "%s", p);
    copy[std::strcspn(copy, "\r\n")] = 0;
    const char* fields[11] = {};
    char* field = copy;
    int n = 0;
    while (n < 11 && field != nullptr) {
      char* tab = std::strchr(field, '\t');
      if (tab != nullptr)
        *tab = 0;
      fields[n++] = std::strcmp(field, "NULL") == 0 ? nullptr : field;
      field = tab != nullptr ? tab + 1 : nullptr;
    }
    why = "not a table row";
    return n == 11 && field == nullptr && ParseTableRow(fields, out) ? clFrame : clBad;
  }
  // A CSV line starts with its counter and a comma, a trace line with
  // blanks or a counter and blanks.
  const char* q = p;
  while (*q >= '0' && *q <= '9')
    ++q;
  if (*q == ',') {
    why = "not a CSV frame line";
    return ParseCsv(p, out) ? clFrame : clBad;
  }
  why = "not a trace frame line (or one without its time)";
  return ParseTrace(line, out) ? clFrame : clBad;
}
