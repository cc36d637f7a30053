// The forwarder against a scripted far side, with a real spool in a
// temporary folder: every frame reaches the far side once and in order
// (duplicates are counted, not absorbed), across outages, slow and partial
// deliveries, refused frames, a stop with a hung far side, restarts on the
// same spool and a crash at every step of a drain. No root, servers or
// sockets: it runs in every stage.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "KCanServer.h"
#include "KForwarder.h"
#include "KSpool.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// What the far side does with the next deliveries.
enum TModeEnum { moTake, moHalf, moAway, moHang, moGate };

class KScriptedOutput : public KFrameOutput {
public:
  const char* Name() const override { return "scripted"; }
  void Describe(char* out, std::size_t size) const override { std::snprintf(out, size, "script"); }
  void FailureText(char* out, std::size_t size) const override {
    std::lock_guard<std::mutex> lock(mLock);
    std::snprintf(out, size, "%s", mReason.c_str());
  }
  void SetQuiet(bool) override {}
  void SetStopEvent(int fd) override { mStopEvent = fd; }
  int MaxBatch() const override { return 16; }
  int ChunkFrames() const override { return 40; }
  TDeliveryEnum Test() override { return mTestResult; }

  KDelivery Deliver(const KCanFrame* frames, int count) override {
    std::unique_lock<std::mutex> lock(mLock);
    ++mCalls;
    mCallTimes.push_back(Clock::now());
    if (mOnCall)
      mOnCall(mCalls);
    mChanged.notify_all();
    KDelivery d;
    if (mMode == moGate) {
      mChanged.wait(lock, [this] { return mMode != moGate; });
    }
    if (mMode == moHang) {
      // Silent until the forwarder's stop ends the exchange.
      lock.unlock();
      pollfd p{mStopEvent, POLLIN, 0};
      while (poll(&p, 1, -1) < 0) {
      }
      lock.lock();
      mReason = "no answer";
      d.mResult = dlUnreachable;
      return d;
    }
    if (mMode == moAway) {
      mReason = "far side down";
      d.mResult = dlUnreachable;
      return d;
    }
    // A refused frame in the batch: the whole request is refused, as a web
    // server's does; the forwarder narrows it down.
    for (int i = 0; i < count; ++i)
      if (mRefuse.count(frames[i].mCounter) != 0) {
        mReason = "bad frame";
        d.mResult = dlRefused;
        d.mSpan = count;
        return d;
      }
    d.mDone = mMode == moHalf ? (count + 1) / 2 : count;
    for (int i = 0; i < d.mDone; ++i)
      mDelivered.push_back(frames[i].mCounter);
    mChanged.notify_all();
    return d;
  }

  void SetMode(TModeEnum mode) {
    std::lock_guard<std::mutex> lock(mLock);
    mMode = mode;
    mChanged.notify_all();
  }
  // Waits until `done` holds (under the lock); false after 30 s.
  bool WaitUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mLock);
    return mChanged.wait_for(lock, std::chrono::seconds(30), done);
  }

  mutable std::mutex mLock;
  std::condition_variable mChanged;
  TModeEnum mMode = moTake;
  std::set<uint32_t> mRefuse;
  std::vector<uint32_t> mDelivered;
  std::vector<Clock::time_point> mCallTimes;
  std::function<void(int)> mOnCall; // called under the lock at every call
  std::string mReason;
  int mCalls = 0;
  int mStopEvent = -1;
  TDeliveryEnum mTestResult = dlTaken;
};

// The console captured while it lives, also when a check ends a test early.
class KConsole {
public:
  KConsole() { CaptureStdout(); }
  ~KConsole() {
    if (!mTaken)
      GetCapturedStdout();
  }
  std::string Take() {
    mTaken = true;
    return GetCapturedStdout();
  }

private:
  bool mTaken = false;
};

KCanFrame Frame(uint32_t counter) {
  KCanFrame f;
  f.mCounter = counter;
  f.mDays = 20000;
  f.mMs = 1000 + counter;
  f.mId = 0x100u + counter % 7;
  f.mLen = static_cast<int>(counter % 9);
  for (int b = 0; b < 8; ++b)
    f.mData[b] = static_cast<unsigned char>(counter + b);
  return f;
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
  std::vector<uint32_t> v;
  for (uint32_t c = first; c <= last; ++c)
    v.push_back(c);
  return v;
}

class ForwarderTest : public testing::Test {
protected:
  void SetUp() override {
    char dir[] = "/tmp/telltrail-forwarder-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    mDir = dir;
  }
  void TearDown() override { std::system(("rm -rf '" + mDir + "'").c_str()); }

  // Frames first..last in periods of `perPeriod`.
  static void Feed(KForwarder& f, uint32_t first, uint32_t last, uint32_t perPeriod) {
    for (uint32_t c = first; c <= last; ++c) {
      f.Add(Frame(c));
      if ((c - first + 1) % perPeriod == 0)
        f.EndPeriod();
    }
    f.EndPeriod();
  }

