// The daily log file as an output: one file per receive day of the frames
// ("<name>_YYYYMMDD", see FormatDailyName), opened for appending each
// period and closed at its end, a cut last line of an earlier run removed,
// the lines of a period written in whole-line pieces.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "FrameSink.h"
#include "LogFileSettings.h"

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

class KDailyLog : public KFrameSink {
public:
  // `base` the files' base name, `form` their lines (the candump form names
  // the interface `device`), `day` and `name` the day whose file is named
  // already.
  KDailyLog(const char* base, TLogFormEnum form, const char* device, int day, const char* name);
  ~KDailyLog() override;
  KDailyLog(const KDailyLog&) = delete;
  KDailyLog& operator=(const KDailyLog&) = delete;

  // Writes the frame's line (or its candump line) to the file of the
  // frame's own receive day. False when that file cannot be opened.
  bool Take(const KCanFrame& frame, const char* line) override;
  // Writes what is waiting and closes the file.
  void EndPeriod() override;

  const char* Name() const { return mName; }
  int Day() const { return mDay; }

private:
  bool Open();
  void Flush();
  void Close();

  const char* mBase;
  TLogFormEnum mForm;
  const char* mDevice;
  int mDay;
  char mName[cLogNameSize];
  FILE* mFile = nullptr;
  bool mWriteFailed = false; // said once a period
  std::unique_ptr<char[]> mBuffer; // cLogBufferSize characters
  std::size_t mUsed = 0;
};
