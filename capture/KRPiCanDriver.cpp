#include "KRPiCanDriver.h"

#include "Report.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef SO_TIMESTAMP_OLD
#define SO_TIMESTAMP_OLD 29
#endif
#ifndef SO_TIMESTAMP_NEW
#define SO_TIMESTAMP_NEW 63
#endif

namespace {

// Index of SOCK_RAW in the socket type table of KIpSocket.
enum : int { cRawSocketType = 2 };

// Room for the time-stamp message in its largest form (two 64-bit values),
// for the 32-bit form that an older kernel sends beside it (glibc with 64-bit
// time on a 32-bit system appends a converted copy to it), and for the 32-bit
// drop count, each with header and alignment.
enum : std::size_t {
  cControlSize = CMSG_SPACE(2 * sizeof(int64_t)) + CMSG_SPACE(2 * sizeof(int32_t)) +
                 CMSG_SPACE(sizeof(uint32_t))
};

// Receive buffer asked of the kernel (which doubles it for bookkeeping): at
// about 1 KiB of kernel memory per queued frame, some 8000 frames, well over
// a third of a second of a fully loaded 1 Mbit/s bus. It bridges the moments
// when a busy board does not schedule the capture thread.
enum : int { cReceiveBufferSize = 4 * 1024 * 1024 };

// Offset of the byte that follows the length byte in a kernel frame.
enum : int { cFlagsOffset = 5 };

static_assert(sizeof(can_frame) == 16, "classic kernel CAN frame is 16 bytes");
static_assert(KCanFilterList::cInvertFlag == CAN_INV_FILTER, "the kernel's inverted filter flag");

bool IsTimeStampType(int type) {
  return type == SO_TIMESTAMP || type == SO_TIMESTAMP_OLD || type == SO_TIMESTAMP_NEW;
}

// Copies the kernel frame into the record: identifier with its flag bits,
// length limited to 8, that many data bytes.
void TakeFrame(const can_frame& kf, KCanFrame& frame) {
  int len = kf.can_dlc > 8 ? 8 : kf.can_dlc;
  frame.mLen = len;
  frame.mId = kf.can_id;
  std::memcpy(frame.mData, kf.data, static_cast<std::size_t>(len));
}

} // namespace

// What one recvmmsg takes from the socket's queue: up to cFrames frames,
// each with its own control messages (time stamp, drop count).
struct KReceiveBatch {
  enum : int { cFrames = 16 };
  can_frame mFrames[cFrames];
  iovec mIo[cFrames];
  // Each a multiple of the header's alignment (CMSG_SPACE).
  alignas(cmsghdr) unsigned char mControl[cFrames][cControlSize];
  mmsghdr mMessages[cFrames];

  KReceiveBatch() {
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    for (int i = 0; i < cFrames; ++i) {
      mIo[i].iov_base = &mFrames[i];
      mIo[i].iov_len = sizeof(mFrames[i]);
      msghdr& m = mMessages[i].msg_hdr;
      m.msg_iov = &mIo[i];
      m.msg_iovlen = 1;
      m.msg_control = mControl[i];
    }
    Prepare();
  }
  // Ready for the next call: every control buffer at its full size again.
  void Prepare() {
    for (int i = 0; i < cFrames; ++i) {
      mMessages[i].msg_hdr.msg_controllen = sizeof(mControl[i]);
      mMessages[i].msg_hdr.msg_flags = 0;
    }
  }
};

// Running number of the frames received by every instance.
static std::atomic<uint32_t> RecvCounter{0};

KRPiCanDriver::KRPiCanDriver()
    : KIpSocket(), KCanDriver(), mTimeStamp(0), mCanAddr(nullptr), mSendOnly(false),
      mFailure(0), mBatch(std::make_unique<KReceiveBatch>()), mQueueDrops(0), mLost(false) {
  mCanAddr = new sockaddr_can;
  std::memset(mCanAddr, 0, sizeof(*mCanAddr));
}

KRPiCanDriver::~KRPiCanDriver() {
  Close();
  delete mCanAddr;
  mCanAddr = nullptr;
}

bool KRPiCanDriver::Init(const char* dev) {
  mFamily = PF_CAN;
  mType = cRawSocketType;
  mProtocol = CAN_RAW;
  mTimeStamp = 1;
  if (!KCanDriver::Init(dev))
    std::snprintf(mDev, sizeof(mDev), "can0");
  SetBlockMode(bmBlocking);
  KIpSocket::Open();
  return mOpen;
}