  std::string mDir;
  KCanServer mServer;
};

// The planted fault of a new chunk spooled before the delivery in
// progress and the queue shows here as frames missing and others twice.
TEST_F(ForwarderTest, EveryFrameOnceInOrderAcrossOutagesSlowHalfAndHungDeliveries) {
  KScriptedOutput out;
  KSpool spool;
  KConsole console;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 64 << 20));
  {
    KForwarder f(out, &spool, mServer, 1);
    f.Start();
    // A slow far side: the first delivery holds while more periods come.
    out.SetMode(moGate);
    f.Add(Frame(1));
    f.EndPeriod();
    ASSERT_TRUE(out.WaitUntil([&] { return out.mCalls >= 1; }));
    Feed(f, 2, 100, 30);
    out.SetMode(moTake);
    ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 100; }));
    // Away, then back taking half of every batch.
    out.SetMode(moAway);
    const int calls = out.mCalls;
    Feed(f, 101, 200, 25);
    ASSERT_TRUE(out.WaitUntil([&] { return out.mCalls > calls; }));
    out.SetMode(moHalf);
    ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 200; }));
    // Hung at the stop: the rest is kept for the next run.
    out.SetMode(moHang);
    const int before = out.mCalls;
    Feed(f, 201, 260, 60);
    ASSERT_TRUE(out.WaitUntil([&] { return out.mCalls > before; }));
    f.Finish();
    EXPECT_FALSE(f.Abandoned());
  }
  // The next run on the same spool: the kept frames, then its own.
  out.SetMode(moTake);
  {
    KForwarder f(out, &spool, mServer, 1);
    f.Start();
    Feed(f, 261, 300, 13);
    ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 300; }));
    f.Finish();
  }
  std::string text = console.Take();
  EXPECT_EQ(out.mDelivered, Range(1, 300)) << text;
  EXPECT_EQ(spool.Frames(), 0);
  EXPECT_NE(text.find("scripted away: far side down; frames are kept in the spool\n"), std::string::npos)
      << text;
}

// A refused frame alone is set aside, in candump form beside the spool, and
// the frames around it are delivered; without a spool it is counted.
TEST_F(ForwarderTest, RefusedFrameAloneIsSetAside) {
  for (bool withSpool : {true, false}) {
    SCOPED_TRACE(withSpool ? "spool" : "no spool");
    KScriptedOutput out;
    out.mRefuse = {37, 38, 90};
    KSpool spool;
    if (withSpool) {
      ASSERT_TRUE(spool.Open(mDir.c_str(), 64 << 20));
    }
    KConsole console;
    {
      KForwarder f(out, withSpool ? &spool : nullptr, mServer, 1);
      f.Start();
      Feed(f, 1, 120, 50);
      ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 117; }));
      f.Finish();
    }
    std::string text = console.Take();
    std::vector<uint32_t> expected;
    for (uint32_t c = 1; c <= 120; ++c)
      if (c != 37 && c != 38 && c != 90)
        expected.push_back(c);
    EXPECT_EQ(out.mDelivered, expected) << text;
    EXPECT_NE(text.find("scripted refused frame 38: bad frame; "), std::string::npos) << text;
    if (!withSpool)
      continue;
    std::ifstream rejected(mDir + "/" + KForwarder::cRejectedFile);
    std::stringstream lines;
    lines << rejected.rdbuf();
    char expect[3 * cLineSize] = "";
    std::size_t used = 0;
    for (uint32_t c : {37u, 38u, 90u}) {
      NCanUtils::FormatCandump(Frame(c), "can0", expect + used, sizeof(expect) - used);
      used = std::strlen(expect);
    }
    EXPECT_EQ(lines.str(), expect);
    spool.Close();
  }
}

// Retries while away come no faster than once a second (the sample
// period), and the line that says so is out at once, not in a buffer.
TEST_F(ForwarderTest, AwayIsSaidAtOnceAndRetriedAtItsPace) {
  KScriptedOutput out;
  out.SetMode(moAway);
  KSpool spool;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 64 << 20));
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
  std::fflush(stdout);
  const int savedStdout = dup(STDOUT_FILENO);
  dup2(pipeFds[1], STDOUT_FILENO);
  setvbuf(stdout, nullptr, _IOFBF, BUFSIZ); // as under a service manager
  std::string seen;
  {
    KForwarder f(out, &spool, mServer, 1);
    f.Start();
    Feed(f, 1, 50, 50);
    EXPECT_TRUE(out.WaitUntil([&] { return out.mCalls >= 3; }));
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof(buffer))) > 0;)
      seen.append(buffer, static_cast<std::size_t>(n));
    f.Finish();
  }
  std::fflush(stdout);
  dup2(savedStdout, STDOUT_FILENO);
  close(savedStdout);
  close(pipeFds[0]);
  close(pipeFds[1]);
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  EXPECT_NE(seen.find("scripted away: far side down"), std::string::npos) << seen;
  std::lock_guard<std::mutex> lock(out.mLock);
  ASSERT_GE(out.mCallTimes.size(), 3u);
  for (std::size_t i = 1; i < out.mCallTimes.size(); ++i)
    EXPECT_GE(out.mCallTimes[i] - out.mCallTimes[i - 1], std::chrono::milliseconds(900)) << i;
  EXPECT_EQ(spool.Frames(), 50);
}

