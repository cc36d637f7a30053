#include "SamplingLoop.h"

#include <cstring>

#include "StopSignal.h"
#include "TellTrail.h"

void SetLogFilename(const char* name, int day, char* out) {
  int d, m, y;
  NCanUtils::GetDateFromDays(day, d, m, y);
  std::snprintf(out, cLogNameSize, "%s_%4.4d%2.2d%2.2d", name, y, m, d);
  std::printf("log file: %s\n", out);
}

KSamplingLoop::KSamplingLoop(const KRunSettings& settings, KCanServer& server, KCanFrame& frame,
                             int currentDay, const char* logName, KForwardingSinks* sinks)
    : mSettings(settings), mServer(server), mFrame(frame), mSinks(sinks), mCurrentDay(currentDay),
      mLogFile(nullptr), mPending(false), mOutputFailed(false), mWriteFailed(false),
      mOverwrittenReported(0), mDroppedReported(0) {
  mLine[0] = 0;
  std::snprintf(mLogName, sizeof(mLogName), "%s", logName != nullptr ? logName : "");
}

bool KSamplingLoop::AnySink() const {
  return mSettings.mFileLogging || mSettings.mMySql || mSettings.mUrlTemplate != nullptr ||
         mSettings.mPutHeader != nullptr;
}

void KSamplingLoop::WriteToLogFile() {
  std::size_t length = std::strlen(mLine);
  if (std::fwrite(mLine, 1, length, mLogFile) != length && !mWriteFailed) {
    std::printf("log file \"%s\" not written\n", mLogName);
    mWriteFailed = true;
  }
}

int KSamplingLoop::RunPeriod() {
  mLogFile = nullptr;
  mPending = false;
  mWriteFailed = false;
  HttpLen = 0;
  int count = 0;
  while (mServer.GetFrame(mFrame)) {
    ++count;
    if (mSinks != nullptr && !mSinks->Frame(mFrame)) {
      mOutputFailed = true;
      break;
    }
    mPending = true;
    NCanUtils::FormatFrame(mFrame, mSettings.mCsv, mLine);
    if (mSettings.mFileLogging) {
      // The file follows the frame's own receive day, not the clock.
      if (mFrame.mDays != mCurrentDay) {
        mCurrentDay = mFrame.mDays;
        SetLogFilename(mSettings.mFileName, mCurrentDay, mLogName);
        if (mLogFile != nullptr) {
          if (std::fclose(mLogFile) != 0 && !mWriteFailed)
            std::printf("log file \"%s\" not written\n", mLogName);
          mLogFile = nullptr;
        }
      }
      if (mLogFile == nullptr) {
        mLogFile = std::fopen(mLogName, "ab+");
        if (mLogFile == nullptr) {
          std::printf("log file \"%s\" not opened\n", mLogName);
          mServer.Terminate();
          mOutputFailed = true;
          break;
        }
      }
      WriteToLogFile();
    }
    if ((mFrame.mId & KCanFrame::cRemoteOrErrorMask) != 0 || !AnySink() || mSettings.mTrace) {
      std::printf("%s", mLine);
      mPending = false;
    }
  }
  ClosePeriod();
  return count;
}

void KSamplingLoop::ClosePeriod() {
  if (mLogFile != nullptr) {
    if (std::fclose(mLogFile) != 0 && !mWriteFailed)
      std::printf("log file \"%s\" not written\n", mLogName);
    mLogFile = nullptr;
  }
  if (mPending) {
    std::printf("%s", mLine);
    mPending = false;
  }
  if (mSinks != nullptr)
    mSinks->EndPeriod();
  uint32_t overwritten = mServer.Overwritten();
  if (overwritten != mOverwrittenReported) {
    std::printf("ring buffer overflow: %u frames lost\n", overwritten - mOverwrittenReported);
    mOverwrittenReported = overwritten;
  }
  uint32_t dropped = mServer.DriverDropped();
  if (dropped != mDroppedReported) {
    std::printf("receive queue overflow: %u frames lost\n", dropped - mDroppedReported);
    mDroppedReported = dropped;
  }
  std::fflush(stdout);
}

int KSamplingLoop::PauseSteps(time_t start, time_t now) const {
  long long steps = static_cast<long long>(start) - static_cast<long long>(now) + mSettings.mSampleTime;
  if (steps > mSettings.mSampleTime)
    steps = mSettings.mSampleTime; // the clock went back
  steps *= 10;
  if (steps < 1)
    steps = 1;
  return static_cast<int>(steps);
}

int KSamplingLoop::Pace(time_t periodStart) {
  int steps = PauseSteps(periodStart, std::time(nullptr));
  int made = 0;
  while (steps > 0 && !mServer.RingBufferFull() && !StopRequested()) {
    // One 100 ms step, looked at every 10 ms: a busy bus fills the ring's
    // last quarter in a fraction of a second.
    for (int slice = 0; slice < 10 && !mServer.RingBufferFull() && !StopRequested(); ++slice)
      NCanUtils::SleepMs(10);
    --steps;
    ++made;
  }
  return made;
}

void KSamplingLoop::Run() {
  while (!mServer.Terminated()) {
    time_t start = std::time(nullptr);
    RunPeriod();
    Pace(start);
  }
  // Whatever the capture thread stored before it stopped is still written,
  // unless the outputs have failed.
  mServer.WaitFor();
  if (!mOutputFailed && mServer.RingCount() > 0)
    RunPeriod();
}
