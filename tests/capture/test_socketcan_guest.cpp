// KRPiCanDriver against a real kernel's CAN stack: a vcan interface (can0,
// or the name in TELLTRAIL_CAN_IF), can-utils as independent peers. Runs in
// the QEMU test guest (ctest -L guest); where the kernel has no CAN the tests
// skip, and a skip inside the guest marks the guest run as skipped.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/can.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KRPiCanDriver.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* Interface() {
  const char* name = std::getenv("TELLTRAIL_CAN_IF");
  return name != nullptr && name[0] != 0 ? name : "can0";
}

bool OnPath(const char* tool) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    std::string file = dirs.substr(start, end - start) + "/" + tool;
    if (access(file.c_str(), X_OK) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls ReceiveData (or ReadData) until a frame comes, for about two seconds.
bool Receive(KRPiCanDriver& d, KCanFrame& f, bool read = false) {
  for (int i = 0; i < 2000; ++i)
    if (read ? d.ReadData(f) : d.ReceiveData(f))
      return true;
  return false;
}

KCanFrame Frame(uint32_t id, std::vector<unsigned char> data) {
  KCanFrame f;
  f.mId = id;
  f.mLen = static_cast<int>(data.size());
  for (std::size_t i = 0; i < data.size() && i < 8; ++i)
    f.mData[i] = data[i];
  return f;
}

class KSocketCanGuest : public testing::Test {
protected:
  void SetUp() override {
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0)
      GTEST_SKIP() << "this kernel has no SocketCAN (socket(PF_CAN) fails with errno " << errno
                   << "); these tests run in the QEMU guest (ctest -L guest)";
    close(fd);
    if (if_nametoindex(Interface()) == 0)
      GTEST_SKIP() << "no CAN interface " << Interface() << " (set TELLTRAIL_CAN_IF)";
  }

  // Init and Connect a driver on the interface; false with a message.
  static testing::AssertionResult Up(KRPiCanDriver& d) {
    if (!d.Init(Interface()))
      return testing::AssertionFailure() << "Init failed";
    if (!d.Connect())
      return testing::AssertionFailure() << "Connect failed";
    return testing::AssertionSuccess();
  }
};

TEST_F(KSocketCanGuest, BindNeedsAKnownInterface) {
  struct Case {
    const char* dev;
    const char* printed;
  } cases[] = {
      {"nosuch0", "socket error (ioctl) 19: ENODEV (No such device)\n"},
      {"", "socket error (ioctl) 19: ENODEV (No such device)\n"},
      {"a-name-longer-than-ifnamsiz", "socket error (ioctl) 19: ENODEV (No such device)\n"},
  };
  for (const Case& c : cases) {
    KRPiCanDriver d;
    ASSERT_TRUE(d.Init(c.dev)) << c.dev;
    EXPECT_STREQ(d.mDev, c.dev);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(d.Connect()) << c.dev;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.dev;
    EXPECT_EQ(d.mCanAddr->can_ifindex, 0) << "never bound to every interface";
  }
  KRPiCanDriver never;
  EXPECT_FALSE(never.Connect()) << "no socket before Init";
  KRPiCanDriver d;
  EXPECT_TRUE(Up(d));
  EXPECT_EQ(d.mTimeStamp, 1);
  EXPECT_TRUE(d.Connect()) << "connecting again repeats the bind steps";
}

TEST_F(KSocketCanGuest, FramesKeepTheirFlagBits) {
  KRPiCanDriver rx, tx;
  ASSERT_TRUE(Up(rx));
  ASSERT_TRUE(Up(tx));
  const KCanFrame frames[] = {
      Frame(0x123, {0x11, 0x22, 0x33}),
      Frame(0x80000000u | 0x1ABCDEF0u, {1, 2, 3, 4, 5, 6, 7, 8}), // extended
      Frame(0x40000000u | 0x7FF, {}),                              // remote request
      Frame(0xC0000000u | 0x12345, {}),                            // extended remote
      Frame(0x20000000u | 0x004, {0, 0, 0x10, 0, 0, 0, 0, 0}),     // error frame
      Frame(0x000, {}),
  };
  for (const KCanFrame& sent : frames) {
    ASSERT_TRUE(tx.SendData(sent)) << std::hex << sent.mId;
    KCanFrame got;
    ASSERT_TRUE(Receive(rx, got)) << std::hex << sent.mId;
    EXPECT_EQ(got.mId, sent.mId);
    EXPECT_EQ(got.mLen, sent.mLen);
    EXPECT_EQ(std::memcmp(got.mData, sent.mData, static_cast<std::size_t>(sent.mLen)), 0);
  }
  KCanFrame own;
  EXPECT_FALSE(tx.ReceiveData(own)) << "a sender does not receive its own frames";
}

