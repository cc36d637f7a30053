// When a forwarding output that did not reach its far side tries again:
// at once without a spool (each new batch is tried as it comes); with one,
// after a pause of 1 s that doubles up to a minute, but at least once a
// sample period. A delivery that reaches the far side starts over. Pure
// logic: the caller gives the time.
#pragma once

class KRetryPolicy {
public:
  enum : int { cFirstRetryMs = 1000, cLongestRetryMs = 60000 };

  // `sampleTime` in seconds bounds the pause; `spooled`: frames wait in a
  // spool while the far side is away.
  KRetryPolicy(int sampleTime, bool spooled);

  // A delivery at `nowMs` did not reach the far side.
  void Failed(long long nowMs);
  // One did.
  void Succeeded();
  // The time of the next attempt (0: at once).
  long long NextTryMs() const { return mNextTryMs; }
  bool Due(long long nowMs) const { return nowMs >= mNextTryMs; }

private:
  long long mPeriodMs;
  bool mSpooled;
  int mBackoffMs;
  long long mNextTryMs;
};
