#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "NCanUtils.h"

using namespace NCanUtils;

namespace {

TEST(ArtTime, FromTimeval) {
  struct {
    long long sec;
    long usec;
    int days;
    int ms;
  } cases[] = {
      {946684800, 0, 0, 0},
      {946684799, 500000, -1, 86399500},
      {0, 0, -10957, 0},
      {1796652309, 123456, 9837, 50709123},
      {-1, 999000, -10958, 86399999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sec);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(c.sec);
    tv.tv_usec = c.usec;
    int days = 1, ms = 1;
    ArtTime(tv, days, ms);
    EXPECT_EQ(days, c.days);
    EXPECT_EQ(ms, c.ms);
  }
}

TEST(ArtTime, ClockIsNowAndInRange) {
  timeval before{};
  gettimeofday(&before, nullptr);
  int days = -1, ms = -1;
  ArtTime(days, ms);
  int bd, bms;
  ArtTime(before, bd, bms);
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, cMsPerDay);
  // Within a second of the clock read just before.
  long long diff = (static_cast<long long>(days) - bd) * cMsPerDay + (ms - bms);
  EXPECT_GE(diff, 0);
  EXPECT_LT(diff, 1000);
}

TEST(GetDateFromDays, KnownDays) {
  struct {
    int days, year, month, day;
  } cases[] = {
      {0, 2000, 1, 1},    {-1, 1999, 12, 31}, {59, 2000, 2, 29},   {60, 2000, 3, 1},
      {365, 2000, 12, 31}, {366, 2001, 1, 1}, {1461, 2004, 1, 1},  {36584, 2100, 2, 29},
      {9837, 2026, 12, 7}, {-365, 1999, 1, 1}, {-366, 1998, 12, 31}, {-1461, 1996, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.days);
    int d, m, y;
    GetDateFromDays(c.days, d, m, y);
    EXPECT_EQ(y, c.year);
    EXPECT_EQ(m, c.month);
    EXPECT_EQ(d, c.day);
  }
}

// Every day from 2000-01-01 to 2100-12-31, walked as a calendar, must convert
// both ways.
TEST(GetDateFromDays, RoundTripOverTheCentury) {
  int year = 2000, month = 1, day = 1;
  const int lengths[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int n = 0;; ++n) {
    int d, m, y;
    GetDateFromDays(n, d, m, y);
    ASSERT_EQ(y, year) << "day " << n;
    ASSERT_EQ(m, month) << "day " << n;
    ASSERT_EQ(d, day) << "day " << n;
    int back = -1;
    ASSERT_TRUE(GetArtDays(year, month, day, back)) << year << "-" << month << "-" << day;
    ASSERT_EQ(back, n);
    if (year == 2100 && month == 12 && day == 31)
      break;
    int length = lengths[month] + (month == 2 && year % 4 == 0 ? 1 : 0);
    if (++day > length) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
}

TEST(GetArtDays, Validation) {
  struct {
    int y, m, d;
    bool ok;
  } cases[] = {
      {2001, 2, 29, false}, {2004, 2, 29, true}, {2000, 4, 31, false}, {1999, 12, 31, false},
      {2101, 1, 1, false},  {2100, 2, 29, true}, {2000, 0, 1, false},  {2000, 13, 1, false},
      {2000, 1, 0, false},  {2000, 1, 32, false}, {2000, 2, 30, false}, {2000, 12, 31, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.y << "-" << c.m << "-" << c.d);
    int n = 12345;
    EXPECT_EQ(GetArtDays(c.y, c.m, c.d, n), c.ok);
    if (!c.ok) {
      EXPECT_EQ(n, 12345);
    }
  }
}

TEST(PrintForms, WorkedExample) {
  char text[cTimeTextSize];
  PrintDayTime(50709123, text);
  EXPECT_STREQ(text, "14:05:09.123");
  PrintTime(9837, 50709123, text, false);
  EXPECT_STREQ(text, "7.12.2026 14:05:09.123");
  PrintTime(9837, 50709123, text, true);
  EXPECT_STREQ(text, "'2026-12-07',50709123");
  PrintMs(9837, 50709123, text);
  EXPECT_STREQ(text, "1796652309123");
  PrintDateTime(9837, 50709123, text);
  EXPECT_STREQ(text, "2026-12-07 14:05:09.123");
}

TEST(PrintForms, Edges) {
  char text[cTimeTextSize];
  PrintDayTime(0, text);
  EXPECT_STREQ(text, "00:00:00.000");
  PrintDayTime(86399999, text);
  EXPECT_STREQ(text, "23:59:59.999");
  PrintTime(0, 5, text, true);
  EXPECT_STREQ(text, "'2000-01-01',5");
  PrintTime(-10957, 0, text, false);
  EXPECT_STREQ(text, "1.1.1970 00:00:00.000");
  PrintMs(-10957, 0, text);
  EXPECT_STREQ(text, "0");
  KCanFrame f;
  f.mDays = 59;
  f.mMs = 3600000;
  PrintTime(f, text, false);
  EXPECT_STREQ(text, "29.2.2000 01:00:00.000");
}

// Any buffer size, however small, gets a terminated prefix of the full text
// and nothing is written beyond it.
TEST(PrintForms, BoundedBySize) {
  char full[cTimeTextSize];
  PrintDateTime(9837, 50709123, full);
  for (std::size_t size = 1; size <= sizeof(full); ++size) {
    char buffer[cTimeTextSize + 8];
    std::memset(buffer, '#', sizeof(buffer));
    PrintDateTime(9837, 50709123, buffer, size);
    EXPECT_EQ(std::string(buffer), std::string(full).substr(0, size - 1));
    for (std::size_t i = size; i < sizeof(buffer); ++i)
      ASSERT_EQ(buffer[i], '#') << "size " << size << " wrote at " << i;
  }
}

TEST(SleepMs, SleepsAtLeastThatLong) {
  timeval a{}, b{};
  gettimeofday(&a, nullptr);
  SleepMs(30);
  gettimeofday(&b, nullptr);
  long long us = (b.tv_sec - a.tv_sec) * 1000000LL + (b.tv_usec - a.tv_usec);
  EXPECT_GE(us, 30000);
}

} // namespace
