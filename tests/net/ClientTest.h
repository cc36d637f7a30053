// Helpers of the KTcpCanClient tests.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "KTcpCanClient.h"

using Clock = std::chrono::steady_clock;

inline long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

inline void Aim(KTcpCanClient& c, unsigned short port, TSocketBlockModeEnum mode,
                const char* host = "127.0.0.1") {
  c.SetBlockMode(mode);
  c.SetRemoteHost(host);
  c.SetRemotePort(port);
}

// Ends a stdout capture. In non-blocking mode every connect first reports
// its EINPROGRESS; that line is checked and removed, so the rest of the
// output is the same in both modes.
inline std::string Captured(TSocketBlockModeEnum mode) {
  std::string out = testing::internal::GetCapturedStdout();
  const std::string note =
      "socket error (connect) 115: EINPROGRESS (Operation now in progress)\n";
  if (mode == bmNonBlocking) {
    EXPECT_EQ(out.rfind(note, 0), 0u) << out;
    if (out.rfind(note, 0) == 0)
      out.erase(0, note.size());
  }
  return out;
}

inline std::string ModeName(const testing::TestParamInfo<TSocketBlockModeEnum>& info) {
  return info.param == bmBlocking ? "Blocking" : "NonBlocking";
}

// A client holding one end of a socket pair as an established connection
// (blocking mode), the test the other.
struct KSocketPair {
  KTcpCanClient client;
  int peer = -1;
  KSocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
      std::abort();
    client.SetBlockMode(bmBlocking);
    client.mOpen = true;
    client.mSocket = fds[0];
    client.mConnected = true;
    peer = fds[1];
  }
  ~KSocketPair() { close(peer); }
  KSocketPair(const KSocketPair&) = delete;
  KSocketPair& operator=(const KSocketPair&) = delete;
  void Write(const std::string& text) {
    ASSERT_EQ(write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Everything the client sent, once it is closed (or shut down here).
  std::string ReadAll() {
    if (client.mOpen)
      shutdown(client.mSocket, SHUT_WR);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(peer, buf, sizeof(buf))) > 0)
      got.append(buf, static_cast<std::size_t>(n));
    return got;
  }
};