// A crash at any step of a drain: the disk as it is at that step (the
// spool's files copied) makes the next run deliver the rest. Nothing is
// lost or reordered; what is sent again is a run of frames just before the
// crash, counted here.
TEST_F(ForwarderTest, CrashAtEveryStepOfADrainLosesNothing) {
  const uint32_t cFrames = 300;
  {
    KSpool spool;
    ASSERT_TRUE(spool.Open(mDir.c_str(), 64 << 20));
    std::vector<KCanFrame> frames;
    for (uint32_t c = 1; c <= cFrames; ++c)
      frames.push_back(Frame(c));
    long long dropped = 0, lost = 0;
    ASSERT_TRUE(spool.Append(frames.data(), static_cast<int>(frames.size()), dropped, lost));
  }
  long long duplicates = 0;
  const std::string work = mDir + "-work", copy = mDir + "-crash";
  for (int crashAt = 1; crashAt <= 20; ++crashAt) {
    SCOPED_TRACE(crashAt);
    ASSERT_EQ(std::system(("rm -rf '" + work + "' && cp -a '" + mDir + "' '" + work + "'").c_str()), 0);
    KScriptedOutput out;
    out.mRefuse = {150};
    bool copied = false;
    std::vector<uint32_t> before; // delivered when the disk looked like the copy
    KSpool* live = nullptr;
    long long left = -1;
    out.mOnCall = [&](int call) {
      if (call != crashAt)
        return;
      before = out.mDelivered;
      left = live->Frames(); // nothing else uses the spool during a delivery
      left += access((work + "/" + KForwarder::cRejectedFile).c_str(), F_OK) == 0 ? 1 : 0;
      copied = std::system(("rm -rf '" + copy + "' && cp -a '" + work + "' '" + copy + "'").c_str()) == 0;
    };
    KConsole console;
    {
      KSpool spool;
      ASSERT_TRUE(spool.Open(work.c_str(), 64 << 20));
      live = &spool;
      KForwarder f(out, &spool, mServer, 1);
      f.Start();
      ASSERT_TRUE(out.WaitUntil([&] { return out.mCalls >= crashAt; }));
    }
    ASSERT_TRUE(copied);
    // What was delivered has left the spool, exchange by exchange.
    EXPECT_EQ(left + static_cast<long long>(before.size()), static_cast<long long>(cFrames));
    KScriptedOutput next;
    next.mRefuse = {150};
    {
      KSpool spool;
      ASSERT_TRUE(spool.Open(copy.c_str(), 64 << 20));
      KForwarder f(next, &spool, mServer, 1);
      f.Start();
      ASSERT_TRUE(next.WaitUntil([&] { return !next.mDelivered.empty() && next.mDelivered.back() == cFrames; }));
      f.Finish();
      EXPECT_EQ(spool.Frames(), 0);
    }
    console.Take();
    // Before the crash a prefix; after it, from at most one past its end.
    ASSERT_FALSE(next.mDelivered.empty());
    std::vector<uint32_t> all = before, expected = before;
    all.insert(all.end(), next.mDelivered.begin(), next.mDelivered.end());
    for (uint32_t c = next.mDelivered.front(); c <= cFrames; ++c)
      if (c != 150)
        expected.push_back(c);
    EXPECT_EQ(all, expected);
    std::set<uint32_t> distinct(all.begin(), all.end());
    EXPECT_EQ(distinct.size(), cFrames - 1);
    EXPECT_EQ(distinct.count(150), 0u);
    duplicates += static_cast<long long>(all.size() - distinct.size());
  }
  std::system(("rm -rf '" + work + "' '" + copy + "'").c_str());
  std::printf("crash at 20 steps of a %u-frame drain: %lld frames delivered twice in all\n", cFrames,
              duplicates);
}

// Wrong settings found by the delivery thread's first test end the run;
// the frames that came meanwhile wait in the spool.
TEST_F(ForwarderTest, WrongSettingsAtTheFirstTestEndTheRun) {
  KScriptedOutput out;
  out.mTestResult = KFrameOutput::dlSettings;
  KSpool spool;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 64 << 20));
  KForwarder f(out, &spool, mServer, 1);
  f.Start();
  Feed(f, 1, 10, 10);
  f.Finish();
  EXPECT_TRUE(f.SettingsFailed());
  EXPECT_EQ(out.mCalls, 0);
  EXPECT_EQ(spool.Frames(), 10);
}

} // namespace
