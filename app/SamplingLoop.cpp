#include "SamplingLoop.h"

#include <chrono>
#include <climits>

#include "StopSignal.h"

namespace {

bool AnyOutputBesidesConsole(const KRunSettings& s) {
  return s.mFileLogging || s.mMySql || s.mUrlTemplate != nullptr || s.mPutHeader != nullptr ||
         s.mMqtt != nullptr;
}

} // namespace

KSamplingLoop::KSamplingLoop(const KRunSettings& settings, KCanServer& server, KCanFrame& frame,
                             int currentDay, const char* logName, std::vector<KForwarder*> forwarders)
    : mSettings(settings), mServer(server), mFrame(frame),
      mDailyLog(settings.mFileName, settings.mCandump ? lfCandump : settings.mCsv ? lfCsv : lfTrace,
                server.GetDev(), currentDay, logName),
      mConsole(!AnyOutputBesidesConsole(settings) || settings.mTrace),
      mSinks(forwarders.begin(), forwarders.end()) {
  mLine[0] = 0;
  if (settings.mFileLogging)
    mSinks.push_back(&mDailyLog);
  mSinks.push_back(&mConsole);
}

bool KSamplingLoop::ForwardingFailed() const {
  for (const KFrameSink* sink : mSinks)
    if (sink->Failed())
      return true;
  return false;
}

int KSamplingLoop::RunPeriod() {
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
    NCanUtils::FormatFrame(mFrame, mSettings.mCsv, mLine);
    // A sink that cannot take the frame (a log file that cannot be opened)
    // ends the run; the frame still goes to the others.
    for (KFrameSink* sink : mSinks)
      if (!sink->Take(mFrame, mLine))
        mOutputFailed = true;
    if (mOutputFailed) {
      mServer.Terminate();
      break;
    }
  }
  ClosePeriod();
  return count;
}

void KSamplingLoop::ClosePeriod() {
  for (KFrameSink* sink : mSinks)
    sink->EndPeriod();
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
