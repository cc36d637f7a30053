// The logger application: command line, start-up, the sampling loop with
// console and daily log file output, and shut-down.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "KCanServer.h"
#include "NCanUtils.h"

enum : int {
  cHttpPutSize = 500000,
  cLogNameSize = 1024,
  cRequestSize = 512,
  // "_YYYYMMDD" after the file name
  cDateSuffixLength = 9,
  cMaxFileNameLength = cLogNameSize - 1 - cDateSuffixLength
};

// The HTTP PUT batch being collected and its length (main thread only).
extern char HttpPut[cHttpPutSize];
extern uint32_t HttpLen;

// Builds "<name>_YYYYMMDD" for the day number into `out` (the 1024-character
// log file name buffer) and prints "log file: <name>".
void SetLogFilename(const char* name, int day, char* out);

// Sample time text: a decimal or 0x-hexadecimal number of seconds, 0 to
// 86400, with nothing after it. Numbers too large to be read without
// wrapping are refused.
bool ParseSampleTime(const char* text, int& seconds);

// The run settings, taken from the command line (or the XML settings file).
// Texts point into the argument vector or the settings tree.
struct KRunSettings {
  bool mTrace = false;
  bool mXml = false;
  bool mCsv = false;
  bool mMySql = false;
  bool mFileLogging = false;
  const char* mDevice = nullptr;
  const char* mSampleTimeText = nullptr;
  const char* mFileName = nullptr;
  const char* mOutputKind = nullptr;
  const char* mPutHeader = nullptr;
  const char* mUrlTemplate = nullptr;
  const char* mServerAddress = nullptr;
  int mSampleTime = 10;
  int mArgCount = 0; // positional arguments in effect
};

// Once per sample period: drain the capture server's ring, write every frame
// to the outputs, then pause for the rest of the period.
class KSamplingLoop {
public:
  KSamplingLoop(const KRunSettings& settings, KCanServer& server, KCanFrame& frame, int currentDay,
                const char* logName);

  // Runs periods until the capture thread's terminate flag is set, then one
  // last drain so that nothing captured before the stop is lost.
  void Run();
  // Drains the ring and writes the frames; closes the period's outputs.
  // Returns the number of frames taken.
  int RunPeriod();
  // Pauses in 100 ms steps for the rest of the period that began at
  // `periodStart`; ends early when the ring is three quarters full or a stop
  // has been requested. Returns the number of 100 ms pauses made.
  int Pace(time_t periodStart);
  // Number of 100 ms pauses allowed for a period begun at `start` and ended
  // at `now`.
  int PauseSteps(time_t start, time_t now) const;

  // True when an output could not be opened: the run is ending.
  bool OutputFailed() const { return mOutputFailed; }
  const char* LogName() const { return mLogName; }
  int CurrentDay() const { return mCurrentDay; }

private:
  bool AnySink() const;
  void WriteToLogFile();
  void ClosePeriod();

  const KRunSettings& mSettings;
  KCanServer& mServer;
  KCanFrame& mFrame;
  int mCurrentDay;
  FILE* mLogFile;
  bool mPending;
  bool mOutputFailed;
  bool mWriteFailed;
  uint32_t mOverwrittenReported;
  uint32_t mDroppedReported;
  char mLine[cLineSize];
  char mLogName[cLogNameSize];
};

// Requests a clean stop (SIGINT/SIGTERM): sets the capture thread's terminate
// flag. Async-signal-safe.
void RequestStop();
bool StopRequested();
void ClearStopRequest();

class KXmlNode;
// Takes the run settings from a parsed settings file: device, sample time,
// log file (and the database and HTTP keys). False when start-up must fail.
bool ReadXmlSettings(const KXmlNode& root, KRunSettings& s);

// The whole program; returns the exit status (0 after a run, -1 after a
// start-up failure).
int TellTrailMain(int argc, char** argv);
