#include "KThread.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sys/eventfd.h>
#include <unistd.h>

#include "NCanUtils.h"
#include "Report.h"

KThread::KThread()
    : mTerminated(false), mResumed(false), mHandle(), mJoinable(false), mSchedParam(),
      mFinished(false), mEndedByItself(false),
      mTerminateEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  CheckThreadError(pthread_attr_init(&mAttributes));
  int result = pthread_create(&mHandle, nullptr, &KThread::ThreadProc, this);
  CheckThreadError(result);
  mJoinable = result == 0;
}

KThread::~KThread() {
  if (mJoinable && !Finished()) {
    Terminate();
    WaitFor();
  }
  if (mJoinable) {
    // Finished on its own and never joined.
    pthread_detach(mHandle);
    mJoinable = false;
  }
  pthread_attr_destroy(&mAttributes);
  if (mTerminateEvent >= 0)
    close(mTerminateEvent);
}

void KThread::Terminate() {
  mTerminated.store(true);
  if (mTerminateEvent >= 0) {
    // The event is never read, so it stays readable from now on. errno is
    // kept: this may run in a signal handler.
    int saved = errno;
    uint64_t one = 1;
    ssize_t written = write(mTerminateEvent, &one, sizeof(one));
    (void)written;
    errno = saved;
  }
}

void* KThread::ThreadProc(void* object) {
  KThread* self = static_cast<KThread*>(object);
  while (!self->mResumed.load() && !self->Terminated())
    NCanUtils::SleepMs(1);
  if (!self->Terminated()) {
    try {
      self->Execute();
    } catch (...) {
      NReport::Failure("exception caught in \"ThreadProc\"\n");
    }
    if (!self->Terminated()) {
      self->mEndedByItself.store(true);
      self->Terminate();
    }
  }
  self->mFinished.store(true);
  return nullptr;
}

void KThread::Resume() {
  if (Terminated())
    return;
  if (!mResumed.load()) {
    mResumed.store(true);
  } else if (mJoinable) {
    CheckThreadError(pthread_kill(mHandle, SIGCONT));
  }
}

int KThread::WaitFor() {
  if (mJoinable) {
    mJoinable = false;
    CheckThreadError(pthread_join(mHandle, nullptr));
  }
  return 0;
}

void KThread::SetPriority(TThreadPriorityEnum priority) {
  mSchedParam.sched_priority =
      (priority == tpHigher || priority == tpHighest || priority == tpTimeCritical) ? 50 : 0;
  CheckThreadError(pthread_attr_setschedpolicy(&mAttributes, SCHED_RR));
  CheckThreadError(pthread_attr_setschedparam(&mAttributes, &mSchedParam));
}

void KThread::CheckThreadError(int result) {
  if (result != 0)
    NReport::Failure("Thread error %d\n", result);
}

// ---------------------------------------------------------------------------

KCriticalSection::KCriticalSection() : mMutex(new pthread_mutex_t) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) == 0) {
    if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0)
      pthread_mutex_init(mMutex, &attr);
    else
      pthread_mutex_init(mMutex, nullptr);
    pthread_mutexattr_destroy(&attr);
  } else {
    pthread_mutex_init(mMutex, nullptr);
  }
}

KCriticalSection::~KCriticalSection() {
  if (mMutex != nullptr) {
    pthread_mutex_destroy(mMutex);
    delete mMutex;
    mMutex = nullptr;
  }
}

bool KCriticalSection::Acquire() {
  if (mMutex == nullptr)
    return false;
  return pthread_mutex_lock(mMutex) == 0;
}

bool KCriticalSection::TryEnter() { return mMutex != nullptr && pthread_mutex_trylock(mMutex) == 0; }

void KCriticalSection::Release() {
  if (mMutex != nullptr)
    pthread_mutex_unlock(mMutex);
}