bool KRPiCanDriver::Bind() {
  if (!mOpen)
    return false;
  if (mSendOnly) {
    // An empty filter list: no frame is queued on this socket, and the
    // kernel's default receive queue is plenty for nothing.
    ErrorCheck(setsockopt(mSocket, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0), "setsockopt");
  } else {
    if (ErrorCheck(setsockopt(mSocket, SOL_SOCKET, SO_TIMESTAMP, &mTimeStamp, sizeof(mTimeStamp)),
                   "setsockopt") != 0)
      mTimeStamp = 0; // receive times come from the clock
    // Error frames reach a raw socket only through an error filter; without
    // it every error frame on the bus would be lost.
    can_err_mask_t errMask = CAN_ERR_MASK;
    ErrorCheck(setsockopt(mSocket, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errMask, sizeof(errMask)),
               "setsockopt");
    // The identifier filter goes into the kernel: a rejected frame costs
    // nothing here. A list the kernel refuses must not widen silently to
    // every frame: binding fails.
    if (!mFilter.Empty()) {
      uint32_t list[KCanFilterList::cMaxFilters][2];
      can_filter filters[KCanFilterList::cMaxFilters];
      const int count = mFilter.KernelFilters(list);
      for (int i = 0; i < count; ++i) {
        filters[i].can_id = list[i][0];
        filters[i].can_mask = list[i][1];
      }
      if (ErrorCheck(setsockopt(mSocket, SOL_CAN_RAW, CAN_RAW_FILTER, filters,
                                static_cast<socklen_t>(count * sizeof(can_filter))),
                     "setsockopt") != 0)
        return false;
    }

    // A deep receive queue, and the count of frames the kernel still had to
    // drop when it overflowed, so that no loss goes unnoticed. Forcing the
    // size needs CAP_NET_ADMIN; without it the kernel's limit applies.
    int size = cReceiveBufferSize;
    if (setsockopt(mSocket, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
      setsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    int on = 1;
    ErrorCheck(setsockopt(mSocket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on)), "setsockopt");
  }

  // An unknown interface must fail the bind: index 0 would bind to every
  // CAN interface at once. A name that does not fit is no interface name.
  ifreq request;
  std::memset(&request, 0, sizeof(request));
  std::size_t nameLen = strnlen(mDev, sizeof(mDev));
  if (nameLen >= sizeof(request.ifr_name)) {
    errno = ENODEV;
    ErrorCheck(-1, "ioctl");
    return false;
  }
  std::memcpy(request.ifr_name, mDev, nameLen); // the rest of the name is zero
  if (ErrorCheck(ioctl(mSocket, SIOCGIFINDEX, &request), "ioctl") == -1)
    return false;
  if (request.ifr_ifindex <= 0) {
    errno = ENODEV;
    ErrorCheck(-1, "ioctl");
    return false;
  }

  mCanAddr->can_family = AF_CAN;
  mCanAddr->can_ifindex = request.ifr_ifindex;
  return ErrorCheck(bind(mSocket, reinterpret_cast<sockaddr*>(mCanAddr), sizeof(*mCanAddr)),
                    "bind") == 0;
}

void KRPiCanDriver::Close() {}

bool KRPiCanDriver::Connect() { return Bind(); }

bool KRPiCanDriver::KernelTime(const msghdr& message, timeval& tv) {
  // CMSG_NXTHDR takes a non-const header but only reads it.
  msghdr& m = const_cast<msghdr&>(message);
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level != SOL_SOCKET || !IsTimeStampType(c->cmsg_type))
      continue;
    // The payload is two 32-bit values (old layout of a 32-bit system) or
    // two 64-bit values (64-bit systems and the 64-bit time layout).
    const unsigned char* data = CMSG_DATA(c);
    std::size_t payload = c->cmsg_len >= CMSG_LEN(0) ? c->cmsg_len - CMSG_LEN(0) : 0;
    int64_t sec = 0;
    int64_t usec = 0;
    if (payload == 2 * sizeof(int64_t)) {
      std::memcpy(&sec, data, sizeof(int64_t));
      std::memcpy(&usec, data + sizeof(int64_t), sizeof(int64_t));
    } else if (payload == 2 * sizeof(int32_t)) {
      // Seconds taken as unsigned: right until 2106, not only until 2038.
      uint32_t s32 = 0;
      int32_t u32 = 0;
      std::memcpy(&s32, data, sizeof(s32));
      std::memcpy(&u32, data + sizeof(s32), sizeof(u32));
      sec = s32;
      usec = u32;
    } else {
      continue;
    }
    if (usec < 0 || usec >= 1000000)
      continue;
    tv.tv_sec = static_cast<time_t>(sec);
    tv.tv_usec = static_cast<suseconds_t>(usec);
    return true;
  }
  return false;
}

bool KRPiCanDriver::QueueDrops(const msghdr& message, uint32_t& drops) {
  msghdr& m = const_cast<msghdr&>(message);
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
        c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
      std::memcpy(&drops, CMSG_DATA(c), sizeof(drops));
      return true;
    }
  }
  return false;
}

