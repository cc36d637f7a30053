// Kernel receive time stamps (SO_TIMESTAMP control messages) after
// 2038-01-19, as the SocketCAN driver turns them into a frame's day/ms stamp.
// 64-bit seconds arrive in the SO_TIMESTAMP_NEW message on 32-bit Arm built
// with 64-bit time_t, and in the old message type on 64-bit systems; no step
// on the way may cut them to 32 bits.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "KRPiCanDriver.h"
#include "NCanUtils.h"

namespace {

enum : int { cOldType = 29, cNewType = 63 }; // SO_TIMESTAMP_OLD, SO_TIMESTAMP_NEW

// Control messages laid out as the kernel delivers them.
class KControl {
public:
  KControl() {
    std::memset(&mBuffer, 0, sizeof(mBuffer));
    std::memset(&mMessage, 0, sizeof(mMessage));
    mMessage.msg_control = mBuffer;
  }
  // One message with two 64-bit values (seconds, microseconds).
  void Add(int level, int type, int64_t first, int64_t second) {
    unsigned char* at = mBuffer + mUsed;
    cmsghdr header;
    std::memset(&header, 0, sizeof(header));
    header.cmsg_level = level;
    header.cmsg_type = type;
    header.cmsg_len = CMSG_LEN(2 * sizeof(int64_t));
    std::memcpy(at, &header, sizeof(header));
    unsigned char* data = at + CMSG_LEN(0);
    std::memcpy(data, &first, sizeof(int64_t));
    std::memcpy(data + sizeof(int64_t), &second, sizeof(int64_t));
    mUsed += CMSG_SPACE(2 * sizeof(int64_t));
    mMessage.msg_controllen = mUsed;
  }
  const msghdr& Message() const { return mMessage; }

private:
  alignas(cmsghdr) unsigned char mBuffer[256];
  std::size_t mUsed = 0;
  msghdr mMessage;
};

TEST(KernelTime, StampsAfter2038) {
  struct {
    int type;
    long long sec;
    long long usec;
    int days;
    int ms;
    const char* text; // PrintDateTime
  } cases[] = {
      {cNewType, 2147483648LL, 0, 13898, 11648000, "2038-01-19 03:14:08.000"},
      {cNewType, 2214129600LL, 250999, 14669, 43200250, "2040-02-29 12:00:00.250"},
      {cOldType, 2214129600LL, 1000, 14669, 43200001, "2040-02-29 12:00:00.001"},
      {cNewType, 4294967296LL, 0, 38753, 23296000, nullptr}, // 2106, past 32 bits unsigned
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sec);
    KControl control;
    control.Add(SOL_SOCKET, c.type, c.sec, c.usec);
    timeval tv{};
    ASSERT_TRUE(KRPiCanDriver::KernelTime(control.Message(), tv));
    EXPECT_EQ(static_cast<long long>(tv.tv_sec), c.sec);
    EXPECT_EQ(static_cast<long long>(tv.tv_usec), c.usec);
    KCanFrame f;
    NCanUtils::ArtTime(tv, f.mDays, f.mMs);
    EXPECT_EQ(f.mDays, c.days);
    EXPECT_EQ(f.mMs, c.ms);
    if (c.text) {
      char text[cTimeTextSize];
      NCanUtils::PrintDateTime(f.mDays, f.mMs, text);
      EXPECT_EQ(std::string(text), c.text);
    }
  }
}

} // namespace
