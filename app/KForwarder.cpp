#include "KForwarder.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "KCanServer.h"
#include "KSpool.h"
#include "Report.h"

namespace {

enum : int { cReasonSize = 256, cDescriptionSize = 600, cPathSize = 4200, cResendSize = 2048 };

} // namespace

KForwarder::KForwarder(KFrameOutput& output, KSpool* spool, KCanServer& server, int sampleTime)
    : mOutput(output), mSpool(spool), mServer(server),
      mStopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mCurrent(std::make_unique<KChunk>()), mInflight(nullptr),
      mInflightDone(0), mInflightSpooled(false), mInflightHeadFrom(0), mInflightAtHead(0),
      mPeeked(0), mPeekHead(0), mAway(false), mWasAway(false), mQuietRetries(false),
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
    for (std::unique_ptr<KChunk>& c : mQueue)
      c.release();
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
    mPeekHead += dropped;
  }
}

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
      Spool(mCurrent->mFrames.data(), static_cast<long long>(mCurrent->mFrames.size()));
    else
      CountLost(static_cast<long long>(mCurrent->mFrames.size()), "output stopped");
    mCurrent->mFrames.clear();
    return;
  }
  std::unique_ptr<KChunk> chunk = std::move(mCurrent);
  mCurrent = std::make_unique<KChunk>();
  mCurrent->mFrames.reserve(static_cast<std::size_t>(mOutput.ChunkFrames()));
  const bool busy = mInflight != nullptr || !mQueue.empty();
  if (mSpool != nullptr && (mAway || mSpool->Frames() > 0 || busy)) {
    // Whatever comes now waits its turn behind what waits already, on disk:
    // the delivery in progress, the queue, then this.
    KeepWaiting();
    Spool(chunk->mFrames.data(), static_cast<long long>(chunk->mFrames.size()));
  } else {
    // Without a spool a far side slower than the bus holds the loop up here
    // (the ring then takes the frames, and says so when it overflows).
    mRoom.wait(lock, [this] {
      return static_cast<int>(mQueue.size()) < cMaxQueued || mThreadDone || mFailed.load();
    });
    mQueue.push_back(std::move(chunk));
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
  for (const std::unique_ptr<KChunk>& c : mQueue) {
    if (mSpool != nullptr) {
      Spool(c->mFrames.data(), static_cast<long long>(c->mFrames.size()));
    } else {
      char reason[cReasonSize];
      mOutput.FailureText(reason, sizeof(reason));
      CountLost(static_cast<long long>(c->mFrames.size()), reason[0] != 0 ? reason : "output stopped");
    }
  }
  mQueue.clear();
  mRoom.notify_all();
}

bool KForwarder::AppendResendForm(const KCanFrame& frame) {
  const char* file = mOutput.ResendFile();
  if (file == nullptr)
    return true;
  char path[cPathSize];
  std::snprintf(path, sizeof(path), "%s/%s", mSpool->Dir(), file);
  // Its statements may hold a board's key: for the owner only.
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  struct stat st;
  const char* head = mOutput.ResendHead();
  const std::size_t headLength = fstat(fd, &st) == 0 && st.st_size == 0 ? std::strlen(head) : 0;
  char text[cResendSize];
  mOutput.ResendText(frame, text, sizeof(text));
  const std::size_t length = std::strlen(text);
  const bool written = write(fd, head, headLength) == static_cast<ssize_t>(headLength) &&
                       write(fd, text, length) == static_cast<ssize_t>(length) && fsync(fd) == 0;
  const int error = errno;
  close(fd);
  errno = error;
  return written;
}

void KForwarder::SetAside(const KCanFrame& frame) {
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  if (mSpool == nullptr) {
    std::printf("%s refused frame %u: %s; not forwarded\n", mOutput.Name(), frame.mCounter, reason);
    std::fflush(stdout);
    return;
  }
  // The refused frame goes, in candump form, to a file beside the spool,
  // from where it can be sent again once the cause is mended; it is on the
  // disk before it leaves the spool.
  char path[cPathSize];
  std::snprintf(path, sizeof(path), "%s/%s", mSpool->Dir(), cRejectedFile);
  const char* dev = mServer.GetDev();
  char line[cLineSize];
  NCanUtils::FormatCandump(frame, dev != nullptr && dev[0] != 0 ? dev : "can0", line, sizeof(line));
  const std::size_t length = std::strlen(line);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  bool written = fd >= 0 && write(fd, line, length) == static_cast<ssize_t>(length) && fsync(fd) == 0;
  const int error = errno;
  if (fd >= 0)
    close(fd);
  if (written)
    written = AppendResendForm(frame);
  if (written)
    std::printf("%s refused frame %u: %s; set aside in %s\n", mOutput.Name(), frame.mCounter, reason, path);
  else
    std::printf("%s refused frame %u: %s; %s not writable (%s): frame lost\n", mOutput.Name(),
                frame.mCounter, reason, path, std::strerror(error));
  std::fflush(stdout);
}

void KForwarder::Progress(int done, bool live) {
  std::lock_guard<std::mutex> lock(mLock);
  if (live) {
    mTaken += std::max(0, done - mInflightDone);
    mInflightDone = done;
    return;
  }
  // The spooled frames delivered leave the spool piece by piece, so that a
  // crash sends again at most the piece in progress. Frames the spool
  // dropped to stay within its size meanwhile are gone already.
  if (done > mPeekHead) {
    mSpool->Drop(done - mPeekHead);
    mPeekHead = done;
  }
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
  std::unique_ptr<KChunk> chunk = std::move(mQueue.front());
  mQueue.pop_front();
  mRoom.notify_all();
  mInflight = chunk.get();
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
  if (mInflightSpooled && mSpool != nullptr) {
    // Submit has put the rest into the spool meanwhile; what was delivered
    // since leaves it again. (Without a spool, a stop that gave up on this
    // delivery has counted its rest already.)
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
}

void KForwarder::DeliverSpooled(std::unique_lock<std::mutex>& lock) {
  // A piece at a time: at most cDrainPiece frames are peeked, and those
  // delivered leave the spool after every exchange.
  const int piece = std::max(1, std::min<int>(mOutput.MaxBatch(), cDrainPiece));
  if (static_cast<int>(mSpoolBuffer.size()) < piece)
    mSpoolBuffer.resize(static_cast<std::size_t>(piece));
  int n = mSpool->Peek(mSpoolBuffer.data(), piece);
  if (n <= 0)
    return;
  mPeeked = n;
  mPeekHead = 0;
  lock.unlock();
  KFrameOutput::KDelivery last;
  int done = DeliverFrames(mSpoolBuffer.data(), n, false, last);
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  lock.lock();
  mBacklogDelivered += done;
  mPeeked = 0;
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
  char reason[cReasonSize];
  mOutput.FailureText(reason, sizeof(reason));
  long long before = mSpool != nullptr ? mSpool->Frames() : 0;
  if (mThreadDone && mInflight == nullptr) {
    for (const std::unique_ptr<KChunk>& c : mQueue) {
      if (mSpool != nullptr)
        Spool(c->mFrames.data(), static_cast<long long>(c->mFrames.size()));
      else
        CountLost(static_cast<long long>(c->mFrames.size()), reason[0] != 0 ? reason : "stopped before delivery");
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
