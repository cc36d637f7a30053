// The sampling loop: once per sample period it drains the capture server's
// ring and writes every frame to the console and the daily log file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "KCanServer.h"
#include "KBusErrors.h"
#include "KDownsampler.h"
#include "KForwarder.h"
#include "NCanUtils.h"
#include "RunSettings.h"

enum : int {
  cLogNameSize = 1024,
  // Lines collected for the log file before one write: whole lines only, so
  // that a crash or power loss cuts at most the last line of a write.
  cLogBufferSize = 256 * 1024,
  // "_YYYYMMDD" after the file name
  cDateSuffixLength = 9,
  cMaxFileNameLength = cLogNameSize - 1 - cDateSuffixLength
};

// Builds "<name>_YYYYMMDD<suffix>" for the day number into `out` (the
// 1024-character log file name buffer) and prints "log file: <name>".
// The suffix: LogFileSuffix (LogFileSettings.h).
void SetLogFilename(const char* name, int day, char* out, const char* suffix = "");

// Once per sample period: drain the capture server's ring, write every frame
// to the outputs, then pause for the rest of the period.
class KSamplingLoop {
public:
  // Every one of `forwarders` (none: console and log file only) gets every
  // frame before its line is formatted, and the end of every period.
  KSamplingLoop(const KRunSettings& settings, KCanServer& server, KCanFrame& frame, int currentDay,
                const char* logName, std::vector<KForwarder*> forwarders = {});
  ~KSamplingLoop();
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
  const char* LogName() const { return mLogName; }
  int CurrentDay() const { return mCurrentDay; }

private:
  bool AnySink() const;
  // A forwarding output failed in a way that ends the run.
  bool ForwardingFailed() const;
  // Opens the day's log file for appending; false when it cannot be opened.
  bool OpenLogFile();
  // Adds the frame line to the lines waiting for the log file.
  void WriteToLogFile();
  // Writes the waiting lines in one write.
  void FlushLogFile();
  void CloseLogFile();
  void ClosePeriod();

  const KRunSettings& mSettings;
  KCanServer& mServer;
  KCanFrame& mFrame;
  std::vector<KForwarder*> mForwarders;
  int mCurrentDay;
  FILE* mLogFile;
  bool mPending;
  bool mOutputFailed;
  bool mWriteFailed;
  uint32_t mOverwrittenReported;
  uint32_t mDroppedReported;
  KDownsampler* mDownsampler = nullptr;
  KBusErrors mBusErrors; // this period's
  uint32_t mFilteredReported = 0;
  uint32_t mLeftOutReported = 0;
  char mLine[cLineSize];
  char mLogName[cLogNameSize];
  char* mLogBuffer; // cLogBufferSize characters
  std::size_t mLogUsed;
};
