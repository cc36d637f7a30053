// Worker-thread base class over POSIX threads, and a recursive lock.
#pragma once

#include <atomic>
#include <pthread.h>
#include <sched.h>

enum TThreadPriorityEnum {
  tpIdle = 0,
  tpLowest = 1,
  tpLower = 2,
  tpNormal = 3,
  tpHigher = 4,
  tpHighest = 5,
  tpTimeCritical = 6
};

// The thread is created with the object and parked until the first Resume();
// it then runs Execute() once and stops cooperatively when Execute() sees the
// terminate flag. The flags are one-way latches: once set, never cleared.
// Terminate() is a single lock-free atomic store and may be called from a
// signal handler.
//
// The destructor is not virtual and runs after the derived part is gone: a
// derived class whose Execute() uses its own members must Terminate() and
// WaitFor() the thread in its own destructor.
class KThread {
public:
  KThread();
  ~KThread();

  KThread(const KThread&) = delete;
  KThread& operator=(const KThread&) = delete;

  static void* ThreadProc(void* object);

  void Resume();
  void Terminate() { mTerminated.store(true); }
  bool Terminated() const { return mTerminated.load(); }
  bool Finished() const { return mFinished.load(); }
  // Joins the thread; returns 0.
  int WaitFor();
  void SetPriority(TThreadPriorityEnum priority);
  static void CheckThreadError(int result);

protected:
  virtual void Execute() = 0;

  std::atomic<bool> mTerminated;
  std::atomic<bool> mResumed;
  pthread_t mHandle;
  bool mJoinable; // mHandle names a thread that has been neither joined nor detached
  pthread_attr_t mAttributes;
  sched_param mSchedParam;
  std::atomic<bool> mFinished;
};

static_assert(std::atomic<bool>::is_always_lock_free,
              "Terminate() must be usable from a signal handler");

// Recursive mutex.
class KCriticalSection {
public:
  KCriticalSection();
  ~KCriticalSection();

  KCriticalSection(const KCriticalSection&) = delete;
  KCriticalSection& operator=(const KCriticalSection&) = delete;

  bool Acquire();
  bool TryEnter();
  void Release();

private:
  pthread_mutex_t* mMutex;
};
