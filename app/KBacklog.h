// The frames of one forwarding output between the sampling loop and the far
// side: chunks waiting in memory, the chunk being delivered, and the spool
// behind them. It keeps every frame in exactly one of these places and in
// order — a chunk that waits on disk puts everything that waited in memory
// before it on disk first — and knows which spooled frames a delivery in
// progress has already sent, so that none is sent twice or dropped when the
// spool moves under it (the delivered part leaves the spool; frames the spool
// dropped to stay within its size are not dropped again).
//
// Not locked itself: the forwarder calls it under its own lock. The chunk
// being delivered belongs to the delivery thread while it delivers.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "NCanUtils.h"

class KSpool;

class KBacklog {
public:
  struct KChunk {
    std::vector<KCanFrame> mFrames;
    bool mEndOfPeriod = false;
  };

  // `spool` may be null; it must outlive the backlog.
  explicit KBacklog(KSpool* spool) : mSpool(spool) {}
  KBacklog(const KBacklog&) = delete;
  KBacklog& operator=(const KBacklog&) = delete;

  bool HasSpool() const { return mSpool != nullptr; }
  long long SpoolFrames() const;
  // Chunks waiting in memory.
  int Queued() const { return static_cast<int>(mQueue.size()); }
  bool Delivering() const { return mLive != nullptr; }
  // A delivery is in progress or chunks wait in memory.
  bool Busy() const { return mLive != nullptr || !mQueue.empty(); }

  // The sampling side. A chunk waits in memory, behind the others.
  void Queue(std::unique_ptr<KChunk> chunk);
  // Frames that wait on disk, behind everything that waits already (what
  // waits in memory goes to the spool first). Needs a spool.
  void SpoolBehind(const KCanFrame* frames, long long count);
  // Everything waiting in memory — the rest of the delivery in progress
  // and the queued chunks — goes to the spool. Without a spool it is given
  // up instead: the number of those frames is returned for the caller to
  // report (a delivery in progress goes on, but what it sends from now on
  // is not counted again).
  long long KeepWaiting();

  // The delivery side. The oldest queued chunk becomes the delivery in
  // progress; null when none waits.
  std::unique_ptr<KChunk> StartLive();
  // The far side has taken the first `done` frames of it; returns how many
  // of them are new.
  int LiveProgress(int done);
  // It ended after `done` frames. Its delivered part leaves the spool if the
  // rest was moved there meanwhile; a rest still in memory goes to the
  // spool. Returns the frames neither delivered nor kept (no spool).
  long long EndLive(int done);
  // Copies up to `max` frames from the spool's head for delivery.
  int StartSpooled(KCanFrame* frames, int max);
  // The first `done` of them are delivered: they leave the spool.
  void SpooledProgress(int done);
  void EndSpooled() { mPeeked = 0; }

  // Left to a delivery thread that may still read them: not freed.
  void LeakQueue();

private:
  // Appends to the spool and keeps the head bookkeeping right when the
  // spool had to drop its oldest frames.
  void Spool(const KCanFrame* frames, long long count);

  KSpool* mSpool;
  std::deque<std::unique_ptr<KChunk>> mQueue;
  KChunk* mLive = nullptr;      // owned by the delivery thread while it delivers
  int mLiveDone = 0;
  bool mLiveHandedOver = false; // its rest moved to the spool (or given up)
  // Position in it of the spool's first frame; its end when the spool
  // dropped all of its rest.
  long long mLiveHeadFrom = 0;
  int mPeeked = 0;              // spooled frames being delivered
  long long mPeekHead = 0;      // position in the peek of the spool's head
};
