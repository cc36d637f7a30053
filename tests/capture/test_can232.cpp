#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <thread>
#include <vector>

#include "KCan232.h"
#include "KCanServer.h"
#include "PtyPeer.h"

namespace {

const char cStartup[] = "\rC\rX1\rV\rS1\rO\r";

long long NowUnixMs() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

long long FrameUnixMs(const KCanFrame& f) {
  return (static_cast<long long>(f.mDays) + NCanUtils::cEpochOffsetDays) * NCanUtils::cMsPerDay +
         f.mMs;
}

KCanFrame Frame(uint32_t id, std::vector<unsigned char> data) {
  KCanFrame f;
  f.mId = id;
  f.mLen = static_cast<int>(data.size());
  for (size_t i = 0; i < data.size(); ++i)
    f.mData[i] = data[i];
  return f;
}

// A KCan232 on a pseudo-terminal whose master the test drives.
class KCan232Test : public testing::Test {
protected:
  void SetUp() override {
    if (!mPeer.Ok())
      GTEST_SKIP() << "no pseudo-terminal or no writable /tmp for its link: "
                   << std::strerror(errno);
    ASSERT_TRUE(mDriver.Init(mPeer.Device().c_str()));
    ASSERT_TRUE(mDriver.Connect());
    ASSERT_EQ(mPeer.ReadBytes(13), std::string(cStartup));
  }
  void TearDown() override { mDriver.Close(); }

  // Calls ReceiveData until `quietCalls` calls in a row deliver nothing.
  std::vector<KCanFrame> Collect(int quietCalls = 30) {
    std::vector<KCanFrame> frames;
    for (int quiet = 0; quiet < quietCalls;) {
      KCanFrame f;
      if (mDriver.ReceiveData(f)) {
        frames.push_back(f);
        quiet = 0;
      } else {
        ++quiet;
      }
    }
    return frames;
  }

  // Polls the driver until its line holds `length` bytes (single-threaded, so
  // the line may be inspected between calls).
  bool PumpUntilLineLength(int length) {
    for (int i = 0; i < 2000; ++i) {
      if (mDriver.mLineLen == length)
        return true;
      KCanFrame f;
      EXPECT_FALSE(mDriver.ReceiveData(f));
    }
    return false;
  }

  // Keeps calling ReceiveData for `ms`, as the capture thread does while the
  // line is quiet.
  // Returns how long it took.
  std::chrono::steady_clock::duration PumpFor(int ms) {
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      KCanFrame f;
      EXPECT_FALSE(mDriver.ReceiveData(f));
    }
    return std::chrono::steady_clock::now() - start;
  }

  KPtyPeer mPeer;
  KCan232 mDriver;
};

TEST_F(KCan232Test, FrameLineDeliversFrameWithCurrentTime) {
  long long before = NowUnixMs();
  mPeer.Write("t1230\r");
  std::vector<KCanFrame> frames = Collect();
  long long after = NowUnixMs();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].mId, 0x123u);
  EXPECT_EQ(frames[0].mLen, 0);
  EXPECT_EQ(frames[0].mCounter, 0u);
  EXPECT_EQ(frames[0].mFlags, 0u);
  EXPECT_GE(FrameUnixMs(frames[0]), before);
  EXPECT_LE(FrameUnixMs(frames[0]), after);
}

TEST_F(KCan232Test, ReceivedStreams) {
  const struct {
    const char* mName;
    std::string mBytes;
    std::vector<uint32_t> mIds;
  } cases[] = {
      {"version reply", "V1013\r", {}},
      {"command acknowledgements", "\r\r\r", {}},
      {"acknowledgement nobody waits for", "z\rZ\r", {}},
      {"two frames and a reply between", "t1230\rV1013\rr7FF0\r", {0x123, 0x400007FF}},
      {"noise before a frame letter", "\x01\xff" "abc\x07T18FEF1003112233\r", {0x98FEF100u}},
      {"frame letter restarts a broken line", "t12t4561AA\r", {0x456}},
      {"truncated line", "t12\rt1231\r", {}},
      {"line feed after CR", "t1230\r\nt1240\r\n", {0x123, 0x124}},
      {"extended remote", "R000000010\r", {0xC0000001u}},
      {"lower-case hex", "t7ff1ab\r", {0x7FF}},
  };
  for (const auto& c : cases) {
    mPeer.Write(c.mBytes);
    std::vector<KCanFrame> frames = Collect();
    ASSERT_EQ(frames.size(), c.mIds.size()) << c.mName;
    for (size_t i = 0; i < frames.size(); ++i)
      EXPECT_EQ(frames[i].mId, c.mIds[i]) << c.mName << " frame " << i;
  }
  mPeer.Write("t1232A0B1\r");
  std::vector<KCanFrame> frames = Collect();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].EqualData(Frame(0x123, {0xA0, 0xB1})));
}

