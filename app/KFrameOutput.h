// One forwarding output: the far side that frames are delivered to (a
// database, a web server). The forwarder (KForwarder) hands it frames in
// order and keeps, in one place for every output, what it does not take: the
// spool, the retries and the counts.
#pragma once

#include <cstddef>

#include "NCanUtils.h"

class KFrameOutput {
public:
  // Every answer of the far side is one of these. What is away is kept and
  // tried again; only a frame the far side refuses on its own is set aside.
  enum TDeliveryEnum {
    dlTaken,       // frames [0, mDone) are stored
    dlUnreachable, // away: frames [0, mDone) are stored, the far side takes no
                   // more now (down, silent, read-only, no table, no grant...)
    dlRefused,     // frames [0, mDone) are stored; the far side refused one or
                   // more of [mDone, mDone + mSpan) for what they hold
    dlSettings     // the connection's settings are wrong (user, password,
                   // database): nothing stored; at start this ends the run
  };
  struct KDelivery {
    TDeliveryEnum mResult = dlTaken;
    // Frames from the start that are done with: taken, or refused and
    // reported by the output itself (mRefused).
    int mDone = 0;
    // With dlRefused: the frames from mDone on among which the refused one
    // lies (1: the frame at mDone itself). The forwarder narrows it down by
    // delivering smaller batches.
    int mSpan = 0;
    // Of the done frames, those the output refused and reported itself.
    int mRefused = 0;
    // The output could not even connect (its start-up test would fail).
    bool mConnectFailed = false;
  };

  // The kind of an HTTP status: 2xx taken; a request the server found
  // wrong for what it holds (400, 413, 414, 422) refused; anything else
  // (401, 403, 404, 405, 408, 429, 5xx...) away, to be sent again.
  static TDeliveryEnum HttpStatusKind(int status) {
    if (status >= 200 && status < 300)
      return dlTaken;
    if (status == 400 || status == 413 || status == 414 || status == 422)
      return dlRefused;
    return dlUnreachable;
  }

  virtual ~KFrameOutput() = default;

  // Short name for the console: "mysql", "HTTP PUT", "HTTP requests".
  virtual const char* Name() const = 0;
  // Where the frames go, for the start-up line "output: <text>".
  virtual void Describe(char* out, std::size_t size) const = 0;
  // Delivers frames from the start, as many as one exchange with the far
  // side takes (at least one when it works): mDone tells how many.
  virtual KDelivery Deliver(const KCanFrame* frames, int count) = 0;
  // Tries the far side once at the start of the delivery thread (with a
  // spool; without one the run tests it before the capture): dlTaken when
  // it answers, dlSettings (the reason printed) when the settings are wrong.
  virtual TDeliveryEnum Test() { return dlTaken; }
  // Why the last delivery failed, for the console ("HTTP 403 Forbidden").
  virtual void FailureText(char* out, std::size_t size) const = 0;
  // Nothing to deliver for now: closes what needs no keeping open (the
  // database connection lives from a period's first delivery to here).
  virtual void Idle() {}
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
  // A refused frame in a form that stores it exactly (its number and time
  // kept) once the cause is mended: the name of a file beside the spool's
  // rejected.log (nullptr: none, rejected.log is all), what a new such file
  // begins with, and the frame's text to append to it.
  virtual const char* ResendFile() const { return nullptr; }
  virtual const char* ResendHead() const { return ""; }
  virtual void ResendText(const KCanFrame& /*frame*/, char* out, std::size_t size) const {
    if (size > 0)
      out[0] = 0;
  }
};
