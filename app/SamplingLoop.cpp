#include "SamplingLoop.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "ErrnoText.h"
#include "LogFileSettings.h"
#include "LogFileTail.h"
#include "StopSignal.h"

void SetLogFilename(const char* name, int day, char* out, const char* suffix) {
  int d, m, y;
  NCanUtils::GetDateFromDays(day, d, m, y);
  std::snprintf(out, cLogNameSize, "%s_%4.4d%2.2d%2.2d%s", name, y, m, d, suffix);
  std::printf("log file: %s\n", out);
}

KSamplingLoop::KSamplingLoop(const KRunSettings& settings, KCanServer& server, KCanFrame& frame,
                             int currentDay, const char* logName, std::vector<KForwarder*> forwarders)
    : mSettings(settings), mServer(server), mFrame(frame), mForwarders(std::move(forwarders)),
      mCurrentDay(currentDay),
      mLogFile(nullptr), mPending(false), mOutputFailed(false), mWriteFailed(false),
      mOverwrittenReported(0), mDroppedReported(0), mLogBuffer(new char[cLogBufferSize]),
      mLogUsed(0) {
  mLine[0] = 0;
  std::snprintf(mLogName, sizeof(mLogName), "%s", logName != nullptr ? logName : "");
}

KSamplingLoop::~KSamplingLoop() {
  CloseLogFile();
  delete[] mLogBuffer;
}

bool KSamplingLoop::AnySink() const {
  return mSettings.mFileLogging || mSettings.mMySql || mSettings.mUrlTemplate != nullptr ||
         mSettings.mPutHeader != nullptr || mSettings.mMqtt != nullptr;
}

bool KSamplingLoop::ForwardingFailed() const {
  for (const KForwarder* f : mForwarders)
    if (f->Failed())
      return true;
  return false;
}

bool KSamplingLoop::OpenLogFile() {
  mLogFile = std::fopen(mLogName, "ab+");
  if (mLogFile == nullptr)
    return false;
  // The lines are collected here and written in whole-line pieces, not in
  // the stream's own buffer, which would cut lines at its boundaries.
  std::setvbuf(mLogFile, nullptr, _IONBF, 0);
  mLogUsed = 0;
  // A file whose last line was cut (a crash, a power loss, a full disk)
  // loses that part of a line, which would read as a shorter, wrong frame.
  // Should it stay (the file cannot be cut), a line feed keeps it apart
  // from the new lines.
  const int fd = fileno(mLogFile);
  const long long cut = CutPartialLastLine(fd);
  if (cut > 0) {
    std::printf("log file \"%s\": cut last line removed (%lld bytes)\n", mLogName, cut);
  } else if (cut < 0) {
    char reason[128];
    NCanUtils::ErrnoText(errno, reason, sizeof(reason));
    std::printf("log file \"%s\": cut last line not removed: %s\n", mLogName, reason);
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
      mLogBuffer[mLogUsed++] = '\n';
  }
  return true;
}

void KSamplingLoop::WriteToLogFile() {
  // The candump form goes to the file only; the console keeps its line.
  char candump[cLineSize];
  const char* line = mLine;
  if (mSettings.mCandump) {
    NCanUtils::FormatCandump(mFrame, mServer.GetDev(), candump, sizeof(candump));
    line = candump;
  }
  std::size_t length = std::strlen(line);
  if (mLogUsed + length > static_cast<std::size_t>(cLogBufferSize))
    FlushLogFile();
  std::memcpy(mLogBuffer + mLogUsed, line, length);
  mLogUsed += length;
}

void KSamplingLoop::FlushLogFile() {
  if (mLogUsed == 0 || mLogFile == nullptr)
    return;
  if (std::fwrite(mLogBuffer, 1, mLogUsed, mLogFile) != mLogUsed) {
    // A full disk may have taken part of a line: cut it off at once, so that
    // a later write (once there is room) cannot join it to a new line.
    CutPartialLastLine(fileno(mLogFile));
    if (!mWriteFailed) {
      std::printf("log file \"%s\" not written\n", mLogName);
      mWriteFailed = true;
    }
  }
  mLogUsed = 0;
}

