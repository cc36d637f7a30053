#include <gtest/gtest.h>

#include <string>

#include "KCanFilter.h"
#include "KCanFrame.h"

namespace {

const uint32_t cExt = KCanFrame::cExtendedFlag;

TEST(KCanFilterList, KeepsWhatTheRulesKeepAndNamesABadItem) {
  struct {
    const char* list;
    uint32_t id;
    bool kept;
  } cases[] = {
      {"123:7FF", 0x123, true},
      {"123:7FF", 0x124, false},
      {"123:7FF", 0x123 | cExt, false}, // 3 digits: standard frames only
      {"123:7FF", 0x123 | KCanFrame::cRemoteFlag, true},
      {"00000123:1FFFFFFF", 0x123, false},
      {"18FEF100:1FFFFF00", 0x18FEF1AA | cExt, true},
      {"100:700", 0x2AB, false},
      {"123~7FF", 0x123, false},
      {"123~7FF", 0x123 | cExt, true},
      {"123~7FF,124~7FF", 0x123, true}, // any filter that matches keeps
      {"123:7FF", 0x040 | KCanFrame::cErrorFlag, true}, // error frames are never filtered
  };
  char bad[KCanFilterList::cItemTextSize];
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " id " + std::to_string(c.id));
    KCanFilterList list;
    ASSERT_TRUE(list.Parse(c.list, bad, sizeof(bad)));
    KCanFrame f;
    f.mId = c.id;
    EXPECT_EQ(list.Keeps(f), c.kept);
  }
  const char* refused[][2] = {{"", ""},         {"123:7FF,1234:7FF", "1234:7FF"}, {"123", "123"},
                              {"800:7FF", "800:7FF"}, {"123:7FG", "123:7FG"},     {"123:7FF,", ""},
                              {"20000000:0", "20000000:0"}, {"123:123456789", "123:123456789"}};
  for (const auto& r : refused) {
    KCanFilterList list;
    EXPECT_FALSE(list.Parse(r[0], bad, sizeof(bad))) << r[0];
    EXPECT_STREQ(bad, r[1]);
    EXPECT_TRUE(list.Empty());
  }
}

} // namespace