TEST_F(KSocketCanGuest, FramesFromCansend) {
  if (!OnPath("cansend"))
    GTEST_SKIP() << "cansend (can-utils) is not on PATH";
  KRPiCanDriver rx;
  ASSERT_TRUE(Up(rx));
  struct Case {
    const char* text;
    uint32_t id;
    int len;
  } cases[] = {
      {"123#DEADBEEF", 0x123, 4},
      {"1F334455#1122334455667788", 0x80000000u | 0x1F334455u, 8},
      {"7FF#R", 0x40000000u | 0x7FF, 0},
      {"00000ABC#R", 0xC0000000u | 0xABC, 0},
      {"20000080#0000000000000000", 0x20000080u, 8},
  };
  for (const Case& c : cases) {
    std::string command = std::string("cansend ") + Interface() + " " + c.text;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    KCanFrame got;
    ASSERT_TRUE(Receive(rx, got)) << c.text;
    EXPECT_EQ(got.mId, c.id) << c.text;
    EXPECT_EQ(got.mLen, c.len) << c.text;
  }
}

TEST_F(KSocketCanGuest, ReceiveTimeIsTheKernelStampAsCandumpSeesIt) {
  if (!OnPath("candump"))
    GTEST_SKIP() << "candump (can-utils) is not on PATH";
  char logName[] = "/tmp/telltrail-candump-XXXXXX";
  int logFd = mkstemp(logName);
  ASSERT_GE(logFd, 0) << "cannot create a file in /tmp";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(logFd, 1);
    execlp("candump", "candump", "-L", Interface(), static_cast<char*>(nullptr));
    _exit(127);
  }
  KRPiCanDriver rx, tx;
  ASSERT_TRUE(Up(tx));
  // Wait until candump is listening: it logs a probe frame (id 0x300).
  bool listening = false;
  for (int i = 0; i < 300 && !listening; ++i) {
    tx.SendData(Frame(0x300, {}));
    Pause(50);
    listening = lseek(logFd, 0, SEEK_END) > 0;
  }
  close(logFd);
  ASSERT_TRUE(listening) << "candump logged nothing within 15 s";
  ASSERT_TRUE(Up(rx)); // bound after the probes: receives none of them
  std::vector<KCanFrame> got;
  for (uint32_t id = 0x301; id <= 0x305; ++id) {
    ASSERT_TRUE(tx.SendData(Frame(id, {static_cast<unsigned char>(id)})));
    Pause(id == 0x303 ? 300 : 20); // one frame read long after it arrived
    KCanFrame f;
    ASSERT_TRUE(Receive(rx, f));
    got.push_back(f);
  }
  Pause(200);
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);

  std::vector<std::pair<uint32_t, timeval>> logged;
  FILE* log = std::fopen(logName, "r");
  ASSERT_NE(log, nullptr);
  char line[256];
  while (std::fgets(line, sizeof(line), log) != nullptr) {
    long long sec = 0, usec = 0;
    char dev[32], text[128];
    unsigned id = 0;
    if (std::sscanf(line, "(%lld.%lld) %31s %127s", &sec, &usec, dev, text) == 4 &&
        std::sscanf(text, "%x#", &id) == 1 && id != 0x300) {
      timeval tv{};
      tv.tv_sec = static_cast<time_t>(sec);
      tv.tv_usec = static_cast<suseconds_t>(usec);
      logged.push_back({id, tv});
    }
  }
  std::fclose(log);
  unlink(logName);
  ASSERT_EQ(logged.size(), got.size()) << "candump logged every frame";
  for (std::size_t i = 0; i < got.size(); ++i) {
    int days = 0, ms = 0;
    NCanUtils::ArtTime(logged[i].second, days, ms);
    EXPECT_EQ(logged[i].first, got[i].mId);
    EXPECT_EQ(got[i].mDays, days) << "frame " << i;
    EXPECT_EQ(got[i].mMs, ms) << "frame " << i;
  }
}

TEST_F(KSocketCanGuest, NoTrafficGivesFalseAndLeavesTheFrame) {
  KRPiCanDriver rx;
  ASSERT_TRUE(Up(rx));
  KCanFrame f = Frame(0x42, {9, 9, 9});
  f.mCounter = 77;
  const KCanFrame before = f;
  auto start = Clock::now();
  EXPECT_FALSE(rx.ReceiveData(f));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1)) << "waits its 1 ms";
  EXPECT_FALSE(rx.ReadData(f));
  EXPECT_EQ(std::memcmp(&f, &before, sizeof(f)), 0);
}

