#include <gtest/gtest.h>

#include "KBusErrors.h"
#include "KCanFrame.h"

namespace {

TEST(KBusErrors, CountsEachFrameByItsClassesAndNamesTheAdaptersFlags) {
  struct {
    uint32_t classes;
    unsigned char ctrl;
    const char* line;
  } cases[] = {
      {0x004, 0x30, "bus errors: 1 error-passive"},  {0x004, 0x0C, "bus errors: 1 error-warning"},
      {0x004, 0x01, "bus errors: 1 RX overflow"},    {0x004, 0x02, "bus errors: 1 TX overflow"},
      {0x002, 0, "bus errors: 1 lost arbitration"},  {0x004, 0x00, "bus errors: 1 other"},
      {0x068, 0, "bus errors: 1 bus-off, 1 protocol violation, 1 no ACK"},
  };
  for (const auto& c : cases) {
    KBusErrors errors;
    KCanFrame f;
    f.mId = KCanFrame::cErrorFlag | c.classes;
    f.mLen = 8;
    f.mData[1] = c.ctrl;
    errors.Add(f);
    f.mId = c.classes; // a data frame counts nothing
    errors.Add(f);
    char line[256];
    errors.Format(line, sizeof(line));
    EXPECT_STREQ(line, c.line);
  }
  char line[256];
  KBusErrors::FormatAdapterStatus(0xAC, line, sizeof(line));
  EXPECT_STREQ(line, "adapter status: error warning, data overrun, error passive, bus error");
}

} // namespace
