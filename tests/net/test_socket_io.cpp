// KIpSocket over real loopback TCP and UDP sockets: opening, block modes,
// waits, transfers, binding and the descriptors it holds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "KIpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int OpenFds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr)
    return -1;
  while (readdir(d) != nullptr)
    ++n;
  closedir(d);
  return n;
}

bool NonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// A TCP listener on 127.0.0.1 with a port of the kernel's choice.
struct KListener {
  int mFd = -1;
  unsigned short mPort = 0;
  explicit KListener(bool reuse = false) {
    mFd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    if (reuse)
      setsockopt(mFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(mFd, 4);
    socklen_t len = sizeof(a);
    getsockname(mFd, reinterpret_cast<sockaddr*>(&a), &len);
    mPort = ntohs(a.sin_port);
  }
  ~KListener() { close(mFd); }
};

// Opens s, connects it to the listener and gives it the block mode; returns
// the accepted peer descriptor (-1 on failure).
int Connect(KIpSocket& s, KListener& l, TSocketBlockModeEnum mode) {
  s.SetBlockMode(bmBlocking);
  s.Open();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(l.mPort);
  if (connect(s.mSocket, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    return -1;
  s.SetBlockMode(mode);
  return accept(l.mFd, nullptr, nullptr);
}

TEST(KIpSocketOpen, DefaultIsNonBlockingIpv4Stream) {
  KIpSocket s;
  s.Open();
  ASSERT_TRUE(s.mOpen);
  int fd = s.mSocket;
  int value = 0;
  socklen_t len = sizeof(value);
  getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &len);
  EXPECT_EQ(value, SOCK_STREAM);
  getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &value, &len);
  EXPECT_EQ(value, AF_INET);
  EXPECT_TRUE(NonBlocking(fd));
  s.Open();
  EXPECT_EQ(s.mSocket, fd) << "Open on an open socket makes no new descriptor";
  // Recording blocking mode does not touch the descriptor.
  s.SetBlockMode(bmBlocking);
  EXPECT_EQ(s.mBlockMode, bmBlocking);
  EXPECT_TRUE(NonBlocking(fd));
  s.Close();
  EXPECT_FALSE(s.mOpen);
  EXPECT_EQ(s.mSocket, -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  // The next descriptor starts blocking.
  s.Open();
  EXPECT_FALSE(NonBlocking(s.mSocket));
  s.SetBlockMode(bmNonBlocking);
  EXPECT_TRUE(NonBlocking(s.mSocket));
}

TEST(KIpSocketOpen, BadSettingsAreReported) {
  struct Case {
    int family, type;
    const char* printed;
  } cases[] = {
      {AF_INET, 7, "socket error (socket) 22: EINVAL (Invalid argument)\n"}, // type index past the table
      {12345, 0, "socket error (socket) 97: EAFNOSUPPORT (Address family not supported by "
                 "protocol)\n"},
  };
  for (const Case& c : cases) {
    KIpSocket s;
    s.mFamily = c.family;
    s.mType = c.type;
    testing::internal::CaptureStdout();
    s.Open();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_FALSE(s.mOpen);
    EXPECT_EQ(s.mSocket, -1);
  }
}

TEST(KIpSocketOpen, ResetMarksClosedAndDescriptorsAreReleased) {
  KListener l;
  int before = OpenFds();
  {
    KIpSocket s;
    int peer = Connect(s, l, bmBlocking);
    ASSERT_GE(peer, 0);
    linger hard{1, 0}; // the peer's close sends a reset
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(peer);
    char buf[4];
    int fd = s.mSocket;
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf), 0, 0), -1);
    s.Close(); // counts as closed: does nothing
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "socket error (recv) 104: ECONNRESET (Connection reset by peer)\n");
    EXPECT_FALSE(s.mOpen);
    EXPECT_EQ(s.mSocket, fd);
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the report does not close the descriptor";
    EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf), 0, 0), 0);
    // The next Open releases the old descriptor and makes a fresh one.
    s.Open();
    EXPECT_TRUE(s.mOpen);
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    EXPECT_EQ(getpeername(s.mSocket, reinterpret_cast<sockaddr*>(&a), &len), -1);
    KIpSocket stale; // a reset object going away releases its descriptor too
    stale.Open();
    stale.mOpen = false;
  }
  EXPECT_EQ(OpenFds(), before);
}

