#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "KCanServer.h"

namespace {

KCanFrame Numbered(uint32_t n) {
  KCanFrame f;
  f.mCounter = n;
  f.mId = n & 0x1FFFFFFF;
  f.mLen = 8;
  f.mDays = static_cast<int>(n);
  f.mMs = static_cast<int>(n ^ 0x5A5A5A5A);
  for (int i = 0; i < 8; ++i)
    f.mData[i] = static_cast<unsigned char>(n >> (i % 4 * 8));
  f.mFlags = n & 0xFF;
  return f;
}

// The whole record must be the one written for that number: nothing torn.
bool Intact(const KCanFrame& f) {
  KCanFrame expected = Numbered(f.mCounter);
  return std::memcmp(&f, &expected, sizeof(f)) == 0;
}

// A driver that hands out scripted frames; the capture thread is the only
// caller of ReceiveData.
class KScriptDriver : public KCanDriver {
public:
  explicit KScriptDriver(std::vector<KCanFrame> frames, bool connects = true)
      : mFrames(std::move(frames)), mConnects(connects) {}
  ~KScriptDriver() override { mDeleted = true; }
  bool Init(const char* dev) override { return KCanDriver::Init(dev); }
  void Close() override { ++mCloses; }
  bool Connect() override { return mConnects; }
  bool ReceiveData(KCanFrame& frame) override {
    if (mSlowMs > 0)
      NCanUtils::SleepMs(mSlowMs); // still inside the driver when the server goes
    if (mNext >= mFrames.size()) {
      NCanUtils::SleepMs(1);
      return false;
    }
    frame = mFrames[mNext++];
    return true;
  }
  bool ReadData(KCanFrame&) override { return false; }
  bool SendData(const KCanFrame& frame) override {
    mSent.push_back(frame);
    return true;
  }
  bool Lost() const override { return mLost && mNext >= mFrames.size(); }

  std::vector<KCanFrame> mFrames;
  size_t mNext = 0;
  bool mConnects;
  bool mLost = false;
  int mSlowMs = 0;
  int mCloses = 0;
  std::vector<KCanFrame> mSent;
  static bool mDeleted;
};
bool KScriptDriver::mDeleted = false;

TEST(KCanServerRing, FirstFrameGoesToSlotOne) {
  KCanServer server;
  EXPECT_EQ(server.RingCount(), 0);
  server.PutFrame(Numbered(1));
  EXPECT_EQ(server.mWriteIndex.load(), 1);
  EXPECT_EQ(server.mRing[1].mCounter, 1u);
  EXPECT_EQ(server.mRing[0].mCounter, 0u);
  for (uint32_t n = 2; n <= 10239; ++n)
    server.PutFrame(Numbered(n));
  EXPECT_EQ(server.mRing[0].mCounter, 0u);
  KCanFrame f;
  ASSERT_TRUE(server.GetFrame(f)); // make room so the next put is no overwrite
  server.PutFrame(Numbered(10240));
  EXPECT_EQ(server.mWriteIndex.load(), 0); // the 10240th frame wraps to slot 0
  EXPECT_EQ(server.mRing[0].mCounter, 10240u);
}

TEST(KCanServerRing, HoldsAtMost10239AndDropsTheOldest) {
  KCanServer server;
  for (uint32_t n = 1; n <= 10239; ++n)
    server.PutFrame(Numbered(n));
  EXPECT_EQ(server.RingCount(), 10239);
  EXPECT_EQ(server.Overwritten(), 0u);
  server.PutFrame(Numbered(10240));
  EXPECT_EQ(server.RingCount(), 10239);
  EXPECT_EQ(server.Overwritten(), 1u);
  KCanFrame f;
  ASSERT_TRUE(server.GetFrame(f));
  EXPECT_EQ(f.mCounter, 2u); // frame 1 is gone
  uint32_t expected = 3;
  while (server.GetFrame(f)) {
    ASSERT_EQ(f.mCounter, expected);
    ++expected;
  }
  EXPECT_EQ(expected, 10241u);
}

TEST(KCanServerRing, FullAboveThreeQuarters) {
  KCanServer server;
  for (uint32_t n = 1; n <= 7680; ++n)
    server.PutFrame(Numbered(n));
  EXPECT_FALSE(server.RingBufferFull());
  server.PutFrame(Numbered(7681));
  EXPECT_TRUE(server.RingBufferFull());
  KCanFrame f;
  server.GetFrame(f);
  EXPECT_FALSE(server.RingBufferFull());
}

TEST(KCanServerRing, EmptyRingLeavesFrameUntouched) {
  KCanServer server;
  KCanFrame f = Numbered(77);
  EXPECT_FALSE(server.GetFrame(f));
  EXPECT_TRUE(Intact(f));
  EXPECT_EQ(f.mCounter, 77u);
  server.PutFrame(Numbered(5));
  ASSERT_TRUE(server.GetFrame(f));
  EXPECT_EQ(f.mCounter, 5u);
  EXPECT_FALSE(server.GetFrame(f));
  EXPECT_EQ(f.mCounter, 5u);
}

TEST(KCanServerCapture, RenumbersFramesInOrderOfReception) {
  std::vector<KCanFrame> script;
  for (uint32_t n : {900u, 5u, 5u, 123456u})
    script.push_back(Numbered(n));
  KCanServer server;
  auto* driver = new KScriptDriver(script);
  server.mRecvDriver.reset(driver); // owned by the server from here on
  server.Resume();
  KCanFrame f;
  std::vector<KCanFrame> got;
  for (int i = 0; i < 5000 && got.size() < script.size(); ++i) {
    if (server.GetFrame(f))
      got.push_back(f);
    else
      NCanUtils::SleepMs(1);
  }
  ASSERT_EQ(got.size(), script.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].mCounter, i);
    EXPECT_EQ(got[i].mId, script[i].mId);
    EXPECT_EQ(got[i].mDays, script[i].mDays);
  }
  EXPECT_FALSE(server.Terminated());
}