TEST_F(KSocketCanGuest, CountersRunOnAcrossInstances) {
  KRPiCanDriver rx1, rx2, rx3, tx;
  ASSERT_TRUE(Up(rx1));
  ASSERT_TRUE(Up(rx2));
  ASSERT_TRUE(Up(rx3));
  ASSERT_TRUE(Up(tx));
  ASSERT_TRUE(tx.SendData(Frame(0x10, {1})));
  ASSERT_TRUE(tx.SendData(Frame(0x11, {2})));
  KCanFrame a, b, c, d;
  ASSERT_TRUE(Receive(rx1, a));
  ASSERT_TRUE(Receive(rx2, b));
  ASSERT_TRUE(Receive(rx3, c, true)); // read path
  ASSERT_TRUE(Receive(rx1, d));       // taken with the first, handed out now
  EXPECT_EQ(b.mCounter, a.mCounter + 1);
  EXPECT_EQ(c.mCounter, a.mCounter + 2);
  EXPECT_EQ(d.mCounter, a.mCounter + 3);
  EXPECT_EQ(a.mId, 0x10u);
  EXPECT_EQ(b.mId, 0x10u) << "every instance sees every frame";
  EXPECT_EQ(c.mId, 0x10u);
  EXPECT_EQ(d.mId, 0x11u);
  EXPECT_EQ(c.mFlags, 0u);
}

TEST_F(KSocketCanGuest, OverlongLengthIsRefusedByTheKernel) {
  // A classic CAN socket never delivers a length above 8 (the clamp on
  // receive is covered with a scripted peer); sending one is refused.
  KRPiCanDriver rx, tx;
  ASSERT_TRUE(Up(rx));
  ASSERT_TRUE(Up(tx));
  KCanFrame f = Frame(0x123, {1, 2, 3, 4, 5, 6, 7, 8});
  f.mLen = 12;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(tx.SendData(f));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "socket error (write) 22: EINVAL (Invalid argument)\n");
  KCanFrame got;
  EXPECT_FALSE(rx.ReceiveData(got));
  // Close changes nothing: the socket still sends and receives.
  tx.Close();
  rx.Close();
  ASSERT_TRUE(tx.SendData(Frame(0x124, {})));
  EXPECT_TRUE(Receive(rx, got));
  EXPECT_EQ(got.mId, 0x124u);
}

// The sending socket of the capture server takes no frames: nothing queues
// up on it for the whole run, and it keeps the kernel's default receive
// queue. Its frames still reach the receiving socket.
TEST_F(KSocketCanGuest, SendOnlySocketReceivesNothing) {
  KRPiCanDriver rx, tx;
  tx.mSendOnly = true;
  ASSERT_TRUE(Up(rx));
  ASSERT_TRUE(Up(tx));
  int fresh = socket(PF_CAN, SOCK_RAW, CAN_RAW);
  ASSERT_GE(fresh, 0);
  int freshSize = 0, txSize = 0, rxSize = 0;
  socklen_t length = sizeof(int);
  ASSERT_EQ(getsockopt(fresh, SOL_SOCKET, SO_RCVBUF, &freshSize, &length), 0);
  close(fresh);
  length = sizeof(int);
  ASSERT_EQ(getsockopt(tx.mSocket, SOL_SOCKET, SO_RCVBUF, &txSize, &length), 0);
  length = sizeof(int);
  ASSERT_EQ(getsockopt(rx.mSocket, SOL_SOCKET, SO_RCVBUF, &rxSize, &length), 0);
  EXPECT_EQ(txSize, freshSize);
  EXPECT_GT(rxSize, freshSize); // the receiving socket's deep queue

  KRPiCanDriver other;
  ASSERT_TRUE(Up(other));
  ASSERT_TRUE(other.SendData(Frame(0x321, {1})));
  ASSERT_TRUE(tx.SendData(Frame(0x322, {2})));
  KCanFrame got;
  ASSERT_TRUE(Receive(rx, got));
  EXPECT_EQ(got.mId, 0x321u);
  ASSERT_TRUE(Receive(rx, got));
  EXPECT_EQ(got.mId, 0x322u);
  for (int i = 0; i < 200; ++i)
    EXPECT_FALSE(tx.ReceiveData(got)) << "the send-only socket received a frame";
}

// A receiver that falls behind loses frames in the kernel's receive queue;
// the loss is counted, never silent: what was received plus what was
// dropped is what was sent. The drop count rides on the next frame queued.
TEST_F(KSocketCanGuest, QueueOverflowIsCounted) {
  KRPiCanDriver rx, tx;
  ASSERT_TRUE(Up(rx));
  ASSERT_TRUE(Up(tx));
  uint32_t sent = 0;
  for (int i = 0; i < 40000; ++i)
    if (tx.SendData(Frame(0x100 + (i & 0xFF), {static_cast<unsigned char>(i)})))
      ++sent;
  uint32_t received = 0;
  KCanFrame f;
  while (rx.ReceiveData(f))
    ++received;
  ASSERT_TRUE(tx.SendData(Frame(0x7FF, {})));
  ++sent;
  ASSERT_TRUE(Receive(rx, f));
  ++received;
  EXPECT_EQ(f.mId, 0x7FFu);
  EXPECT_GT(rx.Dropped(), 0u) << "40000 frames must overflow the receive queue";
  EXPECT_GT(received, 4000u) << "the receive queue holds thousands of frames";
  EXPECT_EQ(received + rx.Dropped(), sent);
}

} // namespace
