// KComfortFrame: its text both ways, the acknowledgement frames, the
// conversions to and from CAN frames, and the message types.
#include <gtest/gtest.h>

#include <string>

#include "NCanUtils.h"

namespace {

using Bytes = std::vector<unsigned char>;

KComfortFrame Frame(const Bytes& bytes) {
  KComfortFrame f;
  for (int i = 0; i < KComfortFrame::cSize; ++i)
    f.mData[i] = bytes.at(static_cast<std::size_t>(i));
  return f;
}

Bytes BytesOf(const KComfortFrame& f) { return Bytes(f.mData, f.mData + KComfortFrame::cSize); }

std::string Text(const KComfortFrame& f) {
  char text[KComfortFrame::cTextSize];
  f.SetToString(text, sizeof(text));
  return text;
}

const Bytes cInit = {0x0D, 0x00, 0x0D, 0x01, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x26};

TEST(KComfortFrame, InitFrameTextAndType) {
  EXPECT_EQ(BytesOf(KComfortFrame::InitFrame), cInit);
  EXPECT_EQ(Text(KComfortFrame::InitFrame), "0d000d01000b000000000026");
  EXPECT_EQ(KComfortFrame::InitFrame.GetMsgType(), 0);
  EXPECT_TRUE(KComfortFrame::InitFrame.CheckSum());
  // A buffer too small for the text gets whole byte pairs, terminated.
  char small[6] = "xxxxx";
  KComfortFrame::InitFrame.SetToString(small, sizeof(small));
  EXPECT_STREQ(small, "0d00");
}

TEST(KComfortFrame, FromStringTable) {
  struct Case {
    const char* text;
    bool checksumMayBeMissing;
    bool result;
  } cases[] = {
      {"0d000d01000b000000000026", false, true},
      {"0D 00.0D 01 00 0B..00  00 00 00 00 26\n", false, true}, // either case, blanks, dots
      {"0d000d01000b000000000026ffff", false, true},             // the rest is ignored
      {"0d000d01000b00000000", true, true},                      // checksum computed
      {"0d000d01000b00000000\n", true, true},
      {"0d 00 0d 01 00 0b 00 00 00 00", true, true},
      {"0d000d01000b00000000", false, false},
      {"0d000d01000b0000000000", true, false}, // eleven bytes
      {"0d000d01000b00000000002", true, false}, // 23 digits
      {"0d000d01000b00000000002", false, false},
      {"0d0 00d01000b000000000026", false, false}, // a blank inside a pair
      {"0d000d01000b0000000000-26", false, false},
      {"", true, false},
      {nullptr, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    KComfortFrame f = Frame(Bytes(12, 0x77));
    EXPECT_EQ(f.SetFromString(c.text, c.checksumMayBeMissing), c.result);
    if (c.result) {
      EXPECT_EQ(BytesOf(f), cInit);
    }
  }
  // Bytes read before a failure stay in the frame.
  KComfortFrame f = Frame(Bytes(12, 0x77));
  EXPECT_FALSE(f.SetFromString("0102zz", false));
  EXPECT_EQ(BytesOf(f), Bytes({1, 2, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77}));
}

TEST(KComfortFrame, AcknowledgementFrames) {
  KComfortFrame f;
  f.SetOk(false);
  EXPECT_EQ(Text(f), "aaaaaaaaaaaaaaaaaaaa06a4");
  f.SetOk(true);
  EXPECT_EQ(Text(f), "55555555555555555555" "0352");
  f.SetInitOk();
  EXPECT_EQ(Text(f), "5555555555555555a51b0368");
  f.SetOkValue(0x12345); // 16 bits only, low byte first
  EXPECT_EQ(Text(f), "555555555555555545230310");
  EXPECT_TRUE(f.CheckSum());
  EXPECT_EQ(f.GetMsgType(), 3);
}

TEST(KComfortFrame, ToCanFrame) {
  KCanFrame can;
  can.mCounter = 9;
  can.mData[7] = 0xEE;
  EXPECT_TRUE(KComfortFrame::InitFrame.SetCanFrame(can));
  EXPECT_EQ(can.mId, 0x680u);
  EXPECT_EQ(can.mLen, 7);
  EXPECT_EQ(can.mCounter, 0u) << "the CAN frame starts afresh";
  EXPECT_EQ(Bytes(can.mData, can.mData + 8), Bytes({0xD1, 0x00, 0x0B, 0, 0, 0, 0, 0}));

  KComfortFrame wrongSum = KComfortFrame::InitFrame;
  wrongSum.mData[11] = 0x27;
  KCanFrame filled;
  EXPECT_FALSE(wrongSum.SetCanFrame(filled));
  EXPECT_EQ(filled.mId, 0x680u) << "filled all the same";

  KComfortFrame highGroup = KComfortFrame::InitFrame;
  highGroup.mData[0] = 0x1D;
  highGroup.SetCheckSum();
  EXPECT_FALSE(highGroup.SetCanFrame(filled));
  EXPECT_EQ(filled.mId, 0x680u) << "only the low nibble counts";
}

TEST(KComfortFrame, FromCanFrame) {
  struct Case {
    const char* name;
    uint32_t id;
    int len;
    Bytes data;
    bool result;
    Bytes comfort;
  } cases[] = {
      {"ReadRequest", 0x180, 5, {0x31, 0x00, 0xFA, 0x00, 0x0C}, true,
       {0x03, 0x00, 0x03, 0x01, 0x00, 0xFA, 0x00, 0x0C, 0x80, 0x08, 0x01, 0x95}},
      {"Answer", 0x680, 7, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0x01, 0x2C}, true,
       {0x0D, 0x00, 0x0D, 0x02, 0x00, 0xFA, 0x00, 0x0C, 0x01, 0x2C, 0x01, 0x4F}},
      {"ExtendedFlag", 0x80000180u, 7, {0x31, 0x00, 0xFA, 0x00, 0x0C, 0, 0}, false,
       {0x03, 0x00, 0x03, 0x01, 0x00, 0xFA, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x0D}},
      {"EightBytes", 0x180, 8, {0x31, 0x00, 0xFA, 0x00, 0x0C, 0x11, 0x22, 0x33}, false,
       {0x03, 0x00, 0x03, 0x01, 0x00, 0xFA, 0x00, 0x0C, 0x11, 0x22, 0x01, 0x40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KCanFrame can;
    can.mId = c.id;
    can.mLen = c.len;
    for (std::size_t i = 0; i < c.data.size(); ++i)
      can.mData[i] = c.data[i];
    KComfortFrame f;
    EXPECT_EQ(f.GetCanFrame(can), c.result);
    EXPECT_EQ(BytesOf(f), c.comfort);
    if (c.len == 7 && c.result) {
      // And back: the same seven bytes.
      KCanFrame back;
      EXPECT_TRUE(f.SetCanFrame(back));
      EXPECT_EQ(back.mId, c.id);
      EXPECT_EQ(Bytes(back.mData, back.mData + 7), c.data);
    }
  }
}

TEST(KComfortFrame, MessageTypes) {
  struct Case {
    const char* name;
    Bytes bytes; // bytes 0 to 9; the checksum does not count
    int type;
  } cases[] = {
      {"ReadRequest", {0x0D, 0, 0x0D, 0x01, 0x00, 0xFA, 0, 0, 0, 0}, 1},
      {"ReadWithoutFaButGroup", {0x0D, 0, 0x03, 0x01, 0x00, 0x0B, 0, 0, 0, 0}, 1},
      {"ReadWithoutFaOrGroup", {0x0D, 0, 0x00, 0x01, 0x00, 0x0B, 0, 0, 0, 0}, 3},
      {"HighNibbleOfByte4", {0x0D, 0, 0x0D, 0x01, 0xC0, 0xFA, 0, 0, 0, 0}, 3},
      {"LowNibbleOfByte4", {0x0D, 0, 0x0D, 0x01, 0x0C, 0xFA, 0, 0, 0, 0}, 1},
      {"WriteRequest", {0x0D, 0, 0x03, 0x00, 0x00, 0xFA, 0, 0, 0, 0}, 2},
      {"WriteWithoutGroup", {0x0D, 0, 0x00, 0x00, 0x00, 0xFA, 0, 0, 0, 0}, 3},
      {"WriteWithoutFa", {0x0D, 0, 0x03, 0x00, 0x00, 0x0B, 0, 0, 0, 0}, 3},
      {"OtherSender", {0x03, 0, 0x0D, 0x01, 0x00, 0xFA, 0, 0, 0, 0}, 3},
      {"Answer", {0x0D, 0, 0x0D, 0x02, 0x00, 0xFA, 0, 0, 0, 0}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes all = c.bytes;
    all.resize(12, 0);
    KComfortFrame f = Frame(all);
    f.SetCheckSum();
    EXPECT_EQ(f.GetMsgType(), c.type);
  }
  KComfortFrame almostInit = KComfortFrame::InitFrame;
  almostInit.mData[11] = 0;
  EXPECT_EQ(almostInit.GetMsgType(), 1) << "the init frame is all twelve bytes";
}

} // namespace
