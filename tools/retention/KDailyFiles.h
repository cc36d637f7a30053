// The daily log files of one base name, as telltrail writes them and
// telltrail-retention keeps them:
//   BASE_YYYYMMDD         trace or CSV lines
//   BASE_YYYYMMDD.log     candump log lines
// each possibly compressed (.gz, .zst) once its day is closed.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "LogFileSettings.h"

struct KDailyFile {
  std::string mPath;
  int mDay = 0;                   // days since 2000-01-01 (UTC) of its name
  TCompressEnum mCompressed = ceNone;
  bool mPart = false;             // a compression's unfinished output
  long long mSize = 0;
  time_t mModified = 0;
};

// The files of `base` (a path; its directory is read), oldest day first;
// false, with a message, when the directory cannot be read. Names that do
// not have exactly that form, and what is not a regular file, are not taken.
bool ListDailyFiles(const std::string& base, std::vector<KDailyFile>& files);
