#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CandumpLog.h"

namespace {

TEST(CandumpLog, LineTable) {
  struct Case {
    const char* line;
    TCandumpLineEnum kind;
    uint32_t idWord;
    std::vector<unsigned char> data;
    long long unixMs;
  } cases[] = {
      {"(1796652309.123456) can0 180#3100FA000C\n", clFrame, 0x180, {0x31, 0x00, 0xFA, 0x00, 0x0C}, 1796652309123},
      {"(1796652309.999999) can0 18DB33F1#R\n", clFrame, 0xD8DB33F1u, {}, 1796652309999},
      {"(0.000001) vcan1 7FF#\n", clFrame, 0x7FF, {}, 0},
      {"(1.500000) can0 123#11.22.33 T\n", clFrame, 0x123, {0x11, 0x22, 0x33}, 1500},
      {"(1.000000) can0 20000004#0004000000000000\n", clFrame, 0x20000004, {0, 4, 0, 0, 0, 0, 0, 0}, 1000},
      {"(1.000000) can0 123##1DEAD\n", clSkip, 0, {}, 0},
      {"\n", clSkip, 0, {}, 0},
      {"(1.000000) can0 800#00\n", clBad, 0, {}, 0},
      {"(1.000000) can0 123#112233445566778899\n", clBad, 0, {}, 0},
      {"(1.000000) can0 12G#00\n", clBad, 0, {}, 0},
      {"(1.0) can0 123#00\n", clBad, 0, {}, 0},
      {"(1.000000) can0 123#0\n", clBad, 0, {}, 0},
      {"can0 123\n", clBad, 0, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    KCandumpFrame f;
    const char* why = "";
    ASSERT_EQ(ParseCandumpLine(c.line, f, why), c.kind) << why;
    if (c.kind != clFrame)
      continue;
    EXPECT_EQ(f.IdWord(), c.idWord);
    ASSERT_EQ(f.mLen, static_cast<int>(c.data.size()));
    EXPECT_EQ(std::vector<unsigned char>(f.mData, f.mData + f.mLen), c.data);
    EXPECT_EQ(f.UnixMs(), c.unixMs);
  }
}

TEST(CandumpLog, RemoteFrameWithLength) {
  KCandumpFrame f;
  const char* why = "";
  ASSERT_EQ(ParseCandumpLine("(2.250000) can0 7A5#R4", f, why), clFrame);
  EXPECT_TRUE(f.mRemote);
  EXPECT_EQ(f.mLen, 4);
  EXPECT_DOUBLE_EQ(f.Time(), 2.25);
}

} // namespace
