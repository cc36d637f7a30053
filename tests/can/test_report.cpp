#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "Report.h"

namespace {

std::string gKept;
void Keep(const char* text, std::size_t length) { gKept.append(text, length); }

} // namespace

// The application's writer gets every report whole, a long one cut with a
// mark; a silenced thread reports no failure while others still do, and
// its results still show.
TEST(Report, WriterGetsTheTextAndSilenceDropsOnlyItsThreadsFailures) {
  NReport::TWriter before = NReport::SetWriter(Keep);
  gKept.clear();
  NReport::Failure("socket error (%s) %d\n", "connect", 111);
  const std::string longName(3000, 'x');
  NReport::Print("serial port %s lost\n", longName.c_str());
  EXPECT_EQ(gKept.substr(0, 29), "socket error (connect) 111\nse");
  EXPECT_EQ(gKept.size(), 27u + NReport::cTextSize - 1);
  EXPECT_EQ(gKept.substr(gKept.size() - 5), "x...\n");

  gKept.clear();
  {
    NReport::KSilence outer;
    NReport::KSilence inner(false);
    NReport::Failure("dropped\n");
    std::thread other([] { NReport::Failure("other thread\n"); });
    other.join();
    {
      NReport::KSilence nested;
    }
    NReport::Failure("dropped too\n");
    NReport::Print("result: stored\n");
  }
  NReport::Failure("after\n");
  EXPECT_EQ(gKept, "other thread\nresult: stored\nafter\n");
  NReport::SetWriter(before);
}