TEST_F(KCan232Test, PauseWithinLine) {
  // 60 ms between two bytes: the first part is forgotten, the rest is no frame.
  mPeer.Write("t12");
  ASSERT_TRUE(PumpUntilLineLength(3));
  PumpFor(60);
  EXPECT_EQ(mDriver.mLineLen, 0);
  mPeer.Write("30\r");
  EXPECT_TRUE(Collect().empty());

  // A reader that was held up does not drop a line whose bytes were waiting
  // for it: no quiet port was seen in between.
  mPeer.Write("t12");
  ASSERT_TRUE(PumpUntilLineLength(3));
  mPeer.Write("30\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  std::vector<KCanFrame> late = Collect();
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].mId, 0x123u);

  // 40 ms pauses keep the line. A pause measured above the time-out (an
  // overloaded machine) does not count as a result; the case is repeated.
  bool delivered = false;
  for (int attempt = 0; attempt < 5 && !delivered; ++attempt) {
    bool clean = true;
    mPeer.Write("t1");
    ASSERT_TRUE(PumpUntilLineLength(2));
    auto last = std::chrono::steady_clock::now();
    for (const char* part : {"2", "3"}) {
      auto pause = PumpFor(40);
      clean = clean && pause < std::chrono::milliseconds(48);
      mPeer.Write(part);
      ASSERT_TRUE(PumpUntilLineLength(mDriver.mLineLen + 1));
      auto now = std::chrono::steady_clock::now();
      clean = clean && now - last < std::chrono::milliseconds(48);
      last = now;
    }
    auto pause = PumpFor(40);
    clean = clean && pause < std::chrono::milliseconds(48);
    mPeer.Write("0\r");
    std::vector<KCanFrame> frames = Collect();
    if (clean) {
      ASSERT_EQ(frames.size(), 1u);
      EXPECT_EQ(frames[0].mId, 0x123u);
      delivered = true;
    }
  }
  if (!delivered)
    GTEST_SKIP() << "the machine is too busy to keep pauses of 40 ms below 48 ms";
}

TEST_F(KCan232Test, OverlongLineGivesOverflowAtByte127) {
  mPeer.Write(std::string(130, '5'));
  std::vector<int> results;
  for (int i = 0; i < 5000 && results.size() < 130; ++i) {
    int c = mDriver.ReadFromCOM();
    if (c != KComm::cNoByte)
      results.push_back(c);
  }
  ASSERT_EQ(results.size(), 130u);
  for (size_t i = 0; i < 130; ++i)
    EXPECT_EQ(results[i], i == 126 ? static_cast<int>(KCanCommDriver::cLineOverflow) : int{'5'}) << "byte " << i + 1;
  EXPECT_EQ(mDriver.mLineLen, 3); // restarted empty with the 128th byte

  // Through ReceiveData: 200 digits without a CR do not hide the next frame.
  mPeer.Write(std::string(200, '7') + "\rt1230\r");
  std::vector<KCanFrame> frames = Collect();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].mId, 0x123u);
}

