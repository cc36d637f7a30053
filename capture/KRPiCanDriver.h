// CAN driver for a Linux SocketCAN network interface (can0, can1, ...)
// through a raw CAN socket. The receive time of each frame is the kernel's
// time stamp of the frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <sys/socket.h>
#include <sys/time.h>

#include "KCanDriver.h"
#include "KIpSocket.h"

struct sockaddr_can;
struct KReceiveBatch;

class KRPiCanDriver : public KIpSocket, public KCanDriver {
public:
  KRPiCanDriver();
  ~KRPiCanDriver() override;
  KRPiCanDriver(const KRPiCanDriver&) = delete;
  KRPiCanDriver& operator=(const KRPiCanDriver&) = delete;

  // Binds the raw socket to the interface named mDev; false when the
  // socket is not open, the interface is unknown or bind fails. A send-only
  // socket gets a filter that lets no frame in and keeps the kernel's
  // default receive queue.
  bool Bind() override;
  // Stores the device name (null or too long a name gives "can0") and
  // creates the blocking raw CAN socket; true when it is open.
  bool Init(const char* dev) override;
  // Does nothing: the socket stays open and bound until destruction.
  void Close() override;
  bool Connect() override;
  // One frame with the kernel's receive time; false when none came (the
  // frame is then left untouched): after a 1 ms wait, or,
  // with a stop event, when the stop event or an interface event ended the
  // wait. The interface going down is reported once per event ("interface
  // <dev> down") and receiving goes on when it is up again; a removed
  // interface is reported ("interface <dev> removed") and makes Lost() true.
  bool ReceiveData(KCanFrame& frame) override;
  // One frame through read, stamped with the current time. ReceiveData
  // takes several frames from the queue at once: those it holds are not
  // seen here.
  bool ReadData(KCanFrame& frame) override;
  bool SendData(const KCanFrame& frame) override;

  // Finds the SO_TIMESTAMP control message of a received message (either
  // time layout the kernel may deliver) and stores its time in tv.
  static bool KernelTime(const msghdr& message, timeval& tv);
  // Finds the SO_RXQ_OVFL control message: the number of frames the kernel
  // dropped on this socket because its receive queue was full.
  static bool QueueDrops(const msghdr& message, uint32_t& drops);

  uint32_t Dropped() const override { return mQueueDrops.load(std::memory_order_relaxed); }
  bool Lost() const override { return mLost.load(std::memory_order_relaxed); }

  int mTimeStamp;
  sockaddr_can* mCanAddr;
  // Set before Connect: the socket only sends (see Bind).
  bool mSendOnly;

private:
  // Waits until the socket has something to say; false when nothing came.
  bool WaitReadable();
  // Handles a failed receive: interface down, interface removed, or any
  // other error (reported through ErrorCheck).
  void ReceiveFailed(int error);

  int mFailure; // the receive error last reported, 0 after a frame
  // The last receive emptied the queue: the next one waits first rather
  // than asking an empty queue again.
  bool mQueueEmpty = true;
  // Frames taken from the queue in one call and not yet handed out:
  // [mBatchNext, mBatchCount) of mBatch.
  std::unique_ptr<KReceiveBatch> mBatch;
  int mBatchCount = 0;
  int mBatchNext = 0;
  std::atomic<uint32_t> mQueueDrops;
  std::atomic<bool> mLost;
};
