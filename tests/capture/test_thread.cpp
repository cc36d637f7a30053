#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "KThread.h"
#include "NCanUtils.h"

namespace {

class KProbeThread : public KThread {
public:
  ~KProbeThread() {
    Terminate();
    WaitFor();
  }
  std::atomic<int> mRuns{0};
  std::atomic<bool> mThrow{false};

protected:
  void Execute() override {
    ++mRuns;
    if (mThrow)
      throw std::runtime_error("boom");
    while (!Terminated())
      NCanUtils::SleepMs(1);
  }
};

TEST(KThread, ParkedUntilResumed) {
  KProbeThread t;
  NCanUtils::SleepMs(20);
  EXPECT_EQ(t.mRuns, 0);
  EXPECT_FALSE(t.Finished());
  t.Resume();
  for (int i = 0; i < 2000 && t.mRuns == 0; ++i)
    NCanUtils::SleepMs(1);
  EXPECT_EQ(t.mRuns, 1);
  t.Resume(); // a second resume only sends SIGCONT; the body still runs once
  t.Terminate();
  EXPECT_EQ(t.WaitFor(), 0);
  EXPECT_TRUE(t.Finished());
  EXPECT_EQ(t.mRuns, 1);
}

TEST(KThread, TerminatedBeforeResumeNeverExecutes) {
  testing::internal::CaptureStdout();
  {
    KProbeThread t;
    t.Terminate();
    t.Resume(); // does nothing once terminated
    t.WaitFor();
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(t.mRuns, 0);
  }
  {
    KProbeThread t; // destroyed while parked: joined cleanly
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(KThread, ExceptionInExecuteIsReportedOnce) {
  testing::internal::CaptureStdout();
  KProbeThread t;
  t.mThrow = true;
  t.Resume();
  for (int i = 0; i < 2000 && !t.Finished(); ++i)
    NCanUtils::SleepMs(1);
  EXPECT_TRUE(t.Finished());
  t.WaitFor();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "exception caught in \"ThreadProc\"\n");
  EXPECT_EQ(t.mRuns, 1);
}

TEST(KThread, CheckThreadErrorPrintsOnlyFailures) {
  testing::internal::CaptureStdout();
  KThread::CheckThreadError(0);
  KThread::CheckThreadError(22);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Thread error 22\n");
}

// High priorities become round-robin priority 50; the others priority 0,
// which Linux refuses for SCHED_RR (EINVAL, reported).
TEST(KThread, SetPriorityWritesTheAttributes) {
  testing::internal::CaptureStdout();
  KProbeThread t;
  t.SetPriority(tpHighest);
  std::string high = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  t.SetPriority(tpNormal);
  std::string normal = testing::internal::GetCapturedStdout();
  EXPECT_EQ(high, "");
  EXPECT_EQ(normal, "Thread error 22\n");
}

TEST(KCriticalSection, RecursiveAndExclusive) {
  KCriticalSection lock;
  ASSERT_TRUE(lock.Acquire());
  EXPECT_TRUE(lock.TryEnter()); // same thread: recursive
  std::atomic<int> otherGot{-1};
  pthread_t other;
  struct Arg {
    KCriticalSection* lock;
    std::atomic<int>* got;
  } arg{&lock, &otherGot};
  auto body = [](void* p) -> void* {
    Arg* a = static_cast<Arg*>(p);
    bool got = a->lock->TryEnter();
    if (got)
      a->lock->Release();
    a->got->store(got ? 1 : 0);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&other, nullptr, body, &arg), 0);
  pthread_join(other, nullptr);
  EXPECT_EQ(otherGot, 0); // held by this thread
  lock.Release();
  lock.Release();
  ASSERT_EQ(pthread_create(&other, nullptr, body, &arg), 0);
  pthread_join(other, nullptr);
  EXPECT_EQ(otherGot, 1); // free again
}

} // namespace