TEST_F(KCan232Test, AcknowledgementDeliversTheSentFrame) {
  const struct {
    const char* mName;
    std::vector<KCanFrame> mSends;
    std::string mReply;
    std::vector<uint32_t> mIds;
  } cases[] = {
      {"z after a send", {Frame(0x321, {1, 2})}, "z\r", {0x321}},
      {"Z after a send", {Frame(0x80012345u, {})}, "Z\r", {0x80012345u}},
      {"one pairing per send", {Frame(0x321, {})}, "z\rz\r", {0x321}},
      {"only the latest send is paired", {Frame(0x100, {}), Frame(0x200, {})}, "z\rz\r", {0x200}},
      {"BEL cancels the pairing", {Frame(0x321, {})}, "\az\r", {}},
      {"a received frame first", {Frame(0x321, {})}, "t1110\rz\r", {0x111, 0x321}},
      {"no send, no pairing", {}, "z\r", {}},
  };
  for (const auto& c : cases) {
    long long before = NowUnixMs();
    for (const KCanFrame& f : c.mSends) {
      KCanFrame sent = f;
      sent.mCounter = 4711;
      EXPECT_TRUE(mDriver.SendData(sent)) << c.mName;
    }
    std::string expectedLines;
    for (const KCanFrame& f : c.mSends) {
      KCan232Frame line;
      line.GetCanFrame(f);
      expectedLines += std::string(line.mText) + "\r";
    }
    EXPECT_EQ(mPeer.ReadBytes(expectedLines.size()), expectedLines) << c.mName;
    mPeer.Write(c.mReply);
    std::vector<KCanFrame> frames = Collect();
    long long after = NowUnixMs();
    ASSERT_EQ(frames.size(), c.mIds.size()) << c.mName;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].mId, c.mIds[i]) << c.mName;
      if (frames[i].mId == c.mSends.back().mId) {
        EXPECT_TRUE(frames[i].EqualData(c.mSends.back())) << c.mName;
        EXPECT_EQ(frames[i].mCounter, 4711u) << c.mName; // the sent frame whole
        EXPECT_GE(FrameUnixMs(frames[i]), before) << c.mName;
        EXPECT_LE(FrameUnixMs(frames[i]), after) << c.mName;
      }
    }
  }
}

TEST_F(KCan232Test, SendDropsPartialLineAndReadDataIsEmpty) {
  mPeer.Write("t12");
  ASSERT_TRUE(PumpUntilLineLength(3));
  ASSERT_TRUE(mDriver.SendData(Frame(0x7FF, {})));
  mPeer.ReadBytes(6);
  mPeer.Write("30\r"); // the rest of the dropped line: no frame
  EXPECT_TRUE(Collect().empty());
  KCanFrame f;
  EXPECT_FALSE(mDriver.ReadData(f));
}

TEST_F(KCan232Test, SendAndReceiveFromTwoThreads) {
  // The capture thread receives while another thread sends; the adapter
  // acknowledges every frame line and sends frames of its own in between.
  const int cSends = 150;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::vector<KCanFrame> received;
  std::atomic<int> acked{0};
  std::thread capture([&] {
    while (!stop) {
      KCanFrame f;
      if (mDriver.ReceiveData(f)) {
        std::lock_guard<std::mutex> guard(lock);
        received.push_back(f);
        if (f.mId >= 0x400)
          ++acked;
      }
    }
  });
  std::thread adapter([&] {
    std::string pending;
    int acks = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (acks < cSends && std::chrono::steady_clock::now() < end) {
      pending += mPeer.ReadAvailable(5);
      size_t cr;
      while ((cr = pending.find('\r')) != std::string::npos) {
        pending.erase(0, cr + 1);
        mPeer.Write("t0010\rz\rt0020\r");
        ++acks;
      }
    }
  });
  int paired = 0;
  for (int i = 0; i < cSends; ++i) {
    KCanFrame f = Frame(0x400 + static_cast<uint32_t>(i), {static_cast<unsigned char>(i), 0x55});
    EXPECT_TRUE(mDriver.SendData(f));
    // Wait for this frame's acknowledgement before the next send, so that
    // every send is paired.
    for (int w = 0; w < 20000 && acked <= i; ++w)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (acked != i + 1) {
      ADD_FAILURE() << "no acknowledgement delivered for send " << i;
      break;
    }
  }
  adapter.join();
  // Let the last frames of the adapter come in.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop = true;
  capture.join();
  int own = 0;
  for (const KCanFrame& f : received) {
    if (f.mId >= 0x400) {
      EXPECT_EQ(f.mId, 0x400u + static_cast<uint32_t>(paired)) << "pairing out of order";
      EXPECT_EQ(f.mLen, 2);
      EXPECT_EQ(f.mData[0], static_cast<unsigned char>(f.mId - 0x400));
      EXPECT_EQ(f.mData[1], 0x55);
      ++paired;
    } else {
      EXPECT_TRUE(f.mId == 0x001 || f.mId == 0x002) << std::hex << f.mId;
      ++own;
    }
  }
  EXPECT_EQ(paired, cSends);
  EXPECT_EQ(own, 2 * cSends);
}

