#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KDownsampler.h"

namespace {

struct KStep {
  uint32_t id;
  int len;
  unsigned char d0;
  int ms; // receive time within the day
  bool kept;
};

KCanFrame Frame(const KStep& s, int day = 9837) {
  KCanFrame f;
  f.mId = s.id;
  f.mLen = s.len;
  f.mData[0] = s.d0;
  f.mDays = day;
  f.mMs = s.ms;
  return f;
}

void Replay(int every, const std::vector<KStep>& steps) {
  KDownsampler d(every);
  uint32_t leftOut = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("every " + std::to_string(every) + ", step " + std::to_string(i));
    EXPECT_EQ(d.Keep(Frame(steps[i])), steps[i].kept);
    leftOut += steps[i].kept ? 0 : 1;
  }
  EXPECT_EQ(d.LeftOut(), leftOut);
}

const uint32_t cExt = KCanFrame::cExtendedFlag;

TEST(KDownsampler, WritesChangesAndAtLeastEveryPeriod) {
  // changes only
  Replay(0, {{0x123, 2, 1, 0, true},
          {0x123, 2, 1, 10, false},
          {0x123, 2, 2, 20, true},        // data changed
          {0x123, 3, 2, 30, true},        // length changed
          {0x123, 3, 2, 86000000, false}, // however long after
          {0x123 | cExt, 3, 2, 40, true}, // extended apart from standard
          {0x123 | cExt, 3, 2, 50, false},
          {0x124, 3, 2, 60, true},
          {0x123 | KCanFrame::cRemoteFlag, 0, 0, 70, true}, // remote: always
          {0x123 | KCanFrame::cRemoteFlag, 0, 0, 80, true},
          {0x020 | KCanFrame::cErrorFlag, 8, 0, 90, true}, // error: always
          {0x020 | KCanFrame::cErrorFlag, 8, 0, 95, true},
          {0x123, 3, 2, 99, false}});
  // changes, and every 10 s at least, counted from the last written frame
  Replay(10, {{0x123, 1, 7, 1000, true},
           {0x123, 1, 7, 10999, false},
           {0x123, 1, 7, 11000, true},
           {0x123, 1, 8, 12000, true},
           {0x123, 1, 8, 21999, false},
           {0x123, 1, 8, 22000, true},
           {0x123, 1, 8, 5000, true}}); // the clock went back: written
}

TEST(KDownsampler, TimeRunsOnAcrossMidnight) {
  KDownsampler d(10);
  KStep s = {0x100, 1, 1, 86395000, true};
  EXPECT_TRUE(d.Keep(Frame(s, 9837)));
  s.ms = 4000; // 9 s later, next day
  EXPECT_FALSE(d.Keep(Frame(s, 9838)));
  s.ms = 5000;
  EXPECT_TRUE(d.Keep(Frame(s, 9838)));
}

TEST(KDownsampler, IdentifiersBeyondItsTableAreAlwaysWritten) {
  KDownsampler d(0);
  KStep s = {0, 1, 1, 0, true};
  for (int i = 0; i < KDownsampler::cMaxIdentifiers; ++i) {
    s.id = cExt | static_cast<uint32_t>(i * 4099);
    ASSERT_TRUE(d.Keep(Frame(s)));
    ASSERT_FALSE(d.Keep(Frame(s)));
  }
  s.id = cExt | 0x1FFFFFFFu;
  EXPECT_TRUE(d.Keep(Frame(s)));
  EXPECT_TRUE(d.Keep(Frame(s)));
  EXPECT_EQ(d.LeftOut(), static_cast<uint32_t>(KDownsampler::cMaxIdentifiers));
}

} // namespace
