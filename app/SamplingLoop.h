// The sampling loop: once per sample period it drains the capture server's
// ring and hands every frame to each output (a KFrameSink: the forwarding
// outputs, the daily log file, the console), then reports the period's bus
// errors, what the settings left out and what was lost.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "ConsoleSink.h"
#include "DailyLog.h"
#include "KBusErrors.h"
#include "KCanServer.h"
#include "KDownsampler.h"
#include "KForwarder.h"
#include "NCanUtils.h"
#include "RunSettings.h"

// Once per sample period: drain the capture server's ring, write every frame
// to the outputs, then pause for the rest of the period.
class KSamplingLoop {
public:
  // Every one of `forwarders` (none: console and log file only) gets every
  // frame before its line is formatted, and the end of every period.
  KSamplingLoop(const KRunSettings& settings, KCanServer& server, KCanFrame& frame, int currentDay,
                const char* logName, std::vector<KForwarder*> forwarders = {});
  KSamplingLoop(const KSamplingLoop&) = delete;
  KSamplingLoop& operator=(const KSamplingLoop&) = delete;

  // Runs periods until the capture thread's terminate flag is set, then one
  // last drain so that nothing captured before the stop is lost. While the
  // ring stays empty it waits for the first frame instead of running empty
  // periods (which would write nothing), and pauses a whole period after it.
  void Run();
  // Drains the ring and writes the frames; closes the period's outputs.
  // Returns the number of frames taken.
  int RunPeriod();
  // Pauses for the rest of the period that began at `periodStart` (whole
  // 100 ms steps, see PauseSteps); ends early when the ring is three
  // quarters full or the capture thread has stopped or been asked to stop.
  // Returns the number of whole 100 ms steps the pause lasted.
  int Pace(time_t periodStart);
  // Number of 100 ms pauses allowed for a period begun at `start` and ended
  // at `now`.
  int PauseSteps(time_t start, time_t now) const;

  // True when an output could not be opened: the run is ending.
  bool OutputFailed() const { return mOutputFailed || ForwardingFailed(); }
  // Logging on change: the frames `downsampler` leaves out are written to no
  // output. Null (the default): every frame.
  void SetDownsampler(KDownsampler* downsampler) { mDownsampler = downsampler; }
  const char* LogName() const { return mDailyLog.Name(); }
  int CurrentDay() const { return mDailyLog.Day(); }

private:
  // A sink failed in a way that ends the run.
  bool ForwardingFailed() const;
  // The period's reports, after the sinks have ended it.
  void ClosePeriod();

  const KRunSettings& mSettings;
  KCanServer& mServer;
  KCanFrame& mFrame;
  KDailyLog mDailyLog;
  KConsoleSink mConsole;
  // In the order a frame goes to them: forwarding first (it copies the
  // frame), then the file, then the console.
  std::vector<KFrameSink*> mSinks;
  bool mOutputFailed = false;
  uint32_t mOverwrittenReported = 0;
  uint32_t mDroppedReported = 0;
  KDownsampler* mDownsampler = nullptr;
  KBusErrors mBusErrors; // this period's
  uint32_t mFilteredReported = 0;
  uint32_t mLeftOutReported = 0;
  char mLine[cLineSize];
};
