#include "KCanServer.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "KCan232.h"
#include "KRPiCanDriver.h"

static_assert(static_cast<int>(cCan232DefaultBitRateCode) == static_cast<int>(KCan232::cDefaultBitRateCode), "one default bit rate");

KCanServer::KCanServer()
    : KThread(), mFrameCounter(0), mInitialised(false), mLock(std::make_unique<KCriticalSection>()),
      mRingSize(cRingSize), mWriteIndex(0), mReadIndex(0), mRing(std::make_unique<KCanFrame[]>(cRingSize)),
      mOverwritten(0), mEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mFullSignalled(false),
      mWakeOnFrame(false) {
  std::memset(static_cast<void*>(mRing.get()), 0, sizeof(KCanFrame) * cRingSize);
}

KCanServer::~KCanServer() {
  // The capture thread may be inside a driver call: stop and join it before
  // the drivers and the ring go away.
  Terminate();
  WaitFor();
  for (std::unique_ptr<KCanDriver>* driver : {&mRecvDriver, &mSendDriver}) {
    if (*driver != nullptr) {
      (*driver)->Close();
      driver->reset();
    }
  }
  if (mEvent >= 0)
    close(mEvent);
}

bool KCanServer::Init(const char* dev) {
  if (mInitialised)
    return false;
  mInitialised = true;
  if (mRecvDriver == nullptr) {
    if (KComm::IsSerialName(dev)) {
      // A CAN232 adapter on a serial line: one driver receives and sends.
      auto adapter = std::make_unique<KCan232>();
      adapter->mBitRateCode = mCan232BitRateCode;
      mRecvDriver = std::move(adapter);
    } else {
      mRecvDriver = std::make_unique<KRPiCanDriver>();
      // The sending socket receives nothing: without that it would queue a
      // copy of every frame on the bus that nobody ever reads.
      auto sender = std::make_unique<KRPiCanDriver>();
      sender->mSendOnly = true;
      mSendDriver = std::move(sender);
    }
    mRecvDriver->SetFilter(mFilter);
    mRecvDriver->SetListenOnly(mListenOnly);
  }
  if (!mRecvDriver->Init(dev))
    return false;
  if (mSendDriver != nullptr) {
    mSendDriver->Init(dev);
    if (!mSendDriver->Connect())
      return false;
  }
  return true;
}

const char* KCanServer::GetDev() const { return mRecvDriver != nullptr ? mRecvDriver->mDev : ""; }

void KCanServer::Halt() {
  Terminate();
  NCanUtils::SleepMs(1000);
}

int KCanServer::RingCount() const {
  return (mWriteIndex.load() - mReadIndex.load() + mRingSize) % mRingSize;
}

bool KCanServer::RingBufferFull() const { return RingCount() > (mRingSize / 4) * 3; }

void KCanServer::IncRingPtr(std::atomic<int>& index) const {
  index.store((index.load() + mRingSize + 1) % mRingSize);
}

void KCanServer::PutFrame(const KCanFrame& frame) {
  if (!mLock->Acquire())
    return;
  IncRingPtr(mWriteIndex);
  if (mWriteIndex.load() == mReadIndex.load()) {
    IncRingPtr(mReadIndex);
    mOverwritten.fetch_add(1, std::memory_order_relaxed);
  }
  mRing[mWriteIndex.load()] = frame;
  mLock->Release();
  // The main thread is told of the first frame it waits for and of a
  // filling ring, each with one write.
  bool wake = mWakeOnFrame.load() && mWakeOnFrame.exchange(false);
  if (RingBufferFull() && !mFullSignalled.exchange(true))
    wake = true;
  if (wake && mEvent >= 0) {
    uint64_t one = 1;
    ssize_t written = write(mEvent, &one, sizeof(one));
    (void)written;
  }
}

bool KCanServer::GetFrame(KCanFrame& frame) {
  if (mWriteIndex.load() == mReadIndex.load())
    return false;
  if (!mLock->Acquire())
    return false;
  bool result = false;
  if (mReadIndex.load() != mWriteIndex.load()) {
    IncRingPtr(mReadIndex);
    frame = mRing[mReadIndex.load()];
    result = true;
  }
  mLock->Release();
  return result;
}

bool KCanServer::SendData(const KCanFrame& frame) {
  if (mSendDriver != nullptr)
    return mSendDriver->SendData(frame);
  if (mRecvDriver != nullptr)
    return mRecvDriver->SendData(frame);
  return false;
}

void KCanServer::ClearEvent() {
  if (mEvent >= 0) {
    uint64_t count;
    ssize_t taken = read(mEvent, &count, sizeof(count));
    (void)taken;
  }
}

bool KCanServer::WaitForEvent(int ms) {
  // Take back the last signal first, then look: a filling that comes after
  // the look signals again and ends the wait.
  mFullSignalled.store(false);
  ClearEvent();
  if (Terminated() || RingBufferFull())
    return true;
  if (ms == 0)
    return false;
  if (TerminateEvent() < 0 || mEvent < 0) {
    // No events to wait on: look again every 10 ms.
    NCanUtils::SleepMs(ms < 0 || ms > 10 ? 10 : ms);
  } else {
    pollfd p[2] = {{TerminateEvent(), POLLIN, 0}, {mEvent, POLLIN, 0}};
    poll(p, 2, ms);
  }
  return Terminated() || RingBufferFull();
}

bool KCanServer::WaitForFrame() { return WaitForFrame(Filtered()); }

bool KCanServer::WaitForFrame(uint32_t filtered) {
  // Frames the driver's filter left out count as news too: the period that
  // follows says so, even when the filter lets nothing through.
  mWakeOnFrame.store(true);
  ClearEvent();
  while (RingCount() == 0 && !Terminated() && Filtered() == filtered) {
    if (TerminateEvent() < 0 || mEvent < 0) {
      NCanUtils::SleepMs(10);
      continue;
    }
    pollfd p[2] = {{TerminateEvent(), POLLIN, 0}, {mEvent, POLLIN, 0}};
    poll(p, 2, -1);
    ClearEvent();
  }
  mWakeOnFrame.store(false);
  return RingCount() > 0 || Filtered() != filtered;
}

void KCanServer::Execute() {
  Init(nullptr);
  // Ending Execute without Terminate() marks the capture as failed
  // (EndedByItself), which also sets the terminate flag.
  if (mRecvDriver == nullptr || !mRecvDriver->Connect())
    return;
  mRecvDriver->SetStopEvent(TerminateEvent());
  uint32_t filteredSeen = mRecvDriver->Filtered();
  while (!Terminated()) {
    KCanFrame frame;
    if (mRecvDriver->ReceiveData(frame)) {
      frame.mCounter = mFrameCounter++;
      PutFrame(frame);
    } else if (mRecvDriver->Lost()) {
      return;
    } else if (mRecvDriver->Filtered() != filteredSeen) {
      filteredSeen = mRecvDriver->Filtered();
      if (mWakeOnFrame.load() && mWakeOnFrame.exchange(false) && mEvent >= 0) {
        uint64_t one = 1;
        ssize_t written = write(mEvent, &one, sizeof(one));
        (void)written;
      }
    }
  }
}
