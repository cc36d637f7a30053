#include "KRetryPolicy.h"

#include <algorithm>

KRetryPolicy::KRetryPolicy(int sampleTime, bool spooled)
    : mPeriodMs(std::max(1000LL, 1000LL * sampleTime)), mSpooled(spooled), mBackoffMs(cFirstRetryMs),
      mNextTryMs(0) {}

void KRetryPolicy::Failed(long long nowMs) {
  if (!mSpooled) {
    mNextTryMs = 0; // each new batch is tried as it comes
    return;
  }
  // At least once a period; the pause doubles up to a minute.
  mNextTryMs = nowMs + std::min<long long>(mBackoffMs, mPeriodMs);
  mBackoffMs = std::min(mBackoffMs * 2, static_cast<int>(cLongestRetryMs));
}

void KRetryPolicy::Succeeded() {
  mBackoffMs = cFirstRetryMs;
  mNextTryMs = 0;
}
