// Day/ms time stamps (days since 2000-01-01 and milliseconds since
// midnight, UTC): the clock, calendar arithmetic and the time texts.
#include "NCanUtils.h"

#include <cerrno>
#include <ctime>

#include "CalendarText.h"
#include "KTextOut.h"

namespace NCanUtils {

const int cMonthDays[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

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
  GetDateFromDays(days, day, month, year);
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

int64_t UnixMs(int days, int ms) {
  return (static_cast<int64_t>(days) + cEpochOffsetDays) * cMsPerDay + ms;
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

} // namespace NCanUtils