TEST(KIpSocketSelect, ClosedWritesNoFlagAndNoFlagsOnlySleeps) {
  KIpSocket s;
  bool r = true, w = true, e = true;
  EXPECT_FALSE(s.Select(&r, &w, &e, 0));
  EXPECT_TRUE(r && w && e);
  s.Open();
  auto start = Clock::now();
  EXPECT_FALSE(s.Select(nullptr, nullptr, nullptr, 30));
  EXPECT_GE(ElapsedMs(start), 25);
}

TEST(KIpSocketSelect, PollsTimesOutAndWaitsWithoutLimit) {
  KListener l;
  KIpSocket s;
  int peer = Connect(s, l, bmNonBlocking);
  ASSERT_GE(peer, 0);
  bool r = true, w = false, e = true;
  EXPECT_TRUE(s.Select(&r, &w, &e, 0));
  EXPECT_FALSE(r);
  EXPECT_TRUE(w);
  EXPECT_FALSE(e);

  r = true;
  e = true;
  EXPECT_FALSE(s.Select(&r, nullptr, &e, 20));
  EXPECT_FALSE(r);
  EXPECT_FALSE(e);

  std::thread writer([peer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(write(peer, "x", 1), 1);
  });
  EXPECT_TRUE(s.Select(&r, nullptr, nullptr, -1));
  EXPECT_TRUE(r);
  writer.join();
  close(peer);
}

TEST(KIpSocketSelect, FailedSelectIsReported) {
  // A descriptor number that is no longer open: high enough not to be taken
  // again by the stdout capture, within the grown descriptor table.
  int stale = FD_SETSIZE - 10;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(dup2(fd, stale), stale);
  close(fd);
  close(stale);
  KIpSocket s;
  s.mOpen = true;
  s.mSocket = stale;
  bool r = false, w = false;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(s.Select(&r, &w, nullptr, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "socket error (select) 9: EBADF (Bad file descriptor)\n");
  EXPECT_EQ(s.mError, EBADF);
  EXPECT_TRUE(r && w) << "the sets are read back as the failed call left them";
  s.mOpen = false;
  s.mSocket = -1;
}

TEST(KIpSocketSelect, DescriptorBeyondSetSizeIsRefused) {
  int high = FD_SETSIZE + 100;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (dup2(fd, high) != high) {
    close(fd);
    GTEST_SKIP() << "cannot open descriptor " << high << " (limit of open files too low)";
  }
  close(fd);
  KIpSocket s;
  s.mOpen = true;
  s.mSocket = high;
  bool r = true, w = true;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(s.Select(&r, &w, nullptr, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "socket error (select) 9: EBADF (Bad file descriptor)\n");
  EXPECT_FALSE(r);
  EXPECT_FALSE(w);
  s.Close();
  EXPECT_EQ(fcntl(high, F_GETFD), -1);
}

TEST(KIpSocketTransfer, WaitForDataPeeksWithoutConsuming) {
  KListener l;
  KIpSocket s;
  int peer = Connect(s, l, bmNonBlocking);
  ASSERT_GE(peer, 0);
  EXPECT_FALSE(s.WaitForData(0));
  ASSERT_EQ(write(peer, "ab", 2), 2);
  EXPECT_TRUE(s.WaitForData(1000));
  char buf[8] = {};
  EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf), 0, 1000), 2);
  EXPECT_EQ(std::string(buf, 2), "ab");
  close(peer);
  EXPECT_FALSE(s.WaitForData(1000)) << "a closed peer gives readable with nothing to peek";
  EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf), 0, 1000), 0);
}

TEST(KIpSocketTransfer, ClosedSocketTransfersNothingSilently) {
  KIpSocket s;
  char buf[4] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf), 0, 10), 0);
  EXPECT_EQ(s.SendBuf("abc", 3, 0, 10), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(KIpSocketTransfer, NonBlockingReceiveWaitsForItsTimeout) {
  KListener l;
  KIpSocket s;
  int peer = Connect(s, l, bmNonBlocking);
  ASSERT_GE(peer, 0);
  std::thread writer([peer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(write(peer, "late", 4), 4);
  });
  char buf[8] = {};
  EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf), 0, 5000), 4);
  writer.join();
  // Nothing arrives in time: the receive fails with EAGAIN and says so.
  testing::internal::CaptureStdout();
  EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf), 0, 10), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "socket error (recv) 11: EAGAIN (Resource temporarily unavailable)\n");
  EXPECT_EQ(s.mError, EAGAIN);
  EXPECT_TRUE(s.mOpen);
  // A negative length never reaches the kernel as a huge size.
  testing::internal::CaptureStdout();
  EXPECT_EQ(s.ReceiveBuf(buf, -1, 0, 0), -1);
  EXPECT_EQ(s.SendBuf(buf, -5, 0, 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "socket error (recv) 22: EINVAL (Invalid argument)\n"
            "socket error (send) 22: EINVAL (Invalid argument)\n");
  close(peer);
}

