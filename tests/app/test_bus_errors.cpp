#include <gtest/gtest.h>

#include <string>

#include "KBusErrors.h"
#include "KCanFrame.h"

namespace {

KCanFrame ErrorFrame(uint32_t classes, unsigned char ctrl = 0) {
  KCanFrame f;
  f.mId = KCanFrame::cErrorFlag | classes;
  f.mLen = 8;
  f.mData[1] = ctrl;
  return f;
}

TEST(KBusErrors, CountsEachFrameByItsClasses) {
  struct {
    KCanFrame frame;
    const char* line;
  } cases[] = {
      {ErrorFrame(0x040), "bus errors: 1 bus-off"},
      {ErrorFrame(0x004, 0x10), "bus errors: 1 error-passive"},
      {ErrorFrame(0x004, 0x20), "bus errors: 1 error-passive"},
      {ErrorFrame(0x004, 0x04), "bus errors: 1 error-warning"},
      {ErrorFrame(0x004, 0x08), "bus errors: 1 error-warning"},
      {ErrorFrame(0x004, 0x01), "bus errors: 1 RX overflow"},
      {ErrorFrame(0x004, 0x02), "bus errors: 1 TX overflow"},
      {ErrorFrame(0x002), "bus errors: 1 lost arbitration"},
      {ErrorFrame(0x008), "bus errors: 1 protocol violation"},
      {ErrorFrame(0x020), "bus errors: 1 no ACK"},
      {ErrorFrame(0x010), "bus errors: 1 other"},
      {ErrorFrame(0x004), "bus errors: 1 other"}, // controller, no state given
      {ErrorFrame(0x068, 0x00), "bus errors: 1 bus-off, 1 protocol violation, 1 no ACK"},
      {ErrorFrame(0x004, 0x30), "bus errors: 1 error-passive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    KBusErrors errors;
    errors.Add(c.frame);
    KCanFrame data;
    data.mId = 0x040; // a data frame: no error
    errors.Add(data);
    char line[256];
    errors.Format(line, sizeof(line));
    EXPECT_STREQ(line, c.line);
  }
  KBusErrors errors;
  for (int i = 0; i < 3; ++i)
    errors.Add(ErrorFrame(0x020));
  EXPECT_EQ(errors.Count(KBusErrors::ceNoAck), 3u);
  errors.Clear();
  EXPECT_FALSE(errors.Any());
}

TEST(KBusErrors, AdapterStatusNamesTheFlagsSet) {
  struct {
    int flags;
    const char* line;
  } cases[] = {{0x00, ""},
               {0x0C, "adapter status: error warning, data overrun"},
               {0xA0, "adapter status: error passive, bus error"},
               {0x53, "adapter status: RX FIFO full, TX FIFO full, flag 0x10, arbitration lost"}};
  for (const auto& c : cases) {
    char line[256];
    KBusErrors::FormatAdapterStatus(c.flags, line, sizeof(line));
    EXPECT_STREQ(line, c.line);
  }
}

} // namespace
