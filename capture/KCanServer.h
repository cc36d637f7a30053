// Capture server: owns the CAN driver(s) and a capture thread that stores
// every received frame, numbered, in a ring of 10240 frames which the main
// thread drains.
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>

#include "KCanDriver.h"
#include "KThread.h"
#include "NCanUtils.h"

// KCan232::cDefaultBitRateCode, without the driver's header.
enum : int { cCan232DefaultBitRateCode = 1 };

class KCanServer : public KThread {
public:
  enum : int { cRingSize = 10240 };

  KCanServer();
  ~KCanServer();

  // Chooses, creates and initialises the driver(s): a device name containing
  // "tty" gets a CAN232 adapter driver, any other name (or none) a pair of
  // SocketCAN drivers, the first receiving and the second sending. Effective
  // once only.
  bool Init(const char* dev);
  // The bit rate command code (0..8, KCan232::cBitRates) a CAN232 adapter
  // is set to by Init; without it S1 (20 kbit/s). SocketCAN interfaces get
  // their bit rate from the system (ip link), not from here.
  void SetCan232BitRate(int code) { mCan232BitRateCode = code; }
  // The identifier filter and the listen-only choice the drivers get from
  // Init (KCanDriver::SetFilter, SetListenOnly).
  void SetFilter(const KCanFilterList& filter) { mFilter = filter; }
  void SetListenOnly(bool on) { mListenOnly = on; }
  // The receiving driver's status flags (KCanDriver::RequestStatus).
  void RequestStatus() {
    if (mRecvDriver != nullptr)
      mRecvDriver->RequestStatus();
  }
  int TakeStatus() { return mRecvDriver != nullptr ? mRecvDriver->TakeStatus() : -1; }
  // Frames the receiving driver left out by its filter (not the kernel's).
  uint32_t Filtered() const { return mRecvDriver != nullptr ? mRecvDriver->Filtered() : 0; }
  // The receiving driver's device name, or "" without one.
  const char* GetDev() const;
  // Terminate, then pause 1000 ms.
  void Halt();

  // Waits up to `ms` milliseconds (a negative value: without limit) until
  // the capture thread has stopped or been asked to stop (Terminated()) or
  // the ring is more than three quarters full. True when one of these holds.
  // For the main thread; a quiet bus costs it no wake-up.
  bool WaitForEvent(int ms);
  // Waits without limit until the ring holds a frame, the driver's filter
  // has left frames out, or the capture thread has stopped or been asked to
  // stop; true for a frame or frames left out. `filtered`: the count of
  // frames left out the caller knows of (without it, the count now).
  bool WaitForFrame();
  bool WaitForFrame(uint32_t filtered);
  // True when the capture ended by itself: the device could not be
  // connected or went away, or the capture thread failed.
  bool CaptureFailed() const { return EndedByItself(); }

  int RingCount() const;
  // More than three quarters of the ring unread.
  bool RingBufferFull() const;
  void IncRingPtr(std::atomic<int>& index) const;
  // Stores a copy; when the ring is full the oldest unread frame is dropped.
  void PutFrame(const KCanFrame& frame);
  // Takes the oldest unread frame; false (frame untouched) when empty.
  bool GetFrame(KCanFrame& frame);
  // Frames lost by overwriting the oldest unread frame since construction.
  uint32_t Overwritten() const { return mOverwritten.load(std::memory_order_relaxed); }
  // Frames the receiving driver reports as dropped before they reached it.
  uint32_t DriverDropped() const { return mRecvDriver != nullptr ? mRecvDriver->Dropped() : 0; }

  bool SendData(const KCanFrame& frame);

  uint32_t mFrameCounter;
  bool mInitialised;
  std::unique_ptr<KCriticalSection> mLock;
  int mRingSize;
  // Changed only under mLock; read without it for the emptiness and fill
  // tests, where a stale value only delays a decision.
  std::atomic<int> mWriteIndex;
  std::atomic<int> mReadIndex;
  std::unique_ptr<KCanFrame[]> mRing;
  std::unique_ptr<KCanDriver> mRecvDriver;
  std::unique_ptr<KCanDriver> mSendDriver;

protected:
  void Execute() override;

private:
  std::atomic<uint32_t> mOverwritten;
  // Takes back the signals of the event before the main thread looks again.
  void ClearEvent();

  // Readable when the ring has passed three quarters full since the main
  // thread last looked (mFullSignalled keeps that to one write per filling),
  // or when a frame came while the main thread waited for one
  // (mWakeOnFrame, cleared by the one write it causes).
  int mEvent;
  std::atomic<bool> mFullSignalled;
  std::atomic<bool> mWakeOnFrame;
  int mCan232BitRateCode = cCan232DefaultBitRateCode;
  KCanFilterList mFilter;
  bool mListenOnly = false;
};
