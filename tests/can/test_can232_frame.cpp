#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NCanUtils.h"

namespace {

struct KDecodeCase {
  const char* mLine;
  bool mOk;
  uint32_t mId;
  int mLen;
  std::vector<unsigned char> mData;
};

TEST(KCan232Frame, DecodeTable) {
  const KDecodeCase cases[] = {
      {"t1230", true, 0x123, 0, {}},
      {"r1230", true, 0x40000123u, 0, {}},
      {"t7FF2A0B1", true, 0x7FF, 2, {0xA0, 0xB1}},
      {"t1232a0b1", true, 0x123, 2, {0xA0, 0xB1}},
      {"t00080102030405060708", true, 0x000, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"T18FEF1003112233", true, 0x98FEF100u, 3, {0x11, 0x22, 0x33}},
      {"T1FFFFFFF0", true, 0x9FFFFFFFu, 0, {}},
      {"R18FEF1002AABB", true, 0xD8FEF100u, 2, {0xAA, 0xBB}},
      // Remote lines as adapters send them: the length, no data pairs.
      {"r1232", true, 0x40000123u, 2, {0, 0}},
      {"r1238", true, 0x40000123u, 8, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"R18FEF1008", true, 0xD8FEF100u, 8, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"r123200", false, 0, 0, {}},         // neither no pairs nor all of them
      {"t1232", false, 0, 0, {}},           // a data frame needs its data
      {"t12311122", true, 0x123, 1, {0x11}}, // characters after the data are ignored
      // Extended identifiers have 29 bits; more would set a flag bit.
      {"T200000000", false, 0, 0, {}},
      {"T3FFFFFFF0", false, 0, 0, {}},
      {"R3FFFFFFF0", false, 0, 0, {}},
      {"T400000000", false, 0, 0, {}},
      {"t8000", false, 0, 0, {}},           // standard identifier above 0x7FF
      {"t7FF8A0B1", false, 0, 0, {}},       // fewer data pairs than the length says
      {"t1239", false, 0, 0, {}},           // length 9
      {"r1239", false, 0, 0, {}},           // length 9, as a remote frame ends
      {"t1239112233445566778899", false, 0, 0, {}}, // nine data pairs
      {"t123A", false, 0, 0, {}},           // length must be decimal
      {"t123", false, 0, 0, {}},            // no length
      {"t12G0", false, 0, 0, {}},
      {"T18FEF10", false, 0, 0, {}},        // identifier cut short
      {"t1231F", false, 0, 0, {}},          // half a data pair
      {"x1230", false, 0, 0, {}},
      {"z", false, 0, 0, {}},
      {"", false, 0, 0, {}},
      {"V1013", false, 0, 0, {}},
  };
  for (const auto& c : cases) {
    KCan232Frame line(c.mLine);
    EXPECT_EQ(line.IsOk(), c.mOk) << c.mLine;
    KCanFrame f;
    f.mCounter = 77;
    f.mDays = 5;
    f.mFlags = 3;
    EXPECT_EQ(line.SetCanFrame(f), c.mOk) << c.mLine;
    if (!c.mOk)
      continue;
    EXPECT_EQ(f.mId, c.mId) << c.mLine;
    ASSERT_EQ(f.mLen, c.mLen) << c.mLine;
    ASSERT_EQ(c.mData.size(), static_cast<size_t>(c.mLen)) << c.mLine;
    for (int i = 0; i < c.mLen; ++i)
      EXPECT_EQ(f.mData[i], c.mData[i]) << c.mLine << " byte " << i;
    for (int i = c.mLen; i < 8; ++i)
      EXPECT_EQ(f.mData[i], 0) << c.mLine << " byte " << i;
    // The frame is reset: time, counter and flags come from the driver.
    EXPECT_EQ(f.mCounter, 0u);
    EXPECT_EQ(f.mDays, 0);
    EXPECT_EQ(f.mMs, 0);
    EXPECT_EQ(f.mFlags, 0u);
  }
}

TEST(KCan232Frame, AssignmentKeepsPrintableCharactersUpTo31) {
  const struct {
    const char* mIn;
    std::string mText;
  } cases[] = {
      {"t123 1 ff\r\n", "t1231ff"},
      {"\tt12\x01" "30\x7f", "t1230\x7f"},
      {"", ""},
      {"   \r\n", ""},
      {"0123456789012345678901234567890123456789", "0123456789012345678901234567890"},
      {"\xC3\xA9t", "\xC3\xA9t"}, // bytes above 0x7F are above 0x20 as well
  };
  for (const auto& c : cases) {
    KCan232Frame line(c.mIn);
    EXPECT_EQ(std::string(line.mText), c.mText) << c.mIn;
  }
  KCan232Frame line("t1230");
  line = nullptr;
  EXPECT_STREQ(line.mText, "");
  // A 31-character line survives whole; its decode still ignores the tail.
  line = "t12380102030405060708AAAAAAAAAA";
  EXPECT_EQ(std::string(line.mText).size(), 31u);
  EXPECT_TRUE(line.IsOk());
}

KCanFrame Frame(uint32_t id, int len, std::vector<unsigned char> data) {
  KCanFrame f;
  f.mId = id;
  f.mLen = len;
  for (size_t i = 0; i < data.size() && i < 8; ++i)
    f.mData[i] = data[i];
  return f;
}

TEST(KCan232Frame, EncodeTable) {
  const struct {
    KCanFrame mFrame;
    const char* mText;
  } cases[] = {
      {Frame(0x123, 2, {0xA0, 0xB1}), "t1232A0B1"},
      {Frame(0x123, 0, {}), "t1230"},
      {Frame(0xC0000000u | 0x18FEF100u, 0, {}), "R18FEF1000"},
      {Frame(0x80000000u | 0x18FEF100u, 3, {0x11, 0x22, 0x33}), "T18FEF1003112233"},
      {Frame(0x40000123u, 2, {0, 0}), "r12320000"},
      {Frame(0x0000FFFFu, 1, {0x5A}), "t7FF15A"},         // standard keeps 11 bits
      {Frame(0xBFFFFFFFu, 0, {}), "T1FFFFFFF0"},          // extended keeps 29 bits
      {Frame(0xA0000001u, 0, {}), "T000000010"},          // never the error flag
      {Frame(0x7FF, 8, {1, 2, 3, 4, 5, 6, 7, 0xFF}), "t7FF801020304050607FF"},
      // Out-of-range lengths are clamped so that the line stays well formed.
      {Frame(0x100, 12, {1, 2, 3, 4, 5, 6, 7, 8}), "t10080102030405060708"},
      {Frame(0x100, -1, {}), "t1000"},
  };
  for (const auto& c : cases) {
    KCan232Frame line;
    EXPECT_TRUE(line.GetCanFrame(c.mFrame));
    EXPECT_STREQ(line.mText, c.mText);
    EXPECT_TRUE(line.IsOk()) << c.mText;
  }
}

TEST(KCan232Frame, EncodeDecodeRoundTrip) {
  // Every encodable identifier range, type and length survives the trip.
  const uint32_t ids[] = {0x000, 0x001, 0x7FF, 0x80000000u, 0x9FFFFFFFu, 0x80000800u, 0x8ABCDEF1u};
  for (uint32_t id : ids) {
    for (uint32_t rtr : {0u, 0x40000000u}) {
      for (int len = 0; len <= 8; ++len) {
        KCanFrame in;
        in.mId = id | rtr;
        in.mLen = len;
        for (int i = 0; i < len; ++i)
          in.mData[i] = static_cast<unsigned char>(0x11 * (i + 1) + len);
        KCan232Frame line;
        line.GetCanFrame(in);
        KCanFrame out;
        ASSERT_TRUE(line.SetCanFrame(out)) << line.mText;
        EXPECT_EQ(out.mId, in.mId) << line.mText;
        EXPECT_EQ(out.mLen, len);
        EXPECT_TRUE(out.EqualData(in)) << line.mText;
      }
    }
  }
}

} // namespace
