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
// Terminate() is a lock-free atomic store and one write() to an event
// descriptor, and may be called from a signal handler.
//
// A thread whose Execute() returns (or throws) without having been asked to
// stop has ended by itself: EndedByItself() tells so, and the terminate flag
// is set for it, so that whoever waits for the flag or its event descriptor
// learns at once that the thread is gone.
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
  // Sets the terminate flag and makes TerminateEvent() readable.
  void Terminate();
  bool Terminated() const { return mTerminated.load(); }
  bool Finished() const { return mFinished.load(); }
  // True when Execute() ended (returned or threw) before Terminate() asked.
  bool EndedByItself() const { return mEndedByItself.load(); }
  // A descriptor that becomes readable once the terminate flag is set and
  // stays readable, for poll() beside other descriptors; -1 when the system
  // gave none (then only the flag tells).
  int TerminateEvent() const { return mTerminateEvent; }
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
  std::atomic<bool> mEndedByItself;
  int mTerminateEvent;
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
