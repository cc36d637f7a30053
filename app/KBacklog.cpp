#include "KBacklog.h"

#include <algorithm>

#include "KSpool.h"

long long KBacklog::SpoolFrames() const { return mSpool != nullptr ? mSpool->Frames() : 0; }

void KBacklog::Queue(std::unique_ptr<KChunk> chunk) { mQueue.push_back(std::move(chunk)); }

void KBacklog::SpoolBehind(const KCanFrame* frames, long long count) {
  KeepWaiting();
  Spool(frames, count);
}

void KBacklog::Spool(const KCanFrame* frames, long long count) {
  long long dropped = 0;
  while (count > 0) {
    const int n = static_cast<int>(std::min<long long>(count, 1 << 20));
    long long d = 0, lost = 0; // reported by the spool
    mSpool->Append(frames, n, d, lost);
    dropped += d;
    frames += n;
    count -= n;
  }
  if (dropped == 0)
    return;
  // The dropped frames were the oldest: first those at the head that are
  // being delivered right now.
  if (mLive != nullptr && mLiveHandedOver) {
    mLiveHeadFrom = std::min(mLiveHeadFrom + dropped, static_cast<long long>(mLive->mFrames.size()));
  } else if (mPeeked > 0) {
    mPeekHead += dropped;
  }
}

long long KBacklog::KeepWaiting() {
  long long given = 0;
  if (mLive != nullptr && !mLiveHandedOver) {
    const long long from = mLiveDone;
    const long long n = static_cast<long long>(mLive->mFrames.size()) - from;
    mLiveHandedOver = true;
    mLiveHeadFrom = from;
    if (mSpool != nullptr)
      Spool(mLive->mFrames.data() + from, n);
    else
      given += n;
  }
  for (const std::unique_ptr<KChunk>& c : mQueue) {
    if (mSpool != nullptr)
      Spool(c->mFrames.data(), static_cast<long long>(c->mFrames.size()));
    else
      given += static_cast<long long>(c->mFrames.size());
  }
  mQueue.clear();
  return given;
}

std::unique_ptr<KBacklog::KChunk> KBacklog::StartLive() {
  if (mQueue.empty())
    return nullptr;
  std::unique_ptr<KChunk> chunk = std::move(mQueue.front());
  mQueue.pop_front();
  mLive = chunk.get();
  mLiveDone = 0;
  mLiveHandedOver = false;
  mLiveHeadFrom = 0;
  return chunk;
}

int KBacklog::LiveProgress(int done) {
  const int added = std::max(0, done - mLiveDone);
  mLiveDone = std::max(mLiveDone, done);
  return added;
}

long long KBacklog::EndLive(int done) {
  long long given = 0;
  const long long count = static_cast<long long>(mLive->mFrames.size());
  if (mLiveHandedOver) {
    // The rest went to the spool meanwhile (or was given up): what was
    // delivered since leaves it again.
    if (mSpool != nullptr)
      mSpool->Drop(std::max(0LL, done - mLiveHeadFrom));
  } else if (done < count) {
    if (mSpool != nullptr)
      Spool(mLive->mFrames.data() + done, count - done);
    else
      given = count - done;
  }
  mLive = nullptr;
  return given;
}

int KBacklog::StartSpooled(KCanFrame* frames, int max) {
  const int n = mSpool->Peek(frames, max);
  mPeeked = std::max(0, n);
  mPeekHead = 0;
  return n;
}

void KBacklog::SpooledProgress(int done) {
  // Frames the spool dropped to stay within its size meanwhile are gone
  // already.
  if (done > mPeekHead) {
    mSpool->Drop(done - mPeekHead);
    mPeekHead = done;
  }
}

void KBacklog::LeakQueue() {
  for (std::unique_ptr<KChunk>& c : mQueue)
    c.release();
}
