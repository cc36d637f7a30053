// The interface through which the capture server talks to a CAN interface.
#pragma once

#include <cstdint>

#include "NCanUtils.h"

class KCanDriver {
public:
  enum : int { cDevSize = 128 };

  KCanDriver() { mDev[0] = 0; }
  virtual ~KCanDriver() = default;

  // Stores the device name (null or 128 characters and more leave it empty);
  // true when it was stored. Implementations call it first, then prepare the
  // device.
  virtual bool Init(const char* dev);
  virtual void Close() = 0;
  // Makes the device ready to receive.
  virtual bool Connect() = 0;
  // Waits a short, bounded time for one frame; true when `frame` holds one.
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

  char mDev[cDevSize];
};
