#include "KCanServer.h"

#include <cstring>
#include <initializer_list>

#include "KCan232.h"
#include "KRPiCanDriver.h"

KCanServer::KCanServer()
    : KThread(), mFrameCounter(0), mInitialised(false), mLock(nullptr), mRingSize(cRingSize),
      mWriteIndex(0), mReadIndex(0), mRing(new KCanFrame[cRingSize]), mRecvDriver(nullptr),
      mSendDriver(nullptr), mOverwritten(0) {
  std::memset(static_cast<void*>(mRing), 0, sizeof(KCanFrame) * cRingSize);
  mLock = new KCriticalSection;
}

KCanServer::~KCanServer() {
  // The capture thread may be inside a driver call: stop and join it before
  // the drivers and the ring go away.
  Terminate();
  WaitFor();
  for (KCanDriver** driver : {&mRecvDriver, &mSendDriver}) {
    if (*driver != nullptr) {
      (*driver)->Close();
      delete *driver;
      *driver = nullptr;
    }
  }
  delete mLock;
  mLock = nullptr;
  delete[] mRing;
  mRing = nullptr;
}

bool KCanServer::Init(const char* dev) {
  if (mInitialised)
    return false;
  mInitialised = true;
  if (mRecvDriver == nullptr) {
    if (dev != nullptr && std::strstr(dev, "tty") != nullptr) {
      // A CAN232 adapter on a serial line: one driver receives and sends.
      mRecvDriver = new KCan232;
    } else {
      mRecvDriver = new KRPiCanDriver;
      mSendDriver = new KRPiCanDriver;
    }
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

void KCanServer::Execute() {
  Init(nullptr);
  if (mRecvDriver == nullptr || !mRecvDriver->Connect())
    Terminate();
  while (!Terminated()) {
    KCanFrame frame;
    if (mRecvDriver->ReceiveData(frame)) {
      frame.mCounter = mFrameCounter++;
      PutFrame(frame);
    } else if (mRecvDriver->Lost()) {
      Terminate();
    }
  }
}
