#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "NCanUtils.h"

using namespace NCanUtils;

namespace {

struct IntCase {
  const char* text;
  bool ok;
  int value;     // expected value when `valueSet`
  bool valueSet; // false: the value must stay as it was
  int consumed;  // characters the cursor moves
};

TEST(GetInt, CursorFormTable) {
  const IntCase cases[] = {
      {"10", true, 10, true, 2},
      {"0x1A", true, 26, true, 4},
      {"0xffffffff", true, -1, true, 10},
      {"-12", true, -12, true, 3},
      {"007", true, 7, true, 3},
      {"12abc", true, 12, true, 2},
      {"0X1F", true, 0, true, 1}, // uppercase X is no prefix
      {"0x", false, 0, false, 2},
      {"0xg", false, 0, false, 2},
      {"-", false, 0, true, 1},
      {"", false, 0, true, 0},
      {" 5", false, 0, true, 0},
      {"+5", false, 0, true, 0},
      {"2147483647", true, INT_MAX, true, 10},
      {"-2147483648", true, INT_MIN, true, 11},
      // Documented 32-bit wrap, well defined: 2^32 + 10 and 2^31.
      {"4294967306", true, 10, true, 10},
      {"2147483648", true, INT_MIN, true, 10},
      {"0x10000003C", true, 60, true, 11},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    const char* p = c.text;
    int v = 4711;
    EXPECT_EQ(GetInt(p, v), c.ok);
    EXPECT_EQ(v, c.valueSet ? c.value : 4711);
    EXPECT_EQ(p - c.text, c.consumed);
  }
}

TEST(GetInt, CountingForm) {
  int v = 0;
  EXPECT_EQ(GetInt(v, "0x10"), 4);
  EXPECT_EQ(v, 16);
  EXPECT_EQ(GetInt(v, "-42;"), 3);
  EXPECT_EQ(v, -42);
  EXPECT_EQ(GetInt(v, "abc"), 0);
  EXPECT_EQ(GetInt(v, nullptr), 0);
}

TEST(GetHex, DigitsAndWrap) {
  const char* text = "123456789";
  const char* p = text;
  EXPECT_EQ(GetHex(p), 0x23456789);
  EXPECT_EQ(*p, 0);

  text = "xyz";
  p = text;
  EXPECT_EQ(GetHex(p), 0);
  EXPECT_EQ(p, text);

  text = "aBcD;";
  p = text;
  EXPECT_EQ(GetHex(p), 0xABCD);
  EXPECT_EQ(*p, ';');

  const char* null = nullptr;
  EXPECT_EQ(GetHex(null), 0);
}

TEST(GetHexByte, ExactlyTwoDigits) {
  struct {
    const char* text;
    bool ok;
    int value;
  } cases[] = {{"fF", true, 255}, {"00", true, 0}, {"7e1", true, 0x7E},
               {"1", false, 0},   {"1g", false, 0}, {"", false, 0}, {"g1", false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const char* p = c.text;
    unsigned char b = 0xA5;
    EXPECT_EQ(GetHexByte(p, b), c.ok);
    EXPECT_EQ(b, c.ok ? c.value : 0xA5);
    EXPECT_EQ(p - c.text, c.ok ? 2 : 0);
  }
}

TEST(HexDigits, WholeByteRange) {
  for (int i = 0; i < 256; ++i) {
    char c = static_cast<char>(i);
    int expected = -1;
    if (c >= '0' && c <= '9')
      expected = c - '0';
    else if (c >= 'a' && c <= 'f')
      expected = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      expected = c - 'A' + 10;
    EXPECT_EQ(GetHexDigit(c), expected) << "code " << i;
    EXPECT_EQ(IsHexDigit(c), expected >= 0) << "code " << i;
  }
}

} // namespace
