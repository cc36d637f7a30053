// The forwarder against a scripted far side with a real spool in a temporary
// folder: every frame reaches the far side once and in order (duplicates are
// counted, not absorbed) across outages, slow, partial and hung deliveries,
// refused frames, restarts and a crash at every step of a drain. No root,
// servers or sockets: it runs in every stage.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <numeric>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "KCanServer.h"
#include "KForwarder.h"
#include "RejectedFrames.h"
#include "KSpool.h"

namespace {

using Clock = std::chrono::steady_clock;
enum TModeEnum { moTake, moHalf, moAway, moHang, moGate };

class KScriptedOutput : public KFrameOutput {
public:
  const char* Name() const override { return "scripted"; }
  void Describe(char* out, std::size_t size) const override { std::snprintf(out, size, "script"); }
  void FailureText(char* out, std::size_t size) const override {
    std::lock_guard<std::mutex> lock(mLock);
    std::snprintf(out, size, "%s", mReason);
  }
  void SetStopEvent(int fd) override { mStopEvent = fd; }
  void Idle() override { // the delivery thread's last call, too
    std::lock_guard<std::mutex> lock(mLock);
    ++mIdles;
    mChanged.notify_all();
  }
  int MaxBatch() const override { return 16; }
  int ChunkFrames() const override { return 40; }
  KDelivery Deliver(const KCanFrame* frames, int count) override {
    std::unique_lock<std::mutex> lock(mLock);
    mCallTimes.push_back(Clock::now());
    if (mOnCall)
      mOnCall(static_cast<int>(mCallTimes.size()));
    mChanged.notify_all();
    mChanged.wait(lock, [this] { return mMode != moGate; }); // a slow far side
    KDelivery d;
    mReason = mMode == moTake || mMode == moHalf ? "bad frame" : "far side down";
    if (mMode == moHang) { // silent until the forwarder's stop ends it
      pollfd p{mStopEvent, POLLIN, 0};
      lock.unlock();
      while (poll(&p, 1, -1) < 0) {
      }
      lock.lock();
    }
    if (mMode == moHang || mMode == moAway) {
      d.mResult = dlUnreachable;
      return d;
    }
    // A refused frame refuses the whole request, as a web server does.
    for (int i = 0; i < count; ++i)
      if (mRefuse.count(frames[i].mCounter) != 0) {
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
  bool WaitUntil(const std::function<bool()>& done) { // under the lock, 30 s at most
    std::unique_lock<std::mutex> lock(mLock);
    return mChanged.wait_for(lock, std::chrono::seconds(30), done);
  }
  int Calls() const { return static_cast<int>(mCallTimes.size()); }

  mutable std::mutex mLock;
  std::condition_variable mChanged;
  TModeEnum mMode = moTake;
  std::set<uint32_t> mRefuse;
  std::vector<uint32_t> mDelivered;
  std::vector<Clock::time_point> mCallTimes;
  std::function<void(int)> mOnCall; // under the lock, at every call
  const char* mReason = "";
  int mStopEvent = -1;
  int mIdles = 0;
};

// The console captured while it lives, also when a check ends a test early.
struct KConsole {
  KConsole() { testing::internal::CaptureStdout(); }
  ~KConsole() { Take(); }
  std::string Take() { return mTaken ? "" : (mTaken = true, testing::internal::GetCapturedStdout()); }
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

std::vector<uint32_t> Range(uint32_t first, uint32_t last, std::set<uint32_t> except = {}) {
  std::vector<uint32_t> v;
  for (uint32_t c = first; c <= last; ++c)
    if (except.count(c) == 0)
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
  void TearDown() override { std::system(("rm -rf '" + mDir + "' '" + mDir + "'-*").c_str()); }
  // Frames first..last, a period every `perPeriod`.
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

// (A new chunk spooled before the delivery in progress shows as frames
// missing and others twice.)
TEST_F(ForwarderTest, EveryFrameOnceInOrderAcrossOutagesSlowHalfAndHungDeliveries) {
  KScriptedOutput out;
  KSpool spool;
  KConsole console;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 64 << 20));
  {
    KForwarder f(out, &spool, mServer, 1);
    f.Start();
    out.SetMode(moGate); // the first delivery holds while more periods come
    Feed(f, 1, 1, 1);
    ASSERT_TRUE(out.WaitUntil([&] { return out.Calls() >= 1; }));
    Feed(f, 2, 100, 30);
    out.SetMode(moTake);
    ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 100; }));
    out.SetMode(moAway);
    int calls = out.Calls();
    Feed(f, 101, 200, 25);
    ASSERT_TRUE(out.WaitUntil([&] { return out.Calls() > calls; }));
    out.SetMode(moHalf); // back, taking half of every batch
    ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 200; }));
    out.SetMode(moHang); // hung at the stop: the rest is kept
    calls = out.Calls();
    Feed(f, 201, 260, 60);
    ASSERT_TRUE(out.WaitUntil([&] { return out.Calls() > calls; }));
    f.Finish();
    EXPECT_FALSE(f.Abandoned());
  }
  out.SetMode(moTake);
  KForwarder next(out, &spool, mServer, 1); // the next run: the kept frames, then its own
  next.Start();
  Feed(next, 261, 300, 13);
  ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 300; }));
  next.Finish();
  std::string text = console.Take();
  EXPECT_EQ(out.mDelivered, Range(1, 300)) << text;
  EXPECT_EQ(spool.Frames(), 0);
  EXPECT_NE(text.find("scripted away: far side down; frames are kept in the spool\n"), std::string::npos) << text;
}

