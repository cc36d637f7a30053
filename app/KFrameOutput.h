// One forwarding output: the far side that frames are delivered to (a
// database, a web server). The forwarder (KForwarder) hands it frames in
// order and keeps, in one place for every output, what it does not take: the
// spool, the retries and the counts.
#pragma once

#include <cstddef>

#include "NCanUtils.h"

class KFrameOutput {
public:
  enum TDeliveryEnum {
    dlTaken,       // the far side has them (those it refused are counted in mRefused)
    dlUnreachable, // not reached, no answer, or an answer that came too late
    dlRefused      // the far side said no to these frames: sending them again would not help
  };
  struct KDelivery {
    TDeliveryEnum mResult = dlTaken;
    // Frames from the start that are done with: taken, or refused and
    // reported. With dlUnreachable the frames from mDone on were not taken.
    int mDone = 0;
    // Of the done frames, those the far side refused.
    int mRefused = 0;
    // The output could not even connect (its start-up test would fail).
    bool mConnectFailed = false;
  };

  virtual ~KFrameOutput() = default;

  // Short name for the console: "mysql", "HTTP PUT", "HTTP requests".
  virtual const char* Name() const = 0;
  // Where the frames go, for the start-up line "output: <text>".
  virtual void Describe(char* out, std::size_t size) const = 0;
  // Delivers frames from the start, as many as one exchange with the far
  // side takes (at least one when it works): mDone tells how many.
  virtual KDelivery Deliver(const KCanFrame* frames, int count) = 0;
  // Why the last delivery failed, for the console ("HTTP 403 Forbidden").
  virtual void FailureText(char* out, std::size_t size) const = 0;
  // Nothing to deliver for now: closes what needs no keeping open (the
  // database connection lives from a period's first delivery to here).
  virtual void Idle() {}
  // While the far side is known to be away, retries print nothing.
  virtual void SetQuiet(bool quiet) = 0;
  // Frames that cannot be delivered are kept for later (a spool), so the
  // output need not report them as lost.
  virtual void SetKept(bool /*kept*/) {}
  // A descriptor that, once readable, ends any exchange in progress at once.
  virtual void SetStopEvent(int /*fd*/) {}
  // Without a place to keep frames, a far side that cannot be reached ends
  // the run (a database), or only costs the frames (a web server).
  virtual bool UnreachableEndsRun() const { return false; }
  // Frames handed to one Deliver call at most.
  virtual int MaxBatch() const { return 1000; }
  // Frames the sampling loop hands over at once while a period drains (and
  // at its end, fewer).
  virtual int ChunkFrames() const { return 4096; }
};
