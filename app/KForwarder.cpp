#include "KForwarder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/eventfd.h>
#include <unistd.h>

#include "KCanServer.h"
#include "KSpool.h"

namespace {

enum : int { cReasonSize = 256, cDescriptionSize = 600 };

} // namespace

KForwarder::KForwarder(KFrameOutput& output, KSpool* spool, KCanServer& server, int sampleTime)
    : mOutput(output), mSpool(spool), mServer(server), mSampleTime(sampleTime),
      mStopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mCurrent(new KChunk), mInflight(nullptr),
      mInflightDone(0), mInflightSpooled(false), mInflightHeadFrom(0), mInflightAtHead(0),
      mPeeked(0), mPeekDropped(0), mAway(false), mWasAway(false), mNextTryMs(0),
      mBackoffMs(cFirstRetryMs), mBacklogDelivered(0), mIdleDue(false), mStopping(false),
      mStopNow(false), mThreadDone(true), mFailed(false), mAbandoned(false) {
  mCurrent->mFrames.reserve(static_cast<std::size_t>(mOutput.ChunkFrames()));
  mOutput.SetStopEvent(mStopEvent);
  mOutput.SetKept(mSpool != nullptr);
}

KForwarder::~KForwarder() {
  if (mThread.joinable())
    Finish();
  // An abandoned thread may still use what it was given: nothing of it is
  // freed (the process ends right after).
  if (mAbandoned)
    return;
  delete mCurrent;
  for (KChunk* c : mQueue)
    delete c;
  if (mStopEvent >= 0)
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

void KForwarder::Start(bool away) {
  if (away) {
    char reason[cReasonSize];
    mOutput.FailureText(reason, sizeof(reason));
    GoneAway(reason);
  }
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

void KForwarder::Spool(const KCanFrame* frames, long long count) {
  long long dropped = 0, lost = 0;
  while (count > 0) {
    int n = static_cast<int>(std::min<long long>(count, 1 << 20));
    long long d = 0, l = 0;
    mSpool->Append(frames, n, d, l);
    dropped += d;
    lost += l;
    frames += n;
    count -= n;
  }
  if (dropped == 0)
    return;
  // The dropped frames were the oldest: first those at the head that are
  // being delivered right now.
  if (mInflight != nullptr && mInflightSpooled) {
    long long k = std::min(dropped, mInflightAtHead);
    mInflightAtHead -= k;
    mInflightHeadFrom += k;
  } else if (mPeeked > 0) {
    mPeekDropped = std::min<long long>(mPeeked, mPeekDropped + dropped);
  }
}

void KForwarder::CountLost(long long count, const char* reason) {
  if (count <= 0)
    return;
  std::printf("%s: %lld frames not forwarded\n", reason, count);
  std::fflush(stdout);
}

void KForwarder::Submit(bool endOfPeriod) {
  KChunk* chunk = mCurrent;
  chunk->mEndOfPeriod = endOfPeriod;
  std::unique_lock<std::mutex> lock(mLock);
  if (chunk->mFrames.empty()) {
    if (endOfPeriod) {
      mIdleDue = true;
      mWake.notify_all();
    }
    return;
  }
  if (mThreadDone || mFailed.load()) {
    // Nothing delivers any more (the run is ending).
    if (mSpool != nullptr)
      Spool(chunk->mFrames.data(), static_cast<long long>(chunk->mFrames.size()));
    else
      CountLost(static_cast<long long>(chunk->mFrames.size()), "output stopped");
    chunk->mFrames.clear();
    return;
  }
  mCurrent = new KChunk;
  mCurrent->mFrames.reserve(static_cast<std::size_t>(mOutput.ChunkFrames()));
  const bool busy = mInflight != nullptr || !mQueue.empty();
  if (mSpool != nullptr && (mAway || mSpool->Frames() > 0 || busy)) {
    // Whatever comes now waits its turn behind what waits already, on disk:
    // the delivery in progress, the queue, then this.
    KeepWaiting();
    Spool(chunk->mFrames.data(), static_cast<long long>(chunk->mFrames.size()));
    delete chunk;
  } else {
    // Without a spool a far side slower than the bus holds the loop up here
    // (the ring then takes the frames, and says so when it overflows).
    mRoom.wait(lock, [this] {
      return static_cast<int>(mQueue.size()) < cMaxQueued || mThreadDone || mFailed.load();
    });
    mQueue.push_back(chunk);
  }
  mWake.notify_all();
}

// Lock held.
void KForwarder::KeepWaiting() {
  if (mInflight != nullptr && !mInflightSpooled) {
    long long from = mInflightDone;
    long long n = static_cast<long long>(mInflight->mFrames.size()) - from;
    mInflightSpooled = true;
    mInflightHeadFrom = from;
    mInflightAtHead = n;
    if (mSpool != nullptr)
      Spool(mInflight->mFrames.data() + from, n);
  }
  for (KChunk* c : mQueue) {
    if (mSpool != nullptr) {
      Spool(c->mFrames.data(), static_cast<long long>(c->mFrames.size()));
    } else {
      char reason[cReasonSize];
      mOutput.FailureText(reason, sizeof(reason));
      CountLost(static_cast<long long>(c->mFrames.size()), reason[0] != 0 ? reason : "output stopped");
    }
    delete c;
  }
  mQueue.clear();
  mRoom.notify_all();
}

int KForwarder::DeliverFrames(const KCanFrame* frames, int count, bool live,
                              KFrameOutput::KDelivery& last) {
  int done = 0;
  const int batch = std::max(1, mOutput.MaxBatch());
  while (done < count) {
    {
      std::lock_guard<std::mutex> lock(mLock);
      if (mStopNow)
        break;
    }
    last = mOutput.Deliver(frames + done, std::min(batch, count - done));
    done += last.mDone;
    if (live) {
      std::lock_guard<std::mutex> lock(mLock);
      mInflightDone = done;
    }
    if (last.mResult == KFrameOutput::dlRefused && last.mDone > 0) {
      char reason[cReasonSize];
      mOutput.FailureText(reason, sizeof(reason));
      std::lock_guard<std::mutex> lock(mLock);
      CountLost(last.mDone, reason);
    }
    if (last.mResult == KFrameOutput::dlUnreachable || last.mDone <= 0)
      break;
  }
  return done;
}

void KForwarder::GoneAway(const char* reason) {
  if (!mAway) {
    if (mSpool != nullptr)
      std::printf("%s away: %s; frames are kept in the spool\n", mOutput.Name(), reason);
    else
      std::printf("%s away: %s\n", mOutput.Name(), reason);
    std::fflush(stdout);
    // Retries with a spool say nothing until the far side is back; without
    // one every attempt reports as it always did.
    if (mSpool != nullptr)
      mOutput.SetQuiet(true);
  }
  mAway = true;
  mWasAway = true;
  if (mSpool == nullptr) {
    mNextTryMs = 0; // each new batch is tried as it comes
    return;
  }
  // At least once a period; the pause doubles up to a minute.
  long long period = std::max(1000LL, 1000LL * mSampleTime);
  mNextTryMs = NowMs() + std::min<long long>(mBackoffMs, period);
  mBackoffMs = std::min(mBackoffMs * 2, static_cast<int>(cLongestRetryMs));
}

void KForwarder::CameBack() {
  mBackoffMs = cFirstRetryMs;
  mNextTryMs = 0;
  if (mAway && mSpool == nullptr) {
    std::printf("%s back\n", mOutput.Name());
    std::fflush(stdout);
    mWasAway = false;
  }
  if (mAway)
    mOutput.SetQuiet(false);
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
  KChunk* chunk = mQueue.front();
  mQueue.pop_front();
  mRoom.notify_all();
  mInflight = chunk;
  mInflightDone = 0;
  mInflightSpooled = false;
  mInflightHeadFrom = 0;
  mInflightAtHead = 0;
  const int count = static_cast<int>(chunk->mFrames.size());
  lock.unlock();
  KFrameOutput::KDelivery last;
  int done = DeliverFrames(chunk->mFrames.data(), count, true, last);
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  lock.lock();
  if (mInflightSpooled) {
    // Submit has put the rest into the spool meanwhile; what was delivered
    // since leaves it again.
    long long delivered = std::min(std::max(0LL, done - mInflightHeadFrom), mInflightAtHead);
    mSpool->Drop(delivered);
  }
  if (done < count) {
    if (mStopNow) {
      // the run is ending: no retries
    } else if (mSpool == nullptr && mOutput.UnreachableEndsRun() && last.mConnectFailed) {
      mFailed.store(true);
      mServer.Terminate();
    } else {
      GoneAway(reason);
    }
    if (mInflightSpooled) {
      // the rest waits in the spool already
    } else if (mSpool != nullptr) {
      Spool(chunk->mFrames.data() + done, count - done);
    } else {
      CountLost(count - done, mStopNow ? "stopped before delivery" : reason);
    }
  } else {
    CameBack();
  }
  if (chunk->mEndOfPeriod)
    mIdleDue = true;
  mInflight = nullptr;
  delete chunk;
}

void KForwarder::DeliverSpooled(std::unique_lock<std::mutex>& lock) {
  const int batch = std::max(1, mOutput.MaxBatch());
  if (static_cast<int>(mSpoolBuffer.size()) < batch)
    mSpoolBuffer.resize(static_cast<std::size_t>(batch));
  int n = mSpool->Peek(mSpoolBuffer.data(), batch);
  if (n <= 0)
    return;
  mPeeked = n;
  mPeekDropped = 0;
  lock.unlock();
  KFrameOutput::KDelivery last;
  int done = DeliverFrames(mSpoolBuffer.data(), n, false, last);
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  lock.lock();
  mSpool->Drop(std::max(0LL, done - mPeekDropped));
  mBacklogDelivered += done;
  mPeeked = 0;
  if (done < n) {
    if (!mStopNow)
      GoneAway(reason);
  } else {
    CameBack();
  }
}

void KForwarder::Run() {
  std::unique_lock<std::mutex> lock(mLock);
  for (;;) {
    if (mStopNow || mFailed.load())
      break;
    const long long now = NowMs();
    const bool spooled = mSpool != nullptr && mSpool->Frames() > 0;
    const bool due = now >= mNextTryMs;
    if (!mQueue.empty() && !spooled && (mSpool == nullptr || !mAway || due)) {
      DeliverLive(lock);
      continue;
    }
    // A stop still delivers what it can within its grace time, but does
    // not wait for a far side that is away.
    if (spooled && due && !(mStopping && mAway)) {
      DeliverSpooled(lock);
      continue;
    }
    if (mStopping && mQueue.empty() && (!spooled || mAway))
      break;
    if (mIdleDue && mQueue.empty()) {
      mIdleDue = false;
      lock.unlock();
      mOutput.Idle();
      lock.lock();
      continue;
    }
    if (spooled)
      mWake.wait_for(lock, std::chrono::milliseconds(std::max(1LL, mNextTryMs - now)));
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
  if (!mWake.wait_for(lock, std::chrono::milliseconds(cStopGraceMs), [this] { return mThreadDone; })) {
    mStopNow = true;
    uint64_t one = 1;
    if (mStopEvent >= 0 && write(mStopEvent, &one, sizeof(one)) != sizeof(one)) {
      // the flag alone ends it at the next step
    }
    mWake.notify_all();
    mWake.wait_for(lock, std::chrono::milliseconds(1500), [this] { return mThreadDone; });
  }
  // What did not reach the far side is kept for the next run, or counted.
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  long long before = mSpool != nullptr ? mSpool->Frames() : 0;
  if (mThreadDone && mInflight == nullptr) {
    for (KChunk* c : mQueue) {
      if (mSpool != nullptr)
        Spool(c->mFrames.data(), static_cast<long long>(c->mFrames.size()));
      else
        CountLost(static_cast<long long>(c->mFrames.size()), reason[0] != 0 ? reason : "stopped before delivery");
      delete c;
    }
    mQueue.clear();
  } else {
    // Stuck in a call that cannot be interrupted (a database library
    // waiting for a silent server): what it holds is kept or counted, and
    // the process ends without it.
    KeepWaiting();
    if (mSpool == nullptr && mInflight != nullptr)
      CountLost(static_cast<long long>(mInflight->mFrames.size()) - mInflightDone,
                "stopped before delivery");
    mAbandoned = true;
  }
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