// Without a spool a stop waits for a slow far side as long as it keeps
// taking frames: the whole backlog arrives, though it takes longer than
// the grace time.
TEST_F(ForwarderTest, StopWithoutSpoolWaitsForASlowFarSideThatKeepsTaking) {
  KScriptedOutput out;
  KConsole console;
  KForwarder f(out, nullptr, mServer, 1);
  f.Start();
  out.SetMode(moGate);
  Feed(f, 1, 320, 40); // one chunk held, seven waiting: 24 deliveries
  ASSERT_TRUE(out.WaitUntil([&] { return out.Calls() >= 1; }));
  // Each delivery takes a while (a loaded database server): the 24 take
  // longer than the grace time and what follows it.
  out.mOnCall = [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(170)); };
  out.SetMode(moTake);
  const auto start = Clock::now();
  f.Finish();
  const auto took = Clock::now() - start;
  const std::string text = console.Take();
  EXPECT_EQ(out.mDelivered, Range(1, 320)) << text;
  EXPECT_EQ(text.find("not forwarded"), std::string::npos) << text;
  EXPECT_GT(took, std::chrono::milliseconds(KForwarder::cStopGraceMs + 1500)); // the case it is
  EXPECT_FALSE(f.Abandoned());
}

// A delivery stuck in a call that ignores the stop is given up without a
// spool, its frames counted; when the call returns at last, the thread ends
// without touching a spool that does not exist.
TEST_F(ForwarderTest, StuckDeliveryWithoutSpoolGivenUpAndLaterReturning) {
  KScriptedOutput out;
  KConsole console;
  KForwarder* f = new KForwarder(out, nullptr, mServer, 1);
  f->Start();
  out.SetMode(moGate);
  Feed(*f, 1, 40, 40);
  ASSERT_TRUE(out.WaitUntil([&] { return out.Calls() >= 1; }));
  f->Finish();
  ASSERT_TRUE(f->Abandoned());
  const int idles = out.mIdles;
  out.SetMode(moTake);
  ASSERT_TRUE(out.WaitUntil([&] { return out.mIdles > idles; }));
  const std::string text = console.Take();
  EXPECT_NE(text.find("stopped before delivery: 40 frames not forwarded\n"), std::string::npos) << text;
  delete f; // an abandoned forwarder frees nothing the thread used
}

