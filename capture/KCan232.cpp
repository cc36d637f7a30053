#include "KCan232.h"

#include "ErrnoText.h"
#include "Report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------
// KCanCommDriver

KCanCommDriver::KCanCommDriver()
    : KComm(), KCanDriver(), mCharTimeOut(50), mLastCharMs(0), mLineLen(0) {
  mLine[0] = 0;
}

int KCanCommDriver::NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int>((ts.tv_sec % 1000000) * 1000 + ts.tv_nsec / 1000000);
}

int KCanCommDriver::ReadLineByte(bool& idle) {
  // A quiet port proves a pause up to the moment it was looked at, so the
  // clock is read before the look: read after it, a reader held up between
  // the two by the scheduler would count its own delay as a pause of the
  // line and drop a line whose rest came meanwhile.
  const int looked = mLineLen > 0 && !Buffered() ? NowMs() : 0;
  int c = KComm::ReadFromCOM();
  idle = c == cNoByte && mLineLen == 0;
  if (idle)
    return cNoByte;
  if (c == cNoByte) {
    // The port is quiet with a partial line: once its last byte is older
    // than the time-out, the rest of the line is not coming.
    int elapsed = looked - mLastCharMs;
    if (elapsed < 0)
      elapsed += 1000000000;
    if (elapsed > mCharTimeOut)
      mLineLen = 0;
    return cNoByte;
  }
  // A byte that is already waiting proves no pause, however long ago this
  // thread last looked: a reader held up by the scheduler or by a backlog
  // must not throw away lines that arrived whole. A real pause is seen by
  // the reads that find the port quiet.
  if (mLineLen + 1 <= cMaxLineLength) {
    mLine[mLineLen++] = static_cast<char>(c);
    mLine[mLineLen] = 0;
    mLastCharMs = NowMs();
    return c;
  }
  mLineLen = 0;
  return cLineOverflow;
}

int KCanCommDriver::ReadFromCOM() {
  bool idle = false;
  int c = ReadLineByte(idle);
  if (idle)
    NCanUtils::SleepMs(1);
  return c;
}

// ---------------------------------------------------------------------------
// KCan232

const char KCan232::cStartup[] = "\rC\rX1\rV\rS1\rO\r";
static_assert(sizeof(KCan232::cStartup) - 1 == KCan232::cStartupLength, "start-up string");

const long KCan232::cBitRates[cBitRateCodes] = {10000,  20000,  50000,  100000, 125000,
                                                250000, 500000, 800000, 1000000};

int KCan232::BitRateCode(long bitsPerSecond) {
  for (int code = 0; code < cBitRateCodes; ++code)
    if (cBitRates[code] == bitsPerSecond)
      return code;
  return -1;
}

KCan232::KCan232()
    : KCanCommDriver(), mSendFrame(), mWaitAck(false), mBitRateCode(cDefaultBitRateCode),
      mLostReported(false) {}

bool KCan232::Init(const char* dev) {
  std::lock_guard<std::mutex> lock(mLock);
  mLineLen = 0;
  mWaitAck = false;
  mLostReported = false;
  SetBaudrate(115200);
  // A refused name must not leave an earlier device selected.
  mComDev[0] = 0;
  SetComDev(dev);
  KCanDriver::Init(dev);
  if (!InitCOM()) {
    if (dev != nullptr) {
      char reason[128] = "name too long";
      if (mOpenError != 0)
        NCanUtils::ErrnoText(mOpenError, reason, sizeof(reason));
      char path[cComDevSize + 16];
      PortPath(path, sizeof(path));
      // A name that was not taken is shown as given.
      const char* prefix = "";
      const char* shown = path;
      if (mComDev[0] == 0) {
        prefix = dev[0] == '/' ? "" : "/dev/";
        shown = dev;
      }
      const char* more = "";
      if (mOpenError == EBUSY)
        more = ": another program (a second logger?) has this adapter open";
      else if (mOpenError == ENOTTY)
        more = ": not a serial port";
      NReport::Failure("serial port %s%s not opened: %s%s\n", prefix, shown, reason, more);
    }
    return false;
  }
  // The adapter's replies arrive later and are dropped as non-frame lines.
  char startup[cStartupLength + 1];
  std::memcpy(startup, cStartup, sizeof(startup));
  if (startup[cBitRateDigit - 1] == 'S' && mBitRateCode >= 0 && mBitRateCode < cBitRateCodes)
    startup[cBitRateDigit] = static_cast<char>('0' + mBitRateCode);
  // Listen-only: the adapter never acknowledges nor sends on the bus.
  if (mListenOnly && startup[cOpenCommand] == 'O')
    startup[cOpenCommand] = 'L';
  WriteBufferToCOM(startup, cStartupLength);
  return true;
}

