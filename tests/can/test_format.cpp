#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "NCanUtils.h"

using namespace NCanUtils;

namespace {

// Longest device name a driver keeps (KCanDriver::cDevSize with its zero).
const int KCanDriverDevSize = 128;

// The worked example: counter 17, 2026-12-07 14:05:09.123 UTC, id 0x180,
// five data bytes 31 00 FA 00 0C.
KCanFrame Example() {
  KCanFrame f;
  f.mCounter = 17;
  f.mDays = 9837;
  f.mMs = 50709123;
  f.mId = 0x180;
  f.mLen = 5;
  const unsigned char data[] = {0x31, 0x00, 0xFA, 0x00, 0x0C};
  std::memcpy(f.mData, data, sizeof(data));
  return f;
}

std::string Trace(const KCanFrame& f) {
  char line[cLineSize];
  FormatFrame(f, false, line);
  return line;
}
std::string Csv(const KCanFrame& f) {
  char line[cLineSize];
  FormatFrame(f, true, line);
  return line;
}
std::string Sql(const KCanFrame& f) {
  char line[cLineSize];
  f.FormMySqlInsert(line);
  return line;
}
std::string Http(const KCanFrame& f) {
  char line[cLineSize];
  f.FormHttpVariables(line);
  return line;
}

// Reference trace line built with printf, exactly as the format is defined.
std::string ReferenceTrace(const KCanFrame& f) {
  char time[64];
  PrintTime(f, time, false);
  char out[512];
  int n = 0;
  if (f.mCounter != 0 || f.mDays != 0)
    n += std::snprintf(out + n, sizeof(out) - n, "%3u  %s  ", f.mCounter, time);
  n += std::snprintf(out + n, sizeof(out) - n, "%8x %2.2x [%d] ", f.mId & 0x1FFFFFFF,
                     f.mFlags & 0xFF, f.mLen);
  for (int i = 0; i < 8; ++i)
    n += i < f.mLen ? std::snprintf(out + n, sizeof(out) - n, "%2.2x ", f.mData[i])
                    : std::snprintf(out + n, sizeof(out) - n, "   ");
  n += std::snprintf(out + n, sizeof(out) - n, " ");
  for (int i = 0; i < f.mLen; ++i)
    out[n++] = f.mData[i] >= 32 && f.mData[i] <= 126 ? static_cast<char>(f.mData[i]) : '.';
  out[n++] = '\n';
  out[n] = 0;
  return out;
}

std::string ReferenceCsv(const KCanFrame& f) {
  char time[64];
  PrintTime(f, time, true);
  char out[512];
  int n = std::snprintf(out, sizeof(out), "%u,%s,%u,%d", f.mCounter, time, f.mId,
                        static_cast<int>(f.mFlags & 0xFF));
  for (int i = 0; i < 8; ++i)
    n += i < f.mLen ? std::snprintf(out + n, sizeof(out) - n, ",%d", f.mData[i])
                    : std::snprintf(out + n, sizeof(out) - n, ",NULL");
  std::snprintf(out + n, sizeof(out) - n, "\n");
  return out;
}

TEST(FrameText, WorkedExample) {
  KCanFrame f = Example();
  EXPECT_EQ(Trace(f), " 17  7.12.2026 14:05:09.123       180 00 [5] 31 00 fa 00 0c           1....\n");
  EXPECT_EQ(Csv(f), "17,'2026-12-07',50709123,384,0,49,0,250,0,12,NULL,NULL,NULL\n");
  EXPECT_EQ(Sql(f), "INSERT can_log(counter,timestamp,can_id,d0,d1,d2,d3,d4) "
                    "VALUES(17,1796652309123,384,49,0,250,0,12);");
  EXPECT_EQ(Http(f), "counter=17&timestamp=1796652309123&can_id=384&d0=49&d1=0&d2=250&d3=0&d4=12");
}

TEST(FrameText, ShortHeadForUnstampedFrame) {
  KCanFrame f = Example();
  f.mCounter = 0;
  f.mDays = 0;
  EXPECT_EQ(Trace(f), "     180 00 [5] 31 00 fa 00 0c           1....\n");
  KCanFrame empty;
  EXPECT_EQ(Trace(empty), "       0 00 [0]                          \n");
  // Counter 0 on day 0 but a later counter is stamped: full head.
  f.mCounter = 1;
  EXPECT_EQ(Trace(f).substr(0, 5), "  1  ");
}

TEST(FrameText, ExtendedIdentifier) {
  KCanFrame f = Example();
  f.mId = 0x18DB33F1u | KCanFrame::cExtendedFlag;
  EXPECT_NE(Trace(f).find(" 18db33f1 00 [5] "), std::string::npos);
  EXPECT_EQ(Csv(f).substr(0, 37), "17,'2026-12-07',50709123,2564502513,0");
  EXPECT_NE(Sql(f).find("VALUES(17,1796652309123,417018865,"), std::string::npos);
  EXPECT_NE(Http(f).find("&can_id=417018865&"), std::string::npos);
}

TEST(FrameText, RemoteFrameKeepsBit30InSqlAndHttp) {
  KCanFrame f = Example();
  f.mId = 0x123 | KCanFrame::cRemoteFlag;
  f.mLen = 0;
  EXPECT_NE(Trace(f).find("      123 00 [0] "), std::string::npos);
  EXPECT_EQ(Sql(f), "INSERT can_log(counter,timestamp,can_id) VALUES(17,1796652309123,1073742115);");
  EXPECT_EQ(Http(f), "counter=17&timestamp=1796652309123&can_id=1073742115");
  EXPECT_EQ(Csv(f), "17,'2026-12-07',50709123,1073742115,0,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL\n");
}

TEST(FrameText, CounterBit31DroppedOnlyInSqlAndHttp) {
  KCanFrame f = Example();
  f.mCounter = 0x80000005u;
  EXPECT_EQ(Trace(f).substr(0, 12), "2147483653  ");
  EXPECT_EQ(Csv(f).substr(0, 11), "2147483653,");
  EXPECT_NE(Sql(f).find("VALUES(5,"), std::string::npos);
  EXPECT_EQ(Http(f).substr(0, 10), "counter=5&");
}

TEST(FrameText, CharacterColumnAndFlags) {
  KCanFrame f = Example();
  f.mLen = 8;
  const unsigned char data[] = {0x20, 0x7E, 0x1F, 0x7F, 'A', 0x00, 0xFF, '~'};
  std::memcpy(f.mData, data, 8);
  f.mFlags = 0x04;
  std::string trace = Trace(f);
  EXPECT_EQ(trace.substr(trace.size() - 9), " ~..A..~\n");
  EXPECT_NE(trace.find(" 180 04 [8] 20 7e 1f 7f 41 00 ff 7e  "), std::string::npos);
  std::string csv = Csv(f);
  EXPECT_EQ(csv, "17,'2026-12-07',50709123,384,4,32,126,31,127,65,0,255,126\n");
  EXPECT_EQ(csv.find("NULL"), std::string::npos);
}

TEST(FrameText, EveryLengthMatchesPrintfReference) {
  KCanFrame f = Example();
  const unsigned char data[] = {0x00, 0x41, 0x7F, 0x80, 0x20, 0xFE, 0x0A, 0x7E};
  std::memcpy(f.mData, data, 8);
  const uint32_t ids[] = {0, 0x7FF, 0x180 | KCanFrame::cErrorFlag, 0x1FFFFFFF | KCanFrame::cExtendedFlag};
  const uint32_t counters[] = {0, 1, 999, 1000, 0xFFFFFFFFu};
  for (int len = 0; len <= 8; ++len)
    for (uint32_t id : ids)
      for (uint32_t counter : counters) {
        f.mLen = len;
        f.mId = id;
        f.mCounter = counter;
        f.mFlags = static_cast<uint32_t>(len * 31);
        SCOPED_TRACE(testing::Message() << "len " << len << " id " << id << " counter " << counter);
        EXPECT_EQ(Trace(f), ReferenceTrace(f));
        EXPECT_EQ(Csv(f), ReferenceCsv(f));
      }
}

TEST(FrameText, LengthZeroForms) {
  KCanFrame f = Example();
  f.mLen = 0;
  std::string trace = Trace(f);
  EXPECT_EQ(trace.substr(trace.size() - 26), std::string(25, ' ') + "\n");
  EXPECT_EQ(Csv(f), "17,'2026-12-07',50709123,384,0,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL\n");
  EXPECT_EQ(Sql(f), "INSERT can_log(counter,timestamp,can_id) VALUES(17,1796652309123,384);");
  EXPECT_EQ(Http(f), "counter=17&timestamp=1796652309123&can_id=384");
}

KCanFrame WithId(uint32_t id, int len, int days = 9837) {
  KCanFrame f = Example();
  f.mId = id;
  f.mLen = len;
  f.mDays = days;
  return f;
}

// candump log lines, as can-utils write them: every flag visible in the
// identifier's width and the "R", the time in seconds and microseconds.
TEST(FrameText, CandumpLines) {
  const struct {
    KCanFrame mFrame;
    const char* mIface;
    int mMicro;
    const char* mLine;
  } cases[] = {
      {Example(), "can0", 0, "(1796652309.123000) can0 180#3100FA000C\n"},
      {WithId(0x18DB33F1u | KCanFrame::cExtendedFlag, 0), "can0", 456,
       "(1796652309.123456) can0 18DB33F1#\n"},
      {WithId(0x00000180u | KCanFrame::cExtendedFlag, 2), "ttyUSB0", 0,
       "(1796652309.123000) ttyUSB0 00000180#3100\n"},
      {WithId(0x123 | KCanFrame::cRemoteFlag, 4), "can0", 0, "(1796652309.123000) can0 123#R4\n"},
      {WithId(0x123 | KCanFrame::cRemoteFlag, 0), "can0", 0, "(1796652309.123000) can0 123#R\n"},
      {WithId(0x1ABCDEF0u | KCanFrame::cExtendedFlag | KCanFrame::cRemoteFlag, 8), "can0", 0,
       "(1796652309.123000) can0 1ABCDEF0#R8\n"},
      {WithId(0x20000004u, 3), "can0", 0, "(1796652309.123000) can0 20000004#3100FA\n"},
      // An identifier above 11 bits without the flag keeps all its bits.
      {WithId(0x12345, 0), "can0", 0, "(1796652309.123000) can0 00012345#\n"},
      // Before 2001-09-09 the seconds have nine digits: zero-padded.
      {WithId(0x7FF, 1, 0), "a b\t", 1000, "(0946735509.123999) a_b_ 7FF#31\n"},
      {WithId(0x7FF, 1, 0), "", 0, "(0946735509.123000) - 7FF#31\n"},
  };
  for (const auto& c : cases) {
    char line[cLineSize];
    FormatCandump(c.mFrame, c.mIface, line, sizeof(line), c.mMicro);
    EXPECT_STREQ(line, c.mLine);
  }
}

// A corrupt length never makes a formatter read past the eight data bytes.
TEST(FrameText, OutOfRangeLengthIsClamped) {
  KCanFrame f = Example();
  f.mLen = 200;
  EXPECT_EQ(Csv(f).find("NULL"), std::string::npos);
  EXPECT_NE(Trace(f).find(" [200] "), std::string::npos);
  EXPECT_NE(Sql(f).find(",d7) VALUES("), std::string::npos);
  f.mLen = -3;
  EXPECT_EQ(Http(f), "counter=17&timestamp=1796652309123&can_id=384");
}

// The longest line of every form fits the 256-character buffer; smaller
// buffers get a terminated prefix and nothing beyond.
TEST(FrameText, BoundedBySize) {
  KCanFrame f = Example();
  f.mLen = 8;
  f.mCounter = 0xFFFFFFFFu;
  f.mDays = -2147483647 - 1;
  f.mMs = -2147483647 - 1;
  f.mId = 0xFFFFFFFFu;
  f.mFlags = 0xFFFFFFFFu;
  std::memset(f.mData, 0xFF, 8);
  typedef void (*Former)(const KCanFrame&, char*, std::size_t);
  const Former formers[] = {
      [](const KCanFrame& fr, char* o, std::size_t s) { FormatFrame(fr, false, o, s); },
      [](const KCanFrame& fr, char* o, std::size_t s) { FormatFrame(fr, true, o, s); },
      [](const KCanFrame& fr, char* o, std::size_t s) { fr.FormMySqlInsert(o, s); },
      [](const KCanFrame& fr, char* o, std::size_t s) { fr.FormHttpVariables(o, s); },
      [](const KCanFrame& fr, char* o, std::size_t s) {
        FormatCandump(fr, std::string(KCanDriverDevSize - 1, 'x').c_str(), o, s, 999);
      },
  };
  for (Former form : formers) {
    char full[cLineSize + 64];
    form(f, full, sizeof(full));
    ASSERT_LT(std::strlen(full), static_cast<std::size_t>(cLineSize));
    for (std::size_t size : {std::size_t(1), std::size_t(2), std::size_t(17), std::size_t(64)}) {
      char out[cLineSize + 64];
      std::memset(out, '#', sizeof(out));
      form(f, out, size);
      EXPECT_EQ(std::string(out), std::string(full).substr(0, size - 1));
      for (std::size_t i = size; i < sizeof(out); ++i)
        ASSERT_EQ(out[i], '#');
    }
  }
}

} // namespace