// A refused frame alone is set aside, in candump form beside the spool, or
// counted without one; the frames around it are delivered.
TEST_F(ForwarderTest, RefusedFrameAloneIsSetAside) {
  for (bool withSpool : {true, false}) {
    KScriptedOutput out;
    out.mRefuse = {37, 38, 90};
    KSpool spool;
    ASSERT_TRUE(!withSpool || spool.Open(mDir.c_str(), 64 << 20));
    KConsole console;
    {
      KForwarder f(out, withSpool ? &spool : nullptr, mServer, 1);
      f.Start();
      Feed(f, 1, 120, 50);
      ASSERT_TRUE(out.WaitUntil([&] { return out.mDelivered.size() >= 117; }));
      f.Finish();
    }
    std::string text = console.Take();
    EXPECT_EQ(out.mDelivered, Range(1, 120, out.mRefuse)) << text;
    EXPECT_NE(text.find(std::string("scripted refused frame 38: bad frame; ") +
                        (withSpool ? "set aside in " : "not forwarded")),
              std::string::npos)
        << text;
    std::stringstream lines;
    lines << std::ifstream(mDir + "/" + KRejectedFrames::cFileName).rdbuf();
    char expect[3 * cLineSize] = "";
    for (uint32_t c : out.mRefuse)
      NCanUtils::FormatCandump(Frame(c), "can0", expect + std::strlen(expect), cLineSize);
    EXPECT_EQ(lines.str(), withSpool ? expect : "");
    std::remove((mDir + "/" + KRejectedFrames::cFileName).c_str());
  }
}

// Retries while away come no faster than once a second (the sample period);
// the line that says so is out at once, not in a buffer.
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
  std::string seen(4096, 0);
  {
    KForwarder f(out, &spool, mServer, 1);
    f.Start();
    Feed(f, 1, 50, 50);
    EXPECT_TRUE(out.WaitUntil([&] { return out.Calls() >= 3; }));
    seen.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(pipeFds[0], &seen[0], seen.size()))));
    f.Finish();
  }
  std::fflush(stdout);
  dup2(savedStdout, STDOUT_FILENO);
  for (int fd : {savedStdout, pipeFds[0], pipeFds[1]})
    close(fd);
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  EXPECT_NE(seen.find("scripted away: far side down"), std::string::npos) << seen;
  for (std::size_t i = 1; i < out.mCallTimes.size(); ++i)
    EXPECT_GE(out.mCallTimes[i] - out.mCallTimes[i - 1], std::chrono::milliseconds(900)) << i;
  EXPECT_EQ(spool.Frames(), 50);
}

// A crash at any step of a drain: the disk as it is at that step (the spool
// folder copied) makes the next run deliver the rest. Nothing is lost or
// reordered; what is sent again is a run just before the crash, counted.
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
    KScriptedOutput out, next;
    out.mRefuse = next.mRefuse = {150};
    std::vector<uint32_t> before; // delivered when the disk looked like the copy
    KSpool spool;
    long long left = -1;
    out.mOnCall = [&](int call) {
      if (call != crashAt)
        return;
      before = out.mDelivered;
      left = spool.Frames() + (access((work + "/" + KRejectedFrames::cFileName).c_str(), F_OK) == 0);
      if (std::system(("rm -rf '" + copy + "' && cp -a '" + work + "' '" + copy + "'").c_str()) != 0)
        left = -2;
    };
    KConsole console;
    ASSERT_TRUE(spool.Open(work.c_str(), 64 << 20));
    {
      KForwarder f(out, &spool, mServer, 1);
      f.Start();
      ASSERT_TRUE(out.WaitUntil([&] { return out.Calls() >= crashAt; }));
    }
    // What was delivered has left the spool, exchange by exchange.
    EXPECT_EQ(left + static_cast<long long>(before.size()), static_cast<long long>(cFrames));
    KSpool again;
    ASSERT_TRUE(again.Open(copy.c_str(), 64 << 20));
    KForwarder f(next, &again, mServer, 1);
    f.Start();
    ASSERT_TRUE(next.WaitUntil([&] { return !next.mDelivered.empty() && next.mDelivered.back() == cFrames; }));
    f.Finish();
    EXPECT_EQ(again.Frames(), 0);
    // Before the crash a prefix; after it, from at most one past its end.
    std::vector<uint32_t> all = before, expected = before;
    all.insert(all.end(), next.mDelivered.begin(), next.mDelivered.end());
    for (uint32_t c : Range(next.mDelivered.front(), cFrames, {150}))
      expected.push_back(c);
    EXPECT_EQ(all, expected);
    std::set<uint32_t> distinct(all.begin(), all.end());
    EXPECT_EQ(distinct, std::set<uint32_t>(expected.begin(), expected.end()));
    EXPECT_EQ(distinct.size(), cFrames - 1);
    duplicates += static_cast<long long>(all.size() - distinct.size());
  }
  std::printf("crash at 20 steps of a %u-frame drain: %lld frames delivered twice in all\n", cFrames, duplicates);
}

} // namespace
