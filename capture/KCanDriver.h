// The interface through which the capture server talks to a CAN interface.
#pragma once

#include <atomic>
#include <cstdint>

#include "KCanFilter.h"
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
  // Frames the driver itself left out by its identifier filter (see
  // SetFilter), counted since construction. Read from any thread. A filter
  // applied by the kernel counts nothing here.
  uint32_t Filtered() const { return mFiltered.load(std::memory_order_relaxed); }

  // The adapter's status flags: RequestStatus asks for them (any thread),
  // TakeStatus returns the flags of the last answer once (0..255), or -1
  // when none came since. Only the CAN232 adapter has them.
  virtual void RequestStatus() {}
  virtual int TakeStatus() { return -1; }

  // The identifier filter, set before Init/Connect: the SocketCAN driver
  // hands it to the kernel, the CAN232 driver applies it to each frame read.
  void SetFilter(const KCanFilterList& filter) { mFilter = filter; }
  // Set before Init: the CAN232 driver opens the channel listen-only.
  void SetListenOnly(bool on) { mListenOnly = on; }

  // A descriptor that becomes readable when the receiving thread must stop
  // waiting (the capture thread's terminate event), or -1.
  void SetStopEvent(int fd) { mStopEvent = fd; }

  char mDev[cDevSize];

protected:
  int mStopEvent;
  KCanFilterList mFilter;
  bool mListenOnly = false;
  std::atomic<uint32_t> mFiltered{0};
};
