// The receive and send paths of KRPiCanDriver against a scripted peer: the
// driver's descriptor is one end of a local datagram socket pair, so any
// kernel frame, also one the CAN stack would never deliver, can be fed in.
// The time-stamp option works on local sockets as it does on CAN sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <linux/can.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "KRPiCanDriver.h"

namespace {

struct KKernelFrame {
  uint32_t id;
  uint8_t dlc;
  uint8_t flags; // byte at offset 5
  uint8_t data[8];
};

// A driver whose socket is one end of a datagram pair; mPeer is the other end.
struct KFakeBus {
  KRPiCanDriver mDriver;
  int mPeer = -1;
  // timeStamp: the driver's option flag; kernelStamp: the socket delivers
  // a time-stamp message.
  explicit KFakeBus(bool timeStamp = true, bool kernelStamp = true) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0)
      return;
    mDriver.mSocket = fds[0];
    mDriver.mOpen = true;
    mDriver.mBlockMode = bmBlocking;
    mDriver.mTimeStamp = timeStamp ? 1 : 0;
    int on = 1;
    if (kernelStamp)
      setsockopt(fds[0], SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
    mPeer = fds[1];
  }
  ~KFakeBus() { close(mPeer); }
  void Put(const KKernelFrame& k, std::size_t size = sizeof(can_frame)) {
    unsigned char raw[sizeof(can_frame)] = {};
    std::memcpy(raw, &k.id, 4);
    raw[4] = k.dlc;
    raw[5] = k.flags;
    std::memcpy(raw + 8, k.data, 8);
    ASSERT_EQ(write(mPeer, raw, size), static_cast<ssize_t>(size));
  }
};

KCanFrame Filled() {
  KCanFrame f;
  f.mCounter = 0xDEAD;
  f.mDays = -5;
  f.mMs = 7;
  f.mId = 0x55;
  f.mLen = 3;
  f.mFlags = 9;
  std::memset(f.mData, 0xEE, sizeof(f.mData));
  return f;
}

// Milliseconds from (d1, ms1) to (d2, ms2).
long long MsBetween(int d1, int ms1, int d2, int ms2) {
  return (static_cast<long long>(d2) - d1) * 86400000LL + (ms2 - ms1);
}

TEST(KRPiCanDriverInit, NamesTheDeviceAndAsksForARawCanSocket) {
  const std::string n127(127, 'c'), n128(128, 'c');
  struct Case {
    const char* dev;
    std::string expected;
  } cases[] = {
      {nullptr, "can0"}, {n128.c_str(), "can0"}, {n127.c_str(), n127}, {"", ""}, {"vcan3", "vcan3"},
  };
  for (const Case& c : cases) {
    KRPiCanDriver d;
    testing::internal::CaptureStdout();
    bool open = d.Init(c.dev);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(open, d.mOpen);
    EXPECT_EQ(d.mDev, c.expected);
    EXPECT_EQ(d.mFamily, PF_CAN);
    EXPECT_EQ(d.mType, 2);
    EXPECT_EQ(d.mProtocol, CAN_RAW);
    EXPECT_EQ(d.mTimeStamp, 1);
    EXPECT_EQ(d.mBlockMode, bmBlocking);
    // Without SocketCAN in the kernel the socket cannot be made, and says so.
    if (!open)
      EXPECT_EQ(printed, "socket error (socket) 97: EAFNOSUPPORT (Address family not supported "
                         "by protocol)\n");
    else
      EXPECT_EQ(printed, "");
  }
}

TEST(KRPiCanDriverFake, KernelFrameIsTakenOverWithFlagsAndClampedLength) {
  struct Case {
    KKernelFrame in;
    int len;
  } cases[] = {
      {{0x123, 3, 0, {1, 2, 3, 4, 5, 6, 7, 8}}, 3},
      {{0x80001234u | 0x40000000u, 0, 0, {}}, 0},          // extended remote request
      {{0x20000004u, 8, 0, {0, 0, 4, 0, 0, 0, 0, 0}}, 8},   // error frame
      {{0x7FF, 15, 0x5A, {9, 8, 7, 6, 5, 4, 3, 2}}, 8},     // length code beyond 8
      {{0x1FFFFFFFu | 0x80000000u, 9, 0xFF, {1, 1, 1, 1, 1, 1, 1, 1}}, 8},
  };
  KFakeBus bus;
  for (const Case& c : cases) {
    bus.Put(c.in);
    KCanFrame f = Filled();
    ASSERT_TRUE(bus.mDriver.ReceiveData(f)) << std::hex << c.in.id;
    EXPECT_EQ(f.mId, c.in.id);
    EXPECT_EQ(f.mLen, c.len);
    EXPECT_EQ(f.mFlags, c.in.flags);
    EXPECT_EQ(std::memcmp(f.mData, c.in.data, static_cast<std::size_t>(c.len)), 0);
    for (int i = c.len; i < 8; ++i)
      EXPECT_EQ(f.mData[i], 0xEE) << "bytes past the length are left as they were";
  }
}