void KSamplingLoop::CloseLogFile() {
  if (mLogFile == nullptr)
    return;
  FlushLogFile();
  if (std::fclose(mLogFile) != 0 && !mWriteFailed) {
    std::printf("log file \"%s\" not written\n", mLogName);
    mWriteFailed = true;
  }
  mLogFile = nullptr;
}

int KSamplingLoop::RunPeriod() {
  mLogFile = nullptr;
  mPending = false;
  mWriteFailed = false;
  int count = 0;
  while (mServer.GetFrame(mFrame)) {
    ++count;
    mBusErrors.Add(mFrame);
    if (mDownsampler != nullptr && !mDownsampler->Keep(mFrame))
      continue;
    // A database that cannot be reached (without a spool) ends the run:
    // the drain stops here.
    if (ForwardingFailed()) {
      mOutputFailed = true;
      break;
    }
    for (KForwarder* f : mForwarders)
      f->Add(mFrame);
    mPending = true;
    NCanUtils::FormatFrame(mFrame, mSettings.mCsv, mLine);
    if (mSettings.mFileLogging) {
      // The file follows the frame's own receive day, not the clock.
      if (mFrame.mDays != mCurrentDay) {
        CloseLogFile();
        mCurrentDay = mFrame.mDays;
        SetLogFilename(mSettings.mFileName, mCurrentDay, mLogName,
                       LogFileSuffix(mSettings.mCandump ? lfCandump : lfTrace));
      }
      if (mLogFile == nullptr) {
        if (!OpenLogFile()) {
          char reason[128];
          NCanUtils::ErrnoText(errno, reason, sizeof(reason));
          std::printf("log file \"%s\" not opened: %s\n", mLogName, reason);
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
  CloseLogFile();
  if (mPending) {
    std::printf("%s", mLine);
    mPending = false;
  }
  for (KForwarder* f : mForwarders)
    f->EndPeriod();
  if (mBusErrors.Any()) {
    char line[256];
    mBusErrors.Format(line, sizeof(line));
    std::printf("bus errors: %s\n", line);
    mBusErrors.Clear();
  }
  // A CAN232 adapter's status flags, asked for once per period.
  const int status = mServer.TakeStatus();
  if (status > 0) {
    char line[256];
    KBusErrors::FormatAdapterStatus(status, line, sizeof(line));
    std::printf("adapter status: %s\n", line);
  }
  mServer.RequestStatus();
  // What the settings chose to leave out, on a line of its own: nobody may
  // take it for a loss.
  const uint32_t filtered = mServer.Filtered();
  const uint32_t leftOut = mDownsampler != nullptr ? mDownsampler->LeftOut() : 0;
  if (filtered != mFilteredReported || leftOut != mLeftOutReported) {
    std::printf("left out as the settings ask: %u frames by the filter, %u unchanged\n",
                filtered - mFilteredReported, leftOut - mLeftOutReported);
    mFilteredReported = filtered;
    mLeftOutReported = leftOut;
  }
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
  using Clock = std::chrono::steady_clock;
  const long long total = 100LL * PauseSteps(periodStart, std::time(nullptr));
  const Clock::time_point start = Clock::now();
  long long elapsed = 0;
  // One wait for the whole pause: the capture server's events end it early
  // (a filling ring, a stop signal, a capture thread that has stopped), so a
  // quiet bus costs no wake-ups and a stop is seen at once.
  while (elapsed < total) {
    long long rest = total - elapsed;
    if (mServer.WaitForEvent(rest > INT_MAX ? INT_MAX : static_cast<int>(rest)) || StopRequested())
      break;
    elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }
  elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return static_cast<int>(elapsed / 100);
}

void KSamplingLoop::Run() {
  while (!mServer.Terminated()) {
    time_t start = std::time(nullptr);
    RunPeriod();
    Pace(start);
    // A quiet bus leaves nothing to write: rather than waking once per
    // period for nothing, wait for the first frame, then give it a whole
    // period before the drain, as any frame gets at most.
    if (mServer.RingCount() == 0 && !mServer.Terminated() && mServer.WaitForFrame(mFilteredReported))
      Pace(std::time(nullptr));
  }
  // Whatever the capture thread stored before it stopped is still written,
  // unless the outputs have failed.
  mServer.WaitFor();
  if (!OutputFailed() && mServer.RingCount() > 0)
    RunPeriod();
}
