// Receive times after 2038-01-19 03:14:07 UTC, the last second a signed
// 32-bit time_t can hold. The 32-bit Arm build uses glibc's 64-bit time_t;
// these tests run there (under emulation) and on x86_64 alike.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/types.h>

#include <cstring>
#include <ctime>
#include <string>

#include "NCanUtils.h"

using namespace NCanUtils;

// A build with a 32-bit time_t would wrap every time stamp below in 2038, so
// such a build must not compile at all.
static_assert(sizeof(time_t) == 8, "time_t must be 64 bits (build with -D_TIME_BITS=64)");
static_assert(sizeof(timeval::tv_sec) == 8, "timeval seconds must be 64 bits");
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits (build with -D_FILE_OFFSET_BITS=64)");

namespace {

timeval Tv(long long sec, long usec) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(sec);
  tv.tv_usec = usec;
  return tv;
}

std::string Text(void (*print)(int, int, char*, std::size_t), int days, int ms) {
  char text[cTimeTextSize];
  print(days, ms, text, sizeof(text));
  return text;
}

std::string TimeText(int days, int ms, bool sql) {
  char text[cTimeTextSize];
  PrintTime(days, ms, text, sql);
  return text;
}

// Expected values from `date -u -d @<seconds>` and seconds × 1000 + ms.
TEST(Time64, StampsAndPrintFormsAcross2038) {
  struct {
    long long sec;
    long usec;
    int days;
    int ms;
    const char* trace;   // PrintTime, sql false
    const char* sql;     // PrintTime, sql true
    const char* unixMs;  // PrintMs
    const char* dateTime; // PrintDateTime
  } cases[] = {
      // Last second of a signed 32-bit time_t, and the first one after it.
      {2147483647LL, 999000, 13898, 11647999, "19.1.2038 03:14:07.999", "'2038-01-19',11647999",
       "2147483647999", "2038-01-19 03:14:07.999"},
      {2147483648LL, 0, 13898, 11648000, "19.1.2038 03:14:08.000", "'2038-01-19',11648000",
       "2147483648000", "2038-01-19 03:14:08.000"},
      {2214129600LL, 0, 14669, 43200000, "29.2.2040 12:00:00.000", "'2040-02-29',43200000",
       "2214129600000", "2040-02-29 12:00:00.000"},
      {2214129600LL + 86400, 500, 14670, 43200000, "1.3.2040 12:00:00.000",
       "'2040-03-01',43200000", "2214216000000", "2040-03-01 12:00:00.000"},
      // Last millisecond of the century.
      {4102444799LL, 999999, 36524, 86399999, "31.12.2099 23:59:59.999", "'2099-12-31',86399999",
       "4102444799999", "2099-12-31 23:59:59.999"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sec);
    int days = -1, ms = -1;
    ArtTime(Tv(c.sec, c.usec), days, ms);
    EXPECT_EQ(days, c.days);
    EXPECT_EQ(ms, c.ms);
    EXPECT_EQ(TimeText(days, ms, false), c.trace);
    EXPECT_EQ(TimeText(days, ms, true), c.sql);
    EXPECT_EQ(Text(PrintMs, days, ms), c.unixMs);
    EXPECT_EQ(Text(PrintDateTime, days, ms), c.dateTime);
  }
}

// Seconds that no longer fit in 32 bits even unsigned (2106): the stamp and
// the millisecond count must still be exact.
TEST(Time64, StampBeyondUnsigned32BitSeconds) {
  int days = -1, ms = -1;
  ArtTime(Tv(4294967296LL, 1000), days, ms);
  EXPECT_EQ(days, 38753);
  EXPECT_EQ(ms, 23296001);
  EXPECT_EQ(Text(PrintMs, days, ms), "4294967296001");
}

// A frame received on 2040-02-29 12:00:00.000 UTC, stamped from its timeval
// as a driver does, through every text form the logger writes.
TEST(Time64, FrameReceivedIn2040) {
  KCanFrame f;
  ArtTime(Tv(2214129600LL, 0), f.mDays, f.mMs);
  f.mCounter = 17;
  f.mId = 0x180;
  f.mLen = 5;
  const unsigned char data[] = {0x31, 0x00, 0xFA, 0x00, 0x0C};
  std::memcpy(f.mData, data, sizeof(data));

  char line[cLineSize];
  FormatFrame(f, false, line);
  EXPECT_STREQ(line, " 17  29.2.2040 12:00:00.000       180 00 [5] 31 00 fa 00 0c           1....\n");
  FormatFrame(f, true, line);
  EXPECT_STREQ(line, "17,'2040-02-29',43200000,384,0,49,0,250,0,12,NULL,NULL,NULL\n");
  f.FormMySqlInsert(line);
  EXPECT_STREQ(line, "INSERT can_log(counter,timestamp,can_id,d0,d1,d2,d3,d4) "
                     "VALUES(17,2214129600000,384,49,0,250,0,12);");
  f.FormHttpVariables(line);
  EXPECT_STREQ(line, "counter=17&timestamp=2214129600000&can_id=384&d0=49&d1=0&d2=250&d3=0&d4=12");
}

// The 64-bit clock calls (clock_gettime64 on 32-bit Arm) must deliver the same
// time as the other clock interfaces, and a plausible one.
TEST(Time64, ClockInterfacesAgree) {
  timespec ts{};
  ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &ts), 0);
  timeval tv{};
  ASSERT_EQ(gettimeofday(&tv, nullptr), 0);
  const time_t now = std::time(nullptr);
  // 2024-01-01 00:00:00 UTC: any clock before it is not read correctly.
  EXPECT_GT(ts.tv_sec, 1704067200);
  // time() may read a coarse clock that lags a few milliseconds.
  EXPECT_NEAR(static_cast<double>(tv.tv_sec - ts.tv_sec), 0.0, 2.0);
  EXPECT_NEAR(static_cast<double>(now - tv.tv_sec), 0.0, 2.0);

  int days = 0, ms = -1;
  ArtTime(days, ms);
  int tvDays = 0, tvMs = 0;
  ArtTime(tv, tvDays, tvMs);
  const long long diff = (static_cast<long long>(days) - tvDays) * cMsPerDay + (ms - tvMs);
  EXPECT_GE(diff, 0);
  EXPECT_LT(diff, 2000);
}

} // namespace
