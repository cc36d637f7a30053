#include "KForwarder.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/eventfd.h>
#include <unistd.h>

#include "KCanServer.h"
#include "KSpool.h"
#include "RejectedFrames.h"
#include "Report.h"

namespace {

enum : int { cReasonSize = 256, cDescriptionSize = 600 };

} // namespace

KForwarder::KForwarder(KFrameOutput& output, KSpool* spool, KCanServer& server, int sampleTime)
    : mOutput(output), mSpool(spool), mServer(server),
      mStopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mCurrent(std::make_unique<KChunk>()),
      mBacklog(spool), mAway(false), mWasAway(false), mQuietRetries(false),
      mRetry(sampleTime, spool != nullptr), mBacklogDelivered(0), mIdleDue(false), mStopping(false),
      mStopNow(false), mThreadDone(true), mTaken(0), mFailed(false), mSettingsFailed(false),
      mAbandoned(false) {
  mAwayReason[0] = 0;
  mCurrent->mFrames.reserve(static_cast<std::size_t>(mOutput.ChunkFrames()));
  mOutput.SetStopEvent(mStopEvent);
  mOutput.SetKept(mSpool != nullptr);
}

KForwarder::~KForwarder() {
  if (mThread.joinable())
    Finish();
  // An abandoned thread may still use what it was given: nothing of it is
  // freed while it runs (the process ends right after); once it has ended,
  // only the output may still be in its last call, with the stop event.
  bool running = false;
  if (mAbandoned) {
    std::lock_guard<std::mutex> lock(mLock);
    running = !mThreadDone;
  }
  if (running) {
    // Left to the thread and to the end of the process.
    mCurrent.release();
    mBacklog.LeakQueue();
    return;
  }
  if (mStopEvent >= 0 && !mAbandoned)
    close(mStopEvent);
}

long long KForwarder::NowMs() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void KForwarder::PrintDestination() const {
  char description[cDescriptionSize];
  mOutput.Describe(description, sizeof(description));
  std::printf("output: %s\n", description);
  if (mSpool != nullptr) {
    std::printf("spool: %s (up to %lld MB)", mSpool->Dir(), mSpool->MaxBytes() >> 20);
    if (mSpool->Frames() > 0)
      std::printf(", %lld frames from an earlier run to deliver", mSpool->Frames());
    std::printf("\n");
  }
}

void KForwarder::Start() {
  std::fflush(stdout);
  mThreadDone = false;
  mThread = std::thread([this] { Run(); });
}

void KForwarder::Add(const KCanFrame& frame) {
  mCurrent->mFrames.push_back(frame);
  if (static_cast<int>(mCurrent->mFrames.size()) >= mOutput.ChunkFrames())
    Submit(false);
}

void KForwarder::EndPeriod() { Submit(true); }

void KForwarder::CountLost(long long count, const char* reason) {
  if (count <= 0)
    return;
  std::printf("%s: %lld frames not forwarded\n", reason, count);
  std::fflush(stdout);
}

void KForwarder::Submit(bool endOfPeriod) {
  mCurrent->mEndOfPeriod = endOfPeriod;
  std::unique_lock<std::mutex> lock(mLock);
  if (mCurrent->mFrames.empty()) {
    if (endOfPeriod) {
      mIdleDue = true;
      mWake.notify_all();
    }
    return;
  }
  if (mThreadDone || mFailed.load()) {
    // Nothing delivers any more (the run is ending).
    if (mSpool != nullptr)
      mBacklog.SpoolBehind(mCurrent->mFrames.data(), static_cast<long long>(mCurrent->mFrames.size()));
    else
      CountLost(static_cast<long long>(mCurrent->mFrames.size()), "output stopped");
    mCurrent->mFrames.clear();
    return;
  }
  std::unique_ptr<KChunk> chunk = std::move(mCurrent);
  mCurrent = std::make_unique<KChunk>();
  mCurrent->mFrames.reserve(static_cast<std::size_t>(mOutput.ChunkFrames()));
  if (mSpool != nullptr && (mAway || mSpool->Frames() > 0 || mBacklog.Busy())) {
    // Whatever comes now waits its turn behind what waits already, on disk:
    // the delivery in progress, the queue, then this.
    mBacklog.SpoolBehind(chunk->mFrames.data(), static_cast<long long>(chunk->mFrames.size()));
    mRoom.notify_all();
  } else {
    // Without a spool a far side slower than the bus holds the loop up here
    // (the ring then takes the frames, and says so when it overflows).
    mRoom.wait(lock, [this] { return mBacklog.Queued() < cMaxQueued || mThreadDone || mFailed.load(); });
    mBacklog.Queue(std::move(chunk));
  }
  mWake.notify_all();
}

void KForwarder::SetAside(const KCanFrame& frame) {
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  if (mSpool == nullptr) {
    std::printf("%s refused frame %u: %s; not forwarded\n", mOutput.Name(), frame.mCounter, reason);
  } else {
    const KRejectedFrames rejected(mSpool->Dir(), mServer.GetDev(), mOutput);
    if (rejected.Keep(frame))
      std::printf("%s refused frame %u: %s; set aside in %s\n", mOutput.Name(), frame.mCounter, reason,
                  rejected.Path());
    else
      std::printf("%s refused frame %u: %s; %s not writable (%s): frame lost\n", mOutput.Name(),
                  frame.mCounter, reason, rejected.Path(), std::strerror(errno));
  }
  std::fflush(stdout);
}