TEST(KIpSocketTransfer, SendTimingOutReturnsZeroSilently) {
  KListener l;
  KIpSocket s;
  int peer = Connect(s, l, bmNonBlocking);
  ASSERT_GE(peer, 0);
  // The peer reads nothing: fill both buffers until the socket stops taking data.
  static char block[65536];
  long total = 0;
  bool timedOut = false;
  long waited = 0;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 10000 && !timedOut; ++i) {
    auto start = Clock::now();
    int n = s.SendBuf(block, sizeof(block), 0, 20);
    waited = ElapsedMs(start);
    ASSERT_GE(n, 0);
    timedOut = n == 0;
    total += n;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(timedOut);
  EXPECT_GE(waited, 15) << "the zero comes from the expired wait";
  EXPECT_GT(total, 0);
  close(peer);
}

TEST(KIpSocketTransfer, SendToVanishedPeerFailsWithoutSignal) {
  KListener l;
  KIpSocket s;
  int peer = Connect(s, l, bmBlocking);
  ASSERT_GE(peer, 0);
  close(peer);
  int result = 0;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 50 && result >= 0; ++i) {
    result = s.SendBuf("data", 4, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(s.mError == EPIPE || s.mError == ECONNRESET) << s.mError;
}

TEST(KIpSocketBind, RetriesWithAddressReuse) {
  KIpSocket closed;
  EXPECT_FALSE(closed.Bind());

  // Leave 127.0.0.1:port in TIME_WAIT by closing the accepted side first.
  unsigned short port;
  {
    KListener l(true);
    port = l.mPort;
    KIpSocket c;
    int peer = Connect(c, l, bmBlocking);
    ASSERT_GE(peer, 0);
    close(peer);
  }
  KIpSocket s;
  s.SetLocalHost("127.0.0.1");
  s.SetLocalPort(port);
  s.Open();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(s.Bind());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "socket error (bind) 98: EADDRINUSE (Address already in use)\n");
  EXPECT_EQ(s.mError, 0);

  // A listening socket on the port cannot be displaced.
  KListener holder;
  KIpSocket t;
  t.SetLocalHost("127.0.0.1");
  t.SetLocalPort(holder.mPort);
  t.Open();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(t.Bind());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "socket error (bind) 98: EADDRINUSE (Address already in use)\n"
            "socket error (bind) 98: EADDRINUSE (Address already in use)\n");
  EXPECT_EQ(t.mError, EADDRINUSE);
}

TEST(KIpSocketDatagram, SenderAddressIsHandedBack) {
  KIpSocket rx, tx;
  for (KIpSocket* s : {&rx, &tx}) {
    s->mType = 1; // datagram
    s->SetLocalHost("127.0.0.1");
    s->Open();
    ASSERT_TRUE(s->Bind());
  }
  sockaddr_in rxAddr{}, txAddr{};
  socklen_t len = sizeof(rxAddr);
  getsockname(rx.mSocket, reinterpret_cast<sockaddr*>(&rxAddr), &len);
  getsockname(tx.mSocket, reinterpret_cast<sockaddr*>(&txAddr), &len);

  EXPECT_EQ(tx.SendTo("ping", 4, reinterpret_cast<const sockaddr&>(rxAddr), 0, 1000), 4);
  char buf[16] = {};
  sockaddr from{};
  int fromLength = 1000; // more than the record holds: must not be written past it
  EXPECT_EQ(rx.ReceiveFrom(buf, sizeof(buf), from, fromLength, 0, 1000), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  EXPECT_EQ(fromLength, static_cast<int>(sizeof(sockaddr_in)));
  const sockaddr_in& sender = reinterpret_cast<const sockaddr_in&>(from);
  EXPECT_EQ(sender.sin_port, txAddr.sin_port);
  EXPECT_EQ(sender.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

} // namespace
