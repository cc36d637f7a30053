// Helpers of the KTcpCanClient tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
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
      "socket error (connect) 115: EINPROGRESS (Connection already in progress)\n";
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