bool KRPiCanDriver::ReceiveData(KCanFrame& frame) {
  // The queue is read a batch at a time: under load one system call for
  // up to KReceiveBatch::cFrames frames. A batch that did not fill up
  // emptied the queue, so the next frame is waited for first, as candump
  // does: at a low rate a wait and a receive per frame, never a receive
  // that finds nothing.
  if (mBatchNext >= mBatchCount) {
    mBatchNext = mBatchCount = 0;
    if (!mOpen || (mQueueEmpty && !WaitReadable()))
      return false;
    mBatch->Prepare();
    int n = static_cast<int>(recvmmsg(mSocket, mBatch->mMessages, KReceiveBatch::cFrames, MSG_DONTWAIT, nullptr));
    if (n < 0) {
      mQueueEmpty = errno == EAGAIN || errno == EWOULDBLOCK;
      if (!mQueueEmpty)
        ReceiveFailed(errno);
      return false;
    }
    mQueueEmpty = n < KReceiveBatch::cFrames;
    mBatchCount = n;
  }
  const int slot = mBatchNext++;
  const can_frame& kf = mBatch->mFrames[slot];
  const msghdr& message = mBatch->mMessages[slot].msg_hdr;
  // Anything but one whole classic frame is not a frame.
  if (mBatch->mMessages[slot].msg_len != sizeof(kf) || (message.msg_flags & MSG_TRUNC) != 0)
    return false;

  mFailure = 0;
  uint32_t drops;
  if (QueueDrops(message, drops))
    mQueueDrops.store(drops, std::memory_order_relaxed);

  timeval tv;
  if (mTimeStamp != 0 && KernelTime(message, tv))
    NCanUtils::ArtTime(tv, frame.mDays, frame.mMs);
  else
    NCanUtils::ArtTime(frame.mDays, frame.mMs);
  TakeFrame(kf, frame);
  frame.mFlags = reinterpret_cast<const unsigned char*>(&kf)[cFlagsOffset];
  frame.mCounter = RecvCounter.fetch_add(1);
  return true;
}

bool KRPiCanDriver::WaitReadable() {
  if (mStopEvent < 0) {
    bool readable = false;
    return Select(&readable, nullptr, nullptr, 1) && readable;
  }
  // Until a frame, an error (the interface went down or away) or the stop
  // event: nothing wakes this thread while the bus is quiet.
  pollfd p[2] = {{mSocket, POLLIN, 0}, {mStopEvent, POLLIN, 0}};
  int ready = poll(p, 2, -1);
  if (ready < 0 && errno != EINTR) // a signal handled on this thread is no failure
    ErrorCheck(ready, "poll");
  return ready > 0 && p[0].revents != 0;
}

void KRPiCanDriver::ReceiveFailed(int error) {
  switch (error) {
  case ENETDOWN:
    // The kernel tells each socket once per down event; the binding stays,
    // so frames flow again once the interface is up.
    NReport::Failure("interface %s down\n", mDev);
    break;
  case ENODEV:
    // The interface is gone and the socket no longer bound to anything.
    if (!mLost.exchange(true)) {
      NReport::Failure("interface %s removed\n", mDev);
    }
    break;
  default: {
    // Anything else is reported once until a frame comes again, and the
    // next try waits a little, so that a lasting fault neither floods the
    // console nor spins.
    if (error != mFailure) {
      mFailure = error;
      errno = error;
      ErrorCheck(-1, "recvmsg");
    }
    pollfd p = {mStopEvent, POLLIN, 0};
    poll(&p, mStopEvent >= 0 ? 1 : 0, 100);
    break;
  }
  }
}

bool KRPiCanDriver::ReadData(KCanFrame& frame) {
  bool readable = false;
  if (!Select(&readable, nullptr, nullptr, 1) || !readable)
    return false;
  can_frame kf;
  std::memset(&kf, 0, sizeof(kf));
  long n = ErrorCheck(read(mSocket, &kf, sizeof(kf)), "read");
  if (n != static_cast<long>(sizeof(kf)))
    return false;
  NCanUtils::ArtTime(frame.mDays, frame.mMs);
  TakeFrame(kf, frame);
  frame.mFlags = 0;
  frame.mCounter = RecvCounter.fetch_add(1);
  return true;
}

bool KRPiCanDriver::SendData(const KCanFrame& frame) {
  bool writable = false;
  if (!Select(nullptr, &writable, nullptr, 1) || !writable)
    return false;
  can_frame kf;
  std::memset(&kf, 0, sizeof(kf));
  kf.can_id = frame.mId;
  kf.can_dlc = static_cast<unsigned char>(frame.mLen & 0xFF);
  std::memcpy(kf.data, frame.mData, static_cast<std::size_t>(frame.SafeLen()));
  return ErrorCheck(write(mSocket, &kf, sizeof(kf)), "write") == static_cast<long>(sizeof(kf));
}
