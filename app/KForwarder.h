// Store and forward: the frames of one forwarding output travel from the
// sampling loop to the far side through here, on a delivery thread of their
// own, so that a slow or silent server never holds up the loop.
//
// The loop hands over frames as they are drained (Add) and at the end of
// every period (EndPeriod). The delivery thread gives them to the output in
// order. With a spool, whatever the far side does not take now (it is
// down, unreachable, silent) goes to the spool, and is delivered first, in
// order, once the far side is back; the live frames follow. Retries come at
// least once a sample period while the outage lasts, with a back-off from
// 1 s doubling up to a minute. Without a spool frames a web server does
// not take are counted as not forwarded, and a database that cannot be
// reached ends the run.
//
// Where the frames wait (memory, the delivery in progress, the spool) is
// KBacklog's business, when to try again KRetryPolicy's, refused frames
// KRejectedFrames'; this class runs the delivery thread between them and
// says on the console what happens: one line when the output goes away
// (with the reason), one when it is back (with the number of spooled frames
// delivered).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "FrameSink.h"
#include "KBacklog.h"
#include "KFrameOutput.h"
#include "KRetryPolicy.h"
#include "NCanUtils.h"

class KCanServer;
class KSpool;

class KForwarder : public KFrameSink {
public:
  enum : int {
    cMaxQueued = 8,         // chunks waiting without a spool before Add waits
    cStopGraceMs = 2000,    // a stop lets a delivery in progress finish this long
    cDrainPiece = 4096      // spooled frames peeked at once, and at most sent again after a crash
  };
  // `spool` may be null; both must outlive the forwarder. `sampleTime` in
  // seconds bounds the retry interval.
  KForwarder(KFrameOutput& output, KSpool* spool, KCanServer& server, int sampleTime);
  ~KForwarder() override;
  KForwarder(const KForwarder&) = delete;
  KForwarder& operator=(const KForwarder&) = delete;

  // Prints where the frames go ("output: ...") and what the spool holds
  // ("spool: ...").
  void PrintDestination() const;
  // Starts the delivery thread. With a spool it tries the far side first
  // (KFrameOutput::Test): wrong settings end the run (SettingsFailed), a far
  // side that does not answer is away and the frames go to the spool.
  void Start();
  // Sampling thread: one frame, in order.
  void Add(const KCanFrame& frame);
  // Sampling thread: the period's frames are all added.
  void EndPeriod() override;
  // As a sink of the sampling loop: Add.
  bool Take(const KCanFrame& frame, const char*) override {
    Add(frame);
    return true;
  }
  // Sampling thread, after the last period: delivers what is left (a
  // delivery may take cStopGraceMs; without a spool as long as the far side
  // takes frames within every cStopGraceMs), then keeps the rest in the
  // spool or reports it as not forwarded, and ends the delivery thread.
  void Finish();

  // The output failed in a way that ends the run (a database that cannot be
  // reached, without a spool).
  bool Failed() const override { return mFailed.load(); }
  // The delivery thread's test of the far side found wrong settings (the
  // reason printed): the run ends as a failed start-up test does.
  bool SettingsFailed() const { return mSettingsFailed.load(); }
  // The delivery thread was stuck in a call that could not be interrupted
  // and did not end: the process must end without waiting for it.
  bool Abandoned() const { return mAbandoned; }

private:
  using KChunk = KBacklog::KChunk;

  void Submit(bool endOfPeriod);
  // Frames that can neither be delivered nor kept: counted, one line.
  void CountLost(long long count, const char* reason);
  void Run();
  // Delivers frames in the output's batches; with `live` the progress is
  // published for Submit. Returns the frames done and the last delivery.
  int DeliverFrames(const KCanFrame* frames, int count, bool live, KFrameOutput::KDelivery& last);
  void DeliverLive(std::unique_lock<std::mutex>& lock);
  void DeliverSpooled(std::unique_lock<std::mutex>& lock);
  // Publishes delivery progress: live, for Submit; spooled, by dropping the
  // delivered frames from the spool.
  void Progress(int done, bool live);
  // A frame the far side refuses on its own: set aside beside the spool
  // (KRejectedFrames) or counted, with a console line. No lock held.
  void SetAside(const KCanFrame& frame);
  void TestFarSide();
  // After a delivery that did not reach the far side.
  void GoneAway(const char* reason);
  // After one that did.
  void CameBack();
  long long NowMs() const;

  KFrameOutput& mOutput;
  KSpool* mSpool;
  KCanServer& mServer;
  std::thread mThread;
  int mStopEvent; // readable once the stop's grace time is over

  // Sampling thread only.
  std::unique_ptr<KChunk> mCurrent;

  // Shared, under mLock.
  std::mutex mLock;
  std::condition_variable mWake;
  std::condition_variable mRoom; // a queued chunk was taken (no spool)
  KBacklog mBacklog;
  bool mAway;
  bool mWasAway;
  bool mQuietRetries; // delivery thread: the output's own reports dropped
  KRetryPolicy mRetry;
  long long mBacklogDelivered;
  bool mIdleDue;
  bool mStopping;
  bool mStopNow;
  bool mThreadDone;
  long long mTaken; // live frames the far side has taken
  std::atomic<bool> mFailed;
  std::atomic<bool> mSettingsFailed;
  char mAwayReason[256];
  bool mAbandoned;
  std::vector<KCanFrame> mSpoolBuffer; // delivery thread
};