void KForwarder::Progress(int done, bool live) {
  std::lock_guard<std::mutex> lock(mLock);
  // The spooled frames delivered leave the spool piece by piece, so that a
  // crash sends again at most the piece in progress.
  if (live)
    mTaken += mBacklog.LiveProgress(done);
  else
    mBacklog.SpooledProgress(done);
}

int KForwarder::DeliverFrames(const KCanFrame* frames, int count, bool live,
                              KFrameOutput::KDelivery& last) {
  int done = 0;
  const int batch = std::max(1, mOutput.MaxBatch());
  // While a refused frame is looked for: batches of at most `limit` up to
  // `narrowEnd`, halved at every refusal.
  int limit = batch;
  int narrowEnd = 0;
  while (done < count) {
    {
      std::lock_guard<std::mutex> lock(mLock);
      if (mStopNow)
        break;
    }
    const int n = std::min(limit, count - done);
    {
      // What the output's libraries would report of a retry is said
      // already ("away: ...").
      NReport::KSilence silence(mQuietRetries);
      last = mOutput.Deliver(frames + done, n);
    }
    last.mDone = std::max(0, std::min(last.mDone, n));
    done += last.mDone;
    if (last.mResult == KFrameOutput::dlRefused && last.mDone < n) {
      const int span = std::max(1, std::min(last.mSpan, n - last.mDone));
      if (span == 1) {
        SetAside(frames[done]);
        ++done;
      } else {
        limit = (span + 1) / 2;
        narrowEnd = done + span;
      }
    }
    if (done >= narrowEnd)
      limit = batch;
    Progress(done, live);
    if (last.mResult == KFrameOutput::dlUnreachable || last.mResult == KFrameOutput::dlSettings)
      break;
    if (last.mResult == KFrameOutput::dlTaken && last.mDone <= 0)
      break;
  }
  return done;
}

void KForwarder::GoneAway(const char* reason) {
  if (mAway && std::strcmp(reason, mAwayReason) != 0) {
    // Still away, for another reason: said once more.
    std::printf("%s still away: %s\n", mOutput.Name(), reason);
    std::fflush(stdout);
  }
  std::snprintf(mAwayReason, sizeof(mAwayReason), "%s", reason);
  if (!mAway) {
    if (mSpool != nullptr)
      std::printf("%s away: %s; frames are kept in the spool\n", mOutput.Name(), reason);
    else
      std::printf("%s away: %s\n", mOutput.Name(), reason);
    std::fflush(stdout);
    // Retries with a spool say nothing until the far side is back; without
    // one every attempt reports as it always did.
    if (mSpool != nullptr)
      mQuietRetries = true;
  }
  mAway = true;
  mWasAway = true;
  mRetry.Failed(NowMs());
}

void KForwarder::CameBack() {
  mRetry.Succeeded();
  if (mAway && mSpool == nullptr) {
    std::printf("%s back\n", mOutput.Name());
    std::fflush(stdout);
    mWasAway = false;
  }
  if (mAway)
    mQuietRetries = false;
  mAway = false;
  if (mSpool != nullptr && mSpool->Frames() == 0 && mBacklogDelivered > 0) {
    std::printf("%s%s: %lld spooled frames delivered\n", mOutput.Name(), mWasAway ? " back" : "",
                mBacklogDelivered);
    std::fflush(stdout);
    mBacklogDelivered = 0;
    mWasAway = false;
  } else if (mSpool != nullptr && mSpool->Frames() == 0 && mWasAway) {
    std::printf("%s back: 0 spooled frames delivered\n", mOutput.Name());
    std::fflush(stdout);
    mWasAway = false;
  }
}

void KForwarder::DeliverLive(std::unique_lock<std::mutex>& lock) {
  std::unique_ptr<KChunk> chunk = mBacklog.StartLive();
  mRoom.notify_all();
  const int count = static_cast<int>(chunk->mFrames.size());
  lock.unlock();
  KFrameOutput::KDelivery last;
  int done = DeliverFrames(chunk->mFrames.data(), count, true, last);
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  lock.lock();
  // What was not delivered is kept in the spool, or given up. (A stop that
  // gave up on this delivery has counted its rest already.)
  const long long given = mBacklog.EndLive(done);
  if (done < count) {
    if (mStopNow) {
      // the run is ending: no retries
    } else if (mSpool == nullptr && mOutput.UnreachableEndsRun() && last.mConnectFailed) {
      mFailed.store(true);
      mServer.Terminate();
    } else {
      GoneAway(reason);
    }
    CountLost(given, mStopNow ? "stopped before delivery" : reason);
  } else {
    CameBack();
  }
  if (chunk->mEndOfPeriod)
    mIdleDue = true;
}