void KCan232::Close() {
  std::lock_guard<std::mutex> lock(mLock);
  ExitCOM();
}

bool KCan232::Connect() { return COM_INITIALISIERT(); }

bool KCan232::ReadData(KCanFrame&) { return false; }

bool KCan232::ReceiveData(KCanFrame& frame) {
  bool got;
  int waitMs;
  {
    std::lock_guard<std::mutex> lock(mLock);
    got = ReceiveLocked(frame);
    waitMs = IdleWaitMs();
  }
  if (got)
    return true;
  if (PortLost()) {
    if (!mLostReported.exchange(true)) {
      char path[cComDevSize + 16];
      PortPath(path, sizeof(path));
      NReport::Failure("serial port %s lost\n", path);
    }
    NCanUtils::SleepMs(1);
  } else if (mStopEvent < 0) {
    NCanUtils::SleepMs(1);
  } else {
    // Without the lock: a sender may write meanwhile, and its
    // acknowledgement ends the wait.
    WaitForInput(mStopEvent, waitMs);
  }
  return false;
}

int KCan232::IdleWaitMs() const {
  if (mLineLen == 0)
    return -1;
  int elapsed = NowMs() - mLastCharMs;
  if (elapsed < 0)
    elapsed += 1000000000;
  int rest = mCharTimeOut + 1 - elapsed;
  return rest < 1 ? 1 : rest;
}

bool KCan232::ReceiveLocked(KCanFrame& frame) {
  bool idle = false;
  int c = ReadLineByte(idle);
  while (c != cNoByte) {
    switch (c) {
    case cLineOverflow:
      break;
    case cBEL:
      mWaitAck = false; // the adapter refused the last command or frame
      break;
    case cCR: {
      const int n = mLineLen; // the CR included
      if (n == 2 && (mLine[0] == 'z' || mLine[0] == 'Z') && mWaitAck) {
        mLineLen = 0;
        mWaitAck = false;
        frame = mSendFrame;
        return true;
      }
      if (n == 4 && mLine[0] == 'F' && NCanUtils::IsHexDigit(mLine[1]) &&
          NCanUtils::IsHexDigit(mLine[2])) {
        // The answer to the status command.
        mLine[3] = 0;
        mStatus.store(static_cast<int>(std::strtol(mLine + 1, nullptr, 16)));
        mLineLen = 0;
        break;
      }
      if (n > 2) {
        mLine[n - 1] = 0;
        KCan232Frame line(mLine);
        if (line.IsOk()) {
          KCanFrame decoded = frame;
          line.SetCanFrame(decoded);
          mLineLen = 0;
          // The identifier filter: a frame it rejects is counted, not
          // delivered, and gets no running number.
          if (!mFilter.Keeps(decoded)) {
            mFiltered.fetch_add(1, std::memory_order_relaxed);
            break;
          }
          frame = decoded;
          NCanUtils::ArtTime(frame.mDays, frame.mMs);
          return true;
        }
      }
      mLineLen = 0;
      break;
    }
    case 'R':
    case 'T':
    case 'r':
    case 't':
      // A frame line starts here; whatever came before is noise.
      mLine[0] = static_cast<char>(c);
      mLine[1] = 0;
      mLineLen = 1;
      break;
    default:
      break;
    }
    c = ReadLineByte(idle);
  }
  return false;
}

void KCan232::RequestStatus() {
  std::lock_guard<std::mutex> lock(mLock);
  WriteBufferToCOM("F\r", 2);
}

bool KCan232::SendData(const KCanFrame& frame) {
  std::lock_guard<std::mutex> lock(mLock);
  mWaitAck = false;
  KCan232Frame line;
  line.GetCanFrame(frame);
  if (!WriteBufferToCOM(line.mText, static_cast<int>(std::strlen(line.mText))))
    return false;
  mLineLen = 0;
  mWaitAck = true;
  if (!WriteToCOM(cCR)) {
    mWaitAck = false;
    return false;
  }
  mSendFrame = frame;
  NCanUtils::ArtTime(mSendFrame.mDays, mSendFrame.mMs);
  return true;
}