TEST(KRPiCanDriverFake, NothingPendingLeavesFrameUntouched) {
  KFakeBus bus;
  KCanFrame f = Filled();
  const KCanFrame before = f;
  EXPECT_FALSE(bus.mDriver.ReceiveData(f));
  EXPECT_FALSE(bus.mDriver.ReadData(f));
  // A datagram that is not one whole frame is no frame either.
  bus.Put({0x100, 1, 0, {}}, 10);
  EXPECT_FALSE(bus.mDriver.ReceiveData(f));
  EXPECT_EQ(std::memcmp(&f, &before, sizeof(f)), 0);
  // A closed driver socket still counts as open.
  bus.mDriver.Close();
  bus.Put({0x100, 1, 0, {}});
  EXPECT_TRUE(bus.mDriver.ReceiveData(f));
}

// The queue is read several frames at a time: frames sent while some are
// still held come after them, none lost, none twice, in order.
TEST(KRPiCanDriverFake, FramesReadAheadComeOutOnceInOrder) {
  KFakeBus bus;
  KCanFrame f;
  uint32_t put = 0, next = 0;
  const int rounds[][2] = {{20, 5}, {20, 30}, {1, 1}, {35, 40}}; // frames put, then taken
  for (const auto& r : rounds) {
    for (int i = 0; i < r[0]; ++i, ++put)
      bus.Put({0x100u + put, 1, 0, {static_cast<uint8_t>(0x100u + put)}});
    for (int i = 0; i < r[1]; ++i) {
      ASSERT_TRUE(bus.mDriver.ReceiveData(f)) << "frame " << next;
      EXPECT_EQ(f.mId, 0x100u + next);
      EXPECT_EQ(f.mData[0], static_cast<uint8_t>(0x100u + next));
      ++next;
    }
  }
  EXPECT_EQ(next, 76u);
  EXPECT_FALSE(bus.mDriver.ReceiveData(f));
}

TEST(KRPiCanDriverFake, CountersRunOnAcrossInstancesAndPaths) {
  KFakeBus a, b;
  KCanFrame f;
  a.Put({0x1, 0, 0, {}});
  ASSERT_TRUE(a.mDriver.ReceiveData(f));
  uint32_t first = f.mCounter;
  // A short datagram does not take a number.
  b.Put({0x2, 0, 0, {}}, 4);
  EXPECT_FALSE(b.mDriver.ReceiveData(f));
  b.Put({0x2, 0, 0, {}});
  ASSERT_TRUE(b.mDriver.ReceiveData(f));
  EXPECT_EQ(f.mCounter, first + 1);
  a.Put({0x3, 0, 0, {}});
  ASSERT_TRUE(a.mDriver.ReadData(f));
  EXPECT_EQ(f.mCounter, first + 2);
}

TEST(KRPiCanDriverFake, ReceiveTimeIsTheKernelStamp) {
  KFakeBus bus;
  bus.Put({0x321, 2, 0, {1, 2}});
  // Read the stamp the kernel gave the datagram, leaving it queued.
  unsigned char raw[16];
  iovec io{raw, sizeof(raw)};
  alignas(cmsghdr) unsigned char control[128];
  msghdr m{};
  m.msg_iov = &io;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof(control);
  ASSERT_EQ(recvmsg(bus.mDriver.mSocket, &m, MSG_PEEK), 16);
  timeval stamp{};
  ASSERT_TRUE(KRPiCanDriver::KernelTime(m, stamp));
  int days = 0, ms = 0;
  NCanUtils::ArtTime(stamp, days, ms);

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  KCanFrame f;
  ASSERT_TRUE(bus.mDriver.ReceiveData(f));
  EXPECT_EQ(f.mDays, days);
  EXPECT_EQ(f.mMs, ms);
}