TEST(KCanServerCapture, DriverThatDoesNotConnectEndsTheCapture) {
  KCanServer server;
  server.mRecvDriver.reset(new KScriptDriver({Numbered(1)}, false));
  server.Resume();
  for (int i = 0; i < 5000 && !server.Finished(); ++i)
    NCanUtils::SleepMs(1);
  EXPECT_TRUE(server.Terminated());
  EXPECT_TRUE(server.Finished());
  EXPECT_EQ(server.RingCount(), 0);
}

TEST(KCanServerCapture, LostDeviceEndsTheCaptureAfterItsLastFrame) {
  KCanServer server;
  auto* driver = new KScriptDriver({Numbered(1), Numbered(2)});
  driver->mLost = true;
  server.mRecvDriver.reset(driver);
  server.Resume();
  for (int i = 0; i < 5000 && !server.Finished(); ++i)
    NCanUtils::SleepMs(1);
  EXPECT_TRUE(server.Terminated());
  EXPECT_EQ(server.RingCount(), 2);
}

TEST(KCanServerCapture, DestroyedWhileTheThreadIsInsideTheDriver) {
  KScriptDriver::mDeleted = false;
  {
    KCanServer server;
    auto* driver = new KScriptDriver({});
    driver->mSlowMs = 50;
    server.mRecvDriver.reset(driver);
    server.Resume();
    NCanUtils::SleepMs(20); // the thread now sleeps inside ReceiveData
  } // AddressSanitizer reports a use after free if the driver goes first
  EXPECT_TRUE(KScriptDriver::mDeleted);
}

TEST(KCanServerCapture, InitOnceAndSendDataPrefersTheSendingDriver) {
  KCanServer server;
  auto* recv = new KScriptDriver({});
  auto* send = new KScriptDriver({});
  server.mRecvDriver.reset(recv);
  server.mSendDriver.reset(send);
  EXPECT_TRUE(server.Init("vcan7"));
  EXPECT_STREQ(server.GetDev(), "vcan7");
  EXPECT_FALSE(server.Init("can1")); // effective once only
  EXPECT_STREQ(server.GetDev(), "vcan7");
  EXPECT_EQ(server.mRecvDriver.get(), recv);
  KCanFrame f = Numbered(3);
  EXPECT_TRUE(server.SendData(f));
  EXPECT_EQ(send->mSent.size(), 1u);
  EXPECT_EQ(recv->mSent.size(), 0u);
}

TEST(KCanServerCapture, NoDriverMeansNothingToSendOrName) {
  KCanServer server;
  EXPECT_STREQ(server.GetDev(), "");
  EXPECT_FALSE(server.SendData(Numbered(1)));
}

TEST(KCanServerCapture, HaltTerminates) {
  KCanServer server;
  server.Halt();
  EXPECT_TRUE(server.Terminated());
}

// One thread puts frames as fast as it can while another drains: every frame
// taken out is whole, in order, never twice; the only frames missing are
// those the ring overwrote, and they are all counted.
TEST(KCanServerStress, ConcurrentPutAndDrain) {
  uint32_t total = 10000000;
  if (const char* env = std::getenv("TELLTRAIL_STRESS_FRAMES"))
    total = static_cast<uint32_t>(std::strtoul(env, nullptr, 10));
  KCanServer server;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (uint32_t n = 1; n <= total; ++n)
      server.PutFrame(Numbered(n));
    done = true;
  });
  uint64_t received = 0, missing = 0, bad = 0;
  uint32_t last = 0;
  KCanFrame f;
  for (;;) {
    bool finished = done.load();
    bool any = false;
    while (server.GetFrame(f)) {
      any = true;
      if (!Intact(f) || f.mCounter <= last)
        ++bad;
      else
        missing += f.mCounter - last - 1;
      last = f.mCounter;
      ++received;
    }
    if (finished && !any)
      break;
  }
  producer.join();
  missing += total - last;
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(received + server.Overwritten(), total);
  EXPECT_EQ(missing, server.Overwritten());
  RecordProperty("frames", static_cast<int>(total));
  RecordProperty("overwritten", static_cast<int>(server.Overwritten()));
  std::printf("stress: %u frames put, %llu received, %u overwritten\n", total,
              static_cast<unsigned long long>(received), server.Overwritten());
}

} // namespace
