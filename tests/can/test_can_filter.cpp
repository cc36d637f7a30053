#include <gtest/gtest.h>

#include <string>

#include "KCanFilter.h"
#include "KCanFrame.h"

namespace {

KCanFrame Frame(uint32_t id) {
  KCanFrame f;
  f.mId = id;
  return f;
}

const uint32_t cExt = KCanFrame::cExtendedFlag;
const uint32_t cRtr = KCanFrame::cRemoteFlag;
const uint32_t cErr = KCanFrame::cErrorFlag;

TEST(KCanFilterList, KeepsWhatCandumpsRulesKeep) {
  struct {
    const char* list;
    uint32_t id;
    bool kept;
  } cases[] = {
      {"123:7FF", 0x123, true},
      {"123:7FF", 0x124, false},
      {"123:7FF", 0x123 | cExt, false}, // 3 digits: standard frames only
      {"123:7FF", 0x123 | cRtr, true},
      {"00000123:1FFFFFFF", 0x123 | cExt, true},
      {"00000123:1FFFFFFF", 0x123, false},
      {"100:700", 0x1AB, true},
      {"100:700", 0x2AB, false},
      {"123~7FF", 0x123, false},
      {"123~7FF", 0x124, true},
      {"123~7FF", 0x123 | cExt, true},
      {"123:7FF,200:7F0", 0x20F, true},
      {"123:7FF,200:7F0", 0x210, false},
      {"123~7FF,124~7FF", 0x123, true}, // any filter that matches keeps
      {"000:000", 0x7FF, true},
      {"000:000", 0x1FFFFFFF | cExt, false},
      {"123:7FF", 0x040 | cErr, true}, // error frames are never filtered
      {"18FEF100:1FFFFF00", 0x18FEF1AA | cExt, true},
      {"18FEF100:1FFFFF00", 0x18FEF2AA | cExt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " id " + std::to_string(c.id));
    KCanFilterList list;
    char bad[KCanFilterList::cItemTextSize];
    ASSERT_TRUE(list.Parse(c.list, bad, sizeof(bad)));
    EXPECT_EQ(list.Keeps(Frame(c.id)), c.kept);
  }
}

TEST(KCanFilterList, RefusesAndNamesTheBadItem) {
  struct {
    const char* list;
    const char* item;
  } cases[] = {
      {"", ""},           {"12:7FF", "12:7FF"},      {"123:7FF,1234:7FF", "1234:7FF"},
      {"123", "123"},     {"123:", "123:"},          {"800:7FF", "800:7FF"},
      {"123:7FG", "123:7FG"}, {"123:7FF,", ""},      {"20000000:0", "20000000:0"},
      {"123:123456789", "123:123456789"}, {"#FFFFFFFF", "#FFFFFFFF"}, {"j", "j"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    KCanFilterList list;
    char bad[KCanFilterList::cItemTextSize];
    EXPECT_FALSE(list.Parse(c.list, bad, sizeof(bad)));
    EXPECT_STREQ(bad, c.item);
    EXPECT_TRUE(list.Empty());
  }
  std::string many;
  for (int i = 0; i <= KCanFilterList::cMaxFilters; ++i)
    many += (i ? "," : "") + std::string("123:7FF");
  KCanFilterList list;
  char bad[KCanFilterList::cItemTextSize];
  EXPECT_FALSE(list.Parse(many.c_str(), bad, sizeof(bad)));
}

TEST(KCanFilterList, KernelFormCarriesTheKindAndTheInversion) {
  KCanFilterList list;
  char bad[KCanFilterList::cItemTextSize];
  ASSERT_TRUE(list.Parse("123~7FF,00000456:1FFFFFFF", bad, sizeof(bad)));
  uint32_t out[KCanFilterList::cMaxFilters][2];
  ASSERT_EQ(list.KernelFilters(out), 2);
  EXPECT_EQ(out[0][0], 0x123u | KCanFilterList::cInvertFlag);
  EXPECT_EQ(out[0][1], 0x7FFu | cExt);
  EXPECT_EQ(out[1][0], 0x456u | cExt);
  EXPECT_EQ(out[1][1], 0x1FFFFFFFu | cExt);
}

} // namespace
