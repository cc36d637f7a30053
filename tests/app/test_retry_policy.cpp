// The pauses between attempts while a far side is away, step by step.
#include <gtest/gtest.h>

#include <vector>

#include "KRetryPolicy.h"

namespace {

struct KCase {
  const char* mName;
  int mSampleTime;
  bool mSpooled;
  std::vector<long long> mPauses; // next attempt after each failure at time 0
};

TEST(RetryPolicyTest, PausesDoubleUpToAMinuteAndAtMostAPeriod) {
  const KCase cases[] = {
      {"no spool: at once", 10, false, {0, 0, 0}},
      {"doubling to a minute", 3600, true, {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}},
      {"bounded by the period", 5, true, {1000, 2000, 4000, 5000, 5000}},
      {"sample time 0: a second", 0, true, {1000, 1000, 1000}},
  };
  for (const KCase& c : cases) {
    SCOPED_TRACE(c.mName);
    KRetryPolicy retry(c.mSampleTime, c.mSpooled);
    EXPECT_TRUE(retry.Due(0));
    for (long long pause : c.mPauses) {
      retry.Failed(100);
      EXPECT_EQ(retry.NextTryMs(), pause == 0 ? 0 : 100 + pause);
      EXPECT_EQ(retry.Due(100 + pause - 1), pause == 0);
      EXPECT_TRUE(retry.Due(100 + pause));
    }
    // Back: the next outage starts over.
    retry.Succeeded();
    EXPECT_TRUE(retry.Due(0));
    retry.Failed(0);
    EXPECT_EQ(retry.NextTryMs(), c.mSpooled ? 1000 : 0);
  }
}

} // namespace