TEST(KRPiCanDriverFake, ClockIsUsedWithoutStampAndOnTheReadPath) {
  struct Case {
    const char* name;
    bool option, message, read, queuedTime;
  } cases[] = {
      {"kernel stamp", true, true, false, true},
      {"option could not be set", false, true, false, false},
      {"no stamp message", true, false, false, false},
      {"read path", true, true, true, false},
  };
  for (const Case& c : cases) {
    KFakeBus bus(c.option, c.message);
    bus.Put({0x10, 1, 0x77, {0x42}});
    int sentDays = 0, sentMs = 0;
    NCanUtils::ArtTime(sentDays, sentMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    KCanFrame f;
    ASSERT_TRUE(c.read ? bus.mDriver.ReadData(f) : bus.mDriver.ReceiveData(f)) << c.name;
    long long late = MsBetween(sentDays, sentMs, f.mDays, f.mMs);
    if (c.queuedTime)
      EXPECT_LT(late, 250) << c.name << ": stamped when queued, not when read";
    else
      EXPECT_GE(late, 290) << c.name << ": stamped when read";
    EXPECT_EQ(f.mFlags, c.read ? 0u : 0x77u) << c.name;
  }
}

TEST(KRPiCanDriverFake, SendWritesOneKernelFrame) {
  struct Case {
    uint32_t id;
    int len;
    uint8_t dlc;
    int copied;
  } cases[] = {
      {0x123, 3, 3, 3}, {0xC0000001u, 0, 0, 0}, {0x7FF, 8, 8, 8},
      {0x100, 12, 12, 8}, // passed on for the kernel to refuse; only 8 bytes copied
      {0x100, -1, 0xFF, 0},
  };
  KFakeBus bus;
  for (const Case& c : cases) {
    KCanFrame f;
    f.mId = c.id;
    f.mLen = c.len;
    for (int i = 0; i < 8; ++i)
      f.mData[i] = static_cast<unsigned char>(0xA0 + i);
    ASSERT_TRUE(bus.mDriver.SendData(f));
    unsigned char raw[32];
    ASSERT_EQ(read(bus.mPeer, raw, sizeof(raw)), 16);
    uint32_t id;
    std::memcpy(&id, raw, 4);
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(raw[4], c.dlc);
    EXPECT_EQ(raw[5] | raw[6] | raw[7], 0);
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(raw[8 + i], i < c.copied ? 0xA0 + i : 0) << "len " << c.len << " byte " << i;
  }
}

// Control messages as the kernel builds them, for each time layout.
TEST(KRPiCanDriverFake, TimeStampMessageIsFoundByType) {
  struct Msg {
    int level, type;
    std::size_t size; // payload bytes
    int64_t sec, usec;
  };
  struct Case {
    const char* name;
    std::vector<Msg> msgs;
    bool found;
  } cases[] = {
      {"none", {}, false},
      {"64-bit timeval", {{SOL_SOCKET, SO_TIMESTAMP, 16, 1700000000, 250000}}, true},
      {"32-bit timeval", {{SOL_SOCKET, 29, 8, 1700000000, 250000}}, true},
      {"64-bit time on 32-bit", {{SOL_SOCKET, 63, 16, 1700000000, 250000}}, true},
      {"after another message",
       {{SOL_SOCKET, 40, 4, 0, 0}, {SOL_SOCKET, SO_TIMESTAMP, 16, 1700000000, 250000}}, true},
      {"other level", {{SOL_IP, SO_TIMESTAMP, 16, 1700000000, 250000}}, false},
      {"odd size", {{SOL_SOCKET, SO_TIMESTAMP, 12, 1700000000, 250000}}, false},
      {"bad microseconds", {{SOL_SOCKET, SO_TIMESTAMP, 16, 1700000000, 1000000}}, false},
  };
  for (const Case& c : cases) {
    alignas(cmsghdr) unsigned char control[256] = {};
    msghdr m{};
    m.msg_control = control;
    std::size_t total = 0;
    for (const Msg& x : c.msgs)
      total += CMSG_SPACE(x.size);
    m.msg_controllen = total;
    cmsghdr* h = total > 0 ? CMSG_FIRSTHDR(&m) : nullptr;
    for (const Msg& x : c.msgs) {
      h->cmsg_level = x.level;
      h->cmsg_type = x.type;
      h->cmsg_len = CMSG_LEN(x.size);
      unsigned char* p = CMSG_DATA(h);
      if (x.size == 8) {
        int32_t v[2] = {static_cast<int32_t>(x.sec), static_cast<int32_t>(x.usec)};
        std::memcpy(p, v, 8);
      } else if (x.size >= 16) {
        int64_t v[2] = {x.sec, x.usec};
        std::memcpy(p, v, 16);
      }
      h = CMSG_NXTHDR(&m, h);
    }
    timeval tv{};
    EXPECT_EQ(KRPiCanDriver::KernelTime(m, tv), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(tv.tv_sec, 1700000000) << c.name;
      EXPECT_EQ(tv.tv_usec, 250000) << c.name;
    }
  }
}

TEST(KRPiCanDriverFake, QueueDropCountIsFoundByType) {
  alignas(cmsghdr) unsigned char control[256] = {};
  msghdr m{};
  m.msg_control = control;
  m.msg_controllen = CMSG_SPACE(16) + CMSG_SPACE(4);
  cmsghdr* h = CMSG_FIRSTHDR(&m);
  h->cmsg_level = SOL_SOCKET;
  h->cmsg_type = SO_TIMESTAMP;
  h->cmsg_len = CMSG_LEN(16);
  h = CMSG_NXTHDR(&m, h);
  h->cmsg_level = SOL_SOCKET;
  h->cmsg_type = SO_RXQ_OVFL;
  h->cmsg_len = CMSG_LEN(4);
  uint32_t count = 4242;
  std::memcpy(CMSG_DATA(h), &count, 4);
  uint32_t drops = 0;
  EXPECT_TRUE(KRPiCanDriver::QueueDrops(m, drops));
  EXPECT_EQ(drops, 4242u);
  m.msg_controllen = CMSG_SPACE(16); // only the time stamp
  drops = 1;
  EXPECT_FALSE(KRPiCanDriver::QueueDrops(m, drops));
  EXPECT_EQ(drops, 1u);
}

} // namespace
