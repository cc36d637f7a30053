// CAN driver for a Linux SocketCAN network interface (can0, can1, ...)
// through a raw CAN socket. The receive time of each frame is the kernel's
// time stamp of the frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <sys/socket.h>
#include <sys/time.h>

#include "KCanDriver.h"
#include "KIpSocket.h"

struct sockaddr_can;

class KRPiCanDriver : public KIpSocket, public KCanDriver {
public:
  KRPiCanDriver();
  ~KRPiCanDriver() override;
  KRPiCanDriver(const KRPiCanDriver&) = delete;
  KRPiCanDriver& operator=(const KRPiCanDriver&) = delete;

  // Binds the raw socket to the interface named mDev; false when the
  // socket is not open, the interface is unknown or bind fails.
  bool Bind() override;
  // Stores the device name (null or too long a name gives "can0") and
  // creates the blocking raw CAN socket; true when it is open.
  bool Init(const char* dev) override;
  // Does nothing: the socket stays open and bound until destruction.
  void Close() override;
  bool Connect() override;
  // One frame through recvmsg with the kernel's receive time; false after
  // a 1 ms wait without a frame (the frame is then left untouched).
  bool ReceiveData(KCanFrame& frame) override;
  // One frame through read, stamped with the current time.
  bool ReadData(KCanFrame& frame) override;
  bool SendData(const KCanFrame& frame) override;

  // Finds the SO_TIMESTAMP control message of a received message (either
  // time layout the kernel may deliver) and stores its time in tv.
  static bool KernelTime(const msghdr& message, timeval& tv);
  // Finds the SO_RXQ_OVFL control message: the number of frames the kernel
  // dropped on this socket because its receive queue was full.
  static bool QueueDrops(const msghdr& message, uint32_t& drops);

  uint32_t Dropped() const override { return mQueueDrops.load(std::memory_order_relaxed); }

  int mTimeStamp;
  sockaddr_can* mCanAddr;

private:
  std::atomic<uint32_t> mQueueDrops;
};
