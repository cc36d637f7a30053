#include <gtest/gtest.h>

#include <string>

#include "KDownsampler.h"

namespace {

KCanFrame Frame(uint32_t id, int len, unsigned char d0, int day, int ms) {
  KCanFrame f;
  f.mId = id;
  f.mLen = len;
  f.mData[0] = d0;
  f.mDays = day;
  f.mMs = ms;
  return f;
}

TEST(KDownsampler, WritesChangesAndAtLeastEveryPeriod) {
  const uint32_t ext = KCanFrame::cExtendedFlag, rtr = KCanFrame::cRemoteFlag;
  struct {
    int every;
    uint32_t id;
    int len, d0, day, ms;
    bool kept;
  } steps[] = {
      {0, 0x123, 2, 1, 1, 0, true},         {0, 0x123, 2, 1, 1, 10, false},
      {0, 0x123, 2, 2, 1, 20, true},        {0, 0x123, 3, 2, 1, 30, true}, // data, length
      {0, 0x123, 3, 2, 5, 0, false},        {0, 0x123 | ext, 3, 2, 1, 40, true}, // kinds apart
      {0, 0x123 | rtr, 0, 0, 1, 70, true},  {0, 0x123 | rtr, 0, 0, 1, 80, true},
      {10, 0x100, 1, 7, 1, 1000, true},     {10, 0x100, 1, 7, 1, 10999, false},
      {10, 0x100, 1, 7, 1, 11000, true},    {10, 0x100, 1, 7, 1, 5000, true}, // clock back
      {10, 0x100, 1, 7, 1, 86399000, true}, {10, 0x100, 1, 7, 2, 8999, false}, // midnight
      {10, 0x100, 1, 7, 2, 9000, true},
  };
  KDownsampler changes(0), every10(10);
  for (const auto& s : steps) {
    SCOPED_TRACE(std::to_string(s.every) + " " + std::to_string(s.id) + " " + std::to_string(s.ms));
    KDownsampler& d = s.every == 0 ? changes : every10;
    EXPECT_EQ(d.Keep(Frame(s.id, s.len, static_cast<unsigned char>(s.d0), s.day, s.ms)), s.kept);
  }
  EXPECT_EQ(changes.LeftOut() + every10.LeftOut(), 4u);
}

TEST(KDownsampler, IdentifiersBeyondItsTableAreAlwaysWritten) {
  KDownsampler d(0);
  for (uint32_t i = 0; i <= KDownsampler::cMaxIdentifiers; ++i) {
    const KCanFrame f = Frame(KCanFrame::cExtendedFlag | (i * 4099), 1, 1, 1, 0);
    ASSERT_TRUE(d.Keep(f));
    ASSERT_EQ(d.Keep(f), i == KDownsampler::cMaxIdentifiers);
  }
}

} // namespace
