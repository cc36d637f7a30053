// The daily log file's settings beyond its name: the line form, and how
// long its closed days are kept and whether they are compressed. Read by
// telltrail (which refuses values it does not know at start-up) and by
// telltrail-retention (which keeps and compresses the files).
#pragma once

class KXmlNode;

enum TLogFormEnum { lfTrace, lfCsv, lfCandump };
enum TCompressEnum { ceNone, ceGzip, ceZstd };

struct KLogFileSettings {
  const char* mName = nullptr;  // log_file/Name: the daily files' base name
  TLogFormEnum mForm = lfTrace; // log_file/Format
  int mKeepDays = 0;            // log_file/KeepDays; 0: every day is kept
  long long mMaxBytes = 0;      // log_file/MaxMB in bytes; 0: no size budget
  TCompressEnum mCompress = ceNone; // log_file/Compress
};

enum : int {
  cMaxKeepDays = 100000,
  cMaxBudgetMB = 100000000,
  cBytesPerMB = 1048576
};

// Reads the attributes of the settings file's log_file element: Name,
// Format (trace, csv or candump), KeepDays (1 ..), MaxMB (1 ..), Compress
// (none, gzip or zstd); a missing attribute keeps its default. False, with
// a one-line message, for a value it does not know.
bool ReadLogFileSettings(const KXmlNode& root, KLogFileSettings& s);

// The same values as text (the retention tool's options).
bool ParseLogForm(const char* text, TLogFormEnum& form);
bool ParseCompress(const char* text, TCompressEnum& compress);
// A whole decimal number from 1 to `max`, nothing else.
bool ParseCount(const char* text, long long max, long long& value);

// What follows the date in the daily file's name: ".log" for the candump
// form (the name candump's tools expect), nothing for the others.
const char* LogFileSuffix(TLogFormEnum form);
// The suffix a compressed day gets: ".gz" or ".zst" (nothing for ceNone).
const char* CompressSuffix(TCompressEnum compress);

// The daily file's name: "<base>_YYYYMMDD<suffix>" for the day number `day`
// (days since 1970-01-01) into `out`; false when it does not fit `size`.
bool FormatDailyName(const char* base, int day, const char* suffix, char* out, unsigned size);
// The day number of the 8 digits "YYYYMMDD" of a daily file's name; false
// for anything else (fewer or more digits, a date that does not exist).
bool ParseDailyDate(const char* digits, int& day);
