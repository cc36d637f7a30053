#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NCanUtils.h"

namespace {

KCanFrame Make(uint32_t id, std::vector<unsigned char> data) {
  KCanFrame f;
  f.mId = id;
  f.mLen = static_cast<int>(data.size());
  for (size_t i = 0; i < data.size() && i < 8; ++i)
    f.mData[i] = data[i];
  return f;
}

TEST(KCanFrame, DefaultIsAllZero) {
  KCanFrame f;
  unsigned char zero[sizeof(KCanFrame)] = {};
  EXPECT_EQ(std::memcmp(&f, zero, sizeof(f)), 0);
  f.mCounter = 5;
  f.mData[7] = 9;
  f.Init();
  EXPECT_EQ(std::memcmp(&f, zero, sizeof(f)), 0);
}

TEST(KCanFrame, ShortAndLongIds) {
  struct {
    unsigned short longId;
    unsigned char shortId;
  } cases[] = {{0x301, 0x61}, {0x680, 0xD0}, {0x180, 0x30}, {0x000, 0x00}, {0x78F, 0xFF}};
  for (const auto& c : cases) {
    EXPECT_EQ(KCanFrame::ShortId(c.longId), c.shortId) << std::hex << c.longId;
    EXPECT_EQ(KCanFrame::LongId(c.shortId), c.longId) << std::hex << int(c.shortId);
  }
  EXPECT_EQ(KCanFrame::ShortId(0x3F1), 0x71); // bits 4..6 dropped
  KCanFrame f = Make(0x80000301u, {});
  EXPECT_EQ(f.GetShortId(), 0x61);
  f.SetLongId(0xD0);
  EXPECT_EQ(f.mId, 0x680u); // flag bits cleared
}

TEST(KCanFrame, InitElsterFrame) {
  KCanFrame f;
  f.mCounter = 99;
  f.InitElsterFrame(0x680, 0x180, 0x000C);
  EXPECT_EQ(f.mId, 0x680u);
  EXPECT_EQ(f.mLen, 5);
  EXPECT_EQ(f.mCounter, 0u);
  const unsigned char expected[8] = {0x31, 0x00, 0xFA, 0x00, 0x0C, 0, 0, 0};
  EXPECT_EQ(std::memcmp(f.mData, expected, 8), 0);
  f.InitElsterFrame(0x680, 0x30C, 0x1234);
  EXPECT_EQ(f.mData[0], 0x61);
  EXPECT_EQ(f.mData[1], 0x04);
  EXPECT_EQ(f.Index(), 0x1234);
  EXPECT_EQ(f.Value(), 0x1234); // a read request yields its index as value
  EXPECT_EQ(f.ReceiverId(), 0x304); // only three receiver bits are written
  EXPECT_EQ(f.ShortReceiverId(), 0x64);
}

TEST(KCanFrame, ValueAndIndexByLength) {
  struct {
    std::vector<unsigned char> data;
    int value;
    int index;
  } cases[] = {
      {{}, 0, -1},
      {{0x11}, 0, -1},
      {{0x11, 0x22}, 0x1122, -1},
      {{0x31, 0x00, 0x0C, 0x01, 0x02}, 0x0102, 0x0C},
      {{0x31, 0x00, 0xFA, 0x01, 0x02}, 0x0102, 0x0102},
      {{0x31, 0x00, 0x0C, 0x01, 0x02, 0x03}, 0x0203, 0x0C},
      {{0x31, 0x00, 0xFA, 0x01, 0x02, 0x03, 0x04}, 0x0304, 0x0102},
      {{0x31, 0x00, 0x0C, 0x01, 0x02, 0x03, 0x04}, 0x0102, 0x0C},
      {{1, 2, 3, 4, 5, 6, 7, 8}, 0, -1},
  };
  for (const auto& c : cases) {
    KCanFrame f = Make(0x180, c.data);
    SCOPED_TRACE(c.data.size());
    EXPECT_EQ(f.Value(), c.value);
    EXPECT_EQ(f.Index(), c.index);
  }
}

TEST(KCanFrame, SetValue) {
  KCanFrame f = Make(0x180, {0x31, 0x00, 0xFA, 0x00, 0x0C});
  EXPECT_TRUE(f.SetValue(0xBEEF));
  EXPECT_EQ(f.mLen, 7);
  EXPECT_EQ(f.Value(), 0xBEEF);
  EXPECT_EQ(f.Index(), 0x000C);

  KCanFrame g = Make(0x180, {0x31, 0x00, 0x0C, 0x00, 0x00});
  EXPECT_TRUE(g.SetValue(0x1234));
  EXPECT_EQ(g.mLen, 5);
  EXPECT_EQ(g.Value(), 0x1234);

  for (int len : {0, 4, 6, 8}) {
    KCanFrame h = Make(0x180, std::vector<unsigned char>(len, 0xFA));
    KCanFrame before = h;
    EXPECT_FALSE(h.SetValue(1)) << len;
    EXPECT_EQ(std::memcmp(&h, &before, sizeof(h)), 0);
  }
}

TEST(KCanFrame, Supported) {
  EXPECT_TRUE(Make(0x180, {0x80, 0x00}).Supported()); // shorter than 5: always
  EXPECT_TRUE(Make(0x180, {}).Supported());
  EXPECT_FALSE(Make(0x180, {0x31, 0x00, 0x0C, 0x80, 0x00}).Supported());
  EXPECT_TRUE(Make(0x180, {0x31, 0x00, 0x0C, 0x80, 0x01}).Supported());
}

TEST(KCanFrame, EqualData) {
  KCanFrame a = Make(0x100, {1, 2, 3});
  KCanFrame b = Make(0x200, {1, 2, 3});
  b.mData[5] = 9; // beyond the length: ignored
  b.mCounter = 7;
  EXPECT_TRUE(a.EqualData(b));
  b.mData[2] = 4;
  EXPECT_FALSE(a.EqualData(b));
  EXPECT_FALSE(a.EqualData(Make(0x100, {1, 2})));
}

TEST(KCanFrame, IsAnswerAndChanged) {
  // Request from 0x680 to group 3 (0x180); answer from 0x180 to group 13.
  KCanFrame request;
  request.InitElsterFrame(0x680, 0x180, 0x000C);
  KCanFrame answer = Make(0x180, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0x01, 0x2C});
  EXPECT_TRUE(answer.IsAnswer(request));
  EXPECT_TRUE(request.IsAnswer(answer));
  KCanFrame other = Make(0x300, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0x01, 0x2C});
  EXPECT_FALSE(other.IsAnswer(request));

  // Changed() is true when an answer carries the same value as the frame
  // it is compared with.
  EXPECT_FALSE(answer.Changed(request)); // 0x012C against 0x000C
  KCanFrame request2 = request;
  request2.SetValue(0x012C); // now 7 bytes with the same value as the answer
  EXPECT_TRUE(answer.Changed(request2));
  EXPECT_FALSE(Make(0x180, {0xD2, 0x00, 0x0C}).Changed(request)); // too short
}