TEST(KCan232, InitRefusesNamesThePortCannotTake) {
  KPtyPeer peer;
  if (!peer.Ok())
    GTEST_SKIP() << "no pseudo-terminal or no writable /tmp for its link";
  KCan232 driver;
  EXPECT_FALSE(driver.Init(nullptr));
  EXPECT_FALSE(driver.Connect());
  std::string name63 = peer.DeviceOfLength(63);
  ASSERT_EQ(name63.size(), 63u);
  EXPECT_FALSE(driver.Init(name63.c_str()));
  EXPECT_FALSE(driver.Connect());
  EXPECT_EQ(std::string(driver.mDev), name63); // shown as the device, not opened

  ASSERT_TRUE(driver.Init(peer.Device().c_str()));
  EXPECT_TRUE(driver.Connect());
  EXPECT_EQ(std::string(driver.mDev), peer.Device());
  // A refused name on a second Init must not reopen the earlier device.
  EXPECT_FALSE(driver.Init(name63.c_str()));
  EXPECT_FALSE(driver.Connect());
  EXPECT_FALSE(driver.Init("ttyDoesNotExist0"));
  EXPECT_FALSE(driver.Connect());
  driver.Close();
}

TEST_F(KCan232Test, VanishedPortIsReportedOnce) {
  testing::internal::CaptureStdout();
  mPeer.CloseMaster();
  int frames = 0;
  for (int i = 0; i < 50; ++i) {
    KCanFrame f;
    frames += mDriver.ReceiveData(f) ? 1 : 0;
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(frames, 0);
  EXPECT_TRUE(mDriver.Lost());
  EXPECT_EQ(out, "serial port /dev/" + mPeer.Device() + " lost\n");
}

TEST(KCan232Server, CapturesFromTheAdapterAndEndsWhenItVanishes) {
  KPtyPeer peer;
  if (!peer.Ok())
    GTEST_SKIP() << "no pseudo-terminal or no writable /tmp for its link";
  testing::internal::CaptureStdout();
  std::vector<KCanFrame> frames;
  {
    KCanServer server;
    ASSERT_TRUE(server.Init(peer.Device().c_str())); // "tty" in the name: the CAN232 driver
    EXPECT_EQ(std::string(server.GetDev()), peer.Device());
    EXPECT_EQ(server.mSendDriver, nullptr);
    EXPECT_EQ(peer.ReadBytes(13), std::string(cStartup));
    server.Resume();
    peer.Write("t1001AA\rV1013\rT000002002BBCC\rr3000\r");
    for (int i = 0; i < 2000 && frames.size() < 3; ++i) {
      KCanFrame f;
      if (server.GetFrame(f))
        frames.push_back(f);
      else
        NCanUtils::SleepMs(1);
    }
    peer.CloseMaster();
    for (int i = 0; i < 2000 && !server.Terminated(); ++i)
      NCanUtils::SleepMs(1);
    EXPECT_TRUE(server.Terminated()); // the capture ended by itself
  }
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(frames.size(), 3u);
  const uint32_t ids[] = {0x100, 0x80000200u, 0x40000300u};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i].mCounter, i);
    EXPECT_EQ(frames[i].mId, ids[i]);
  }
  EXPECT_EQ(out, "serial port /dev/" + peer.Device() + " lost\n");
}

} // namespace