void KForwarder::DeliverSpooled(std::unique_lock<std::mutex>& lock) {
  // A piece at a time: at most cDrainPiece frames are peeked, and those
  // delivered leave the spool after every exchange.
  const int piece = std::max(1, std::min<int>(mOutput.MaxBatch(), cDrainPiece));
  if (static_cast<int>(mSpoolBuffer.size()) < piece)
    mSpoolBuffer.resize(static_cast<std::size_t>(piece));
  const int n = mBacklog.StartSpooled(mSpoolBuffer.data(), piece);
  if (n <= 0)
    return;
  lock.unlock();
  KFrameOutput::KDelivery last;
  int done = DeliverFrames(mSpoolBuffer.data(), n, false, last);
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  lock.lock();
  mBacklogDelivered += done;
  mBacklog.EndSpooled();
  if (done < n) {
    if (!mStopNow)
      GoneAway(reason);
  } else {
    CameBack();
  }
}

void KForwarder::TestFarSide() {
  const KFrameOutput::TDeliveryEnum kind = mOutput.Test();
  std::unique_lock<std::mutex> lock(mLock);
  if (kind == KFrameOutput::dlSettings) {
    // As a failed start-up test: the run ends with the settings' status.
    std::fflush(stdout);
    mSettingsFailed = true;
    mFailed.store(true);
    mServer.Terminate();
  } else if (kind != KFrameOutput::dlTaken) {
    char reason[cReasonSize];
    mOutput.FailureText(reason, sizeof(reason));
    GoneAway(reason);
  }
}

void KForwarder::Run() {
  // With a spool the far side is tried here, not before the capture.
  if (mSpool != nullptr)
    TestFarSide();
  std::unique_lock<std::mutex> lock(mLock);
  for (;;) {
    if (mStopNow || mFailed.load())
      break;
    const long long now = NowMs();
    const bool spooled = mSpool != nullptr && mSpool->Frames() > 0;
    const bool due = mRetry.Due(now);
    const bool queued = mBacklog.Queued() > 0;
    if (queued && !spooled && (mSpool == nullptr || !mAway || due)) {
      DeliverLive(lock);
      continue;
    }
    // A stop still delivers what it can within its grace time, but does
    // not wait for a far side that is away.
    if (spooled && due && !(mStopping && mAway)) {
      DeliverSpooled(lock);
      continue;
    }
    if (mStopping && !queued && (!spooled || mAway))
      break;
    if (mIdleDue && !queued) {
      mIdleDue = false;
      lock.unlock();
      mOutput.Idle();
      lock.lock();
      continue;
    }
    if (spooled)
      mWake.wait_for(lock, std::chrono::milliseconds(std::max(1LL, mRetry.NextTryMs() - now)));
    else
      mWake.wait(lock);
  }
  mThreadDone = true;
  mRoom.notify_all();
  mWake.notify_all();
  lock.unlock();
  mOutput.Idle();
}

void KForwarder::Finish() {
  if (!mThread.joinable())
    return;
  Submit(true);
  std::unique_lock<std::mutex> lock(mLock);
  mStopping = true;
  mWake.notify_all();
  // A delivery in progress may finish within the grace time; then anything
  // still going on is interrupted (the HTTP client watches mStopEvent).
  // Without a spool the frames have no other place: while the far side
  // keeps taking them (a slow database with a backlog) the grace time
  // starts again, and only one that takes nothing for that long is given up.
  bool ended = false;
  for (;;) {
    const long long taken = mTaken;
    ended = mWake.wait_for(lock, std::chrono::milliseconds(cStopGraceMs), [this] { return mThreadDone; });
    if (ended || mSpool != nullptr || mTaken == taken)
      break;
  }
  if (!ended) {
    mStopNow = true;
    uint64_t one = 1;
    if (mStopEvent >= 0 && write(mStopEvent, &one, sizeof(one)) != sizeof(one)) {
      // the flag alone ends it at the next step
    }
    mWake.notify_all();
    mWake.wait_for(lock, std::chrono::milliseconds(1500), [this] { return mThreadDone; });
  }
  // What did not reach the far side is kept for the next run, or counted.
  char reason[cReasonSize] = "stopped before delivery";
  const long long before = mBacklog.SpoolFrames();
  if (!mThreadDone || mBacklog.Delivering()) {
    // Stuck in a call that cannot be interrupted (a database library
    // waiting for a silent server): what it holds is kept or counted, and
    // the process ends without it.
    mAbandoned = true;
  } else {
    mOutput.FailureText(reason, sizeof(reason));
    if (reason[0] == 0)
      std::snprintf(reason, sizeof(reason), "stopped before delivery");
  }
  CountLost(mBacklog.KeepWaiting(), reason);
  if (mSpool != nullptr) {
    mSpool->SyncHead();
    if (mSpool->Frames() > before || (mSpool->Frames() > 0 && mAway))
      std::printf("spool: %lld frames kept for the next run\n", mSpool->Frames());
  }
  std::fflush(stdout);
  lock.unlock();
  if (mAbandoned)
    mThread.detach();
  else
    mThread.join();
}