TEST(KCanFrame, GetDataFromStream) {
  struct {
    const char* text;
    bool ok;
    std::vector<unsigned char> data;
  } cases[] = {
      {"", true, {}},
      {"31 00 fa", true, {0x31, 0x00, 0xFA}},
      {"31.00.FA", true, {0x31, 0x00, 0xFA}},
      {"3100fa0c", true, {0x31, 0x00, 0xFA, 0x0C}},
      {"  01 02  \r\n", true, {0x01, 0x02}},
      {"01\n", true, {0x01}},
      {"01 2 03", false, {0x01}},
      {"0x01", false, {}},
      {"01 02 03 04 05 06 07 08 09", false, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"01 02 03 04 05 06 07 08", true, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"1", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    KCanFrame f;
    std::memset(f.mData, 0xEE, 8);
    f.mId = 0x123;
    EXPECT_EQ(f.GetDataFromStream(c.text), c.ok);
    ASSERT_EQ(f.mLen, static_cast<int>(c.data.size()));
    for (size_t i = 0; i < c.data.size(); ++i)
      EXPECT_EQ(f.mData[i], c.data[i]) << i;
    for (size_t i = c.data.size(); i < 8; ++i)
      EXPECT_EQ(f.mData[i], 0xEE) << "byte " << i << " must keep its old value";
    EXPECT_EQ(f.mId, 0x123u);
  }
  KCanFrame f;
  EXPECT_FALSE(f.GetDataFromStream(nullptr));
  EXPECT_EQ(f.mLen, 0);
}

} // namespace
