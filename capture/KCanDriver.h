// The interface through which the capture server talks to a CAN interface.
#pragma once

#include <cstdint>

#include "NCanUtils.h"

class KCanDriver {
public:
  enum : int { cDevSize = 128 };

  KCanDriver() : mStopEvent(-1) { mDev[0] = 0; }
  virtual ~KCanDriver() = default;

  // Stores the device name (null or 128 characters and more leave it empty);
  // true when it was stored. Implementations call it first, then prepare the
  // device.
  virtual bool Init(const char* dev);
  virtual void Close() = 0;
  // Makes the device ready to receive.
  virtual bool Connect() = 0;
  // Waits for one frame; true when `frame` holds one. Without a stop event
  // the wait is short and bounded; with one it lasts until a frame or a
  // device event comes or the stop event becomes readable, so that a quiet
  // bus costs no wake-ups.
  virtual bool ReceiveData(KCanFrame& frame) = 0;
  virtual bool ReadData(KCanFrame& frame) = 0;
  virtual bool SendData(const KCanFrame& frame) = 0;
  // True once the device has gone away for good (an unplugged adapter): the
  // capture thread then ends instead of polling a dead device forever.
  virtual bool Lost() const { return false; }
  // Frames the device or the kernel dropped before they could be received
  // (a receive queue overflow), counted since the device was opened. Read
  // from any thread.
  virtual uint32_t Dropped() const { return 0; }

  // A descriptor that becomes readable when the receiving thread must stop
  // waiting (the capture thread's terminate event), or -1.
  void SetStopEvent(int fd) { mStopEvent = fd; }

  char mDev[cDevSize];

protected:
  int mStopEvent;
};
