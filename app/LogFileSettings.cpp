#include "LogFileSettings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KXmlNodeList.h"
#include "NCanUtils.h"

namespace {

const char* const lForms[] = {"trace", "csv", "candump"};
const char* const lCompressions[] = {"none", "gzip", "zstd"};

template <typename TEnum, int N>
bool Lookup(const char* text, const char* const (&names)[N], TEnum& value) {
  for (int i = 0; i < N; ++i)
    if (text != nullptr && std::strcmp(text, names[i]) == 0) {
      value = static_cast<TEnum>(i);
      return true;
    }
  return false;
}

} // namespace

bool ParseLogForm(const char* text, TLogFormEnum& form) { return Lookup(text, lForms, form); }

bool ParseCompress(const char* text, TCompressEnum& compress) {
  return Lookup(text, lCompressions, compress);
}

bool ParseCount(const char* text, long long max, long long& value) {
  if (text == nullptr || *text == 0)
    return false;
  long long v = 0;
  for (const char* p = text; *p != 0; ++p) {
    if (*p < '0' || *p > '9')
      return false;
    v = v * 10 + (*p - '0');
    if (v > max)
      return false;
  }
  if (v < 1)
    return false;
  value = v;
  return true;
}

bool ReadLogFileSettings(const KXmlNode& root, KLogFileSettings& s) {
  s.mName = root.FindNodeAttr("log_file", "Name");
  const char* text = root.FindNodeAttr("log_file", "Format");
  if (text != nullptr && !ParseLogForm(text, s.mForm)) {
    std::printf("log_file/Format refused: \"%s\" (trace, csv or candump)\n", text);
    return false;
  }
  long long value = 0;
  text = root.FindNodeAttr("log_file", "KeepDays");
  if (text != nullptr) {
    if (!ParseCount(text, cMaxKeepDays, value)) {
      std::printf("log_file/KeepDays refused: \"%s\" (days, 1 to %d)\n", text, cMaxKeepDays);
      return false;
    }
    s.mKeepDays = static_cast<int>(value);
  }
  text = root.FindNodeAttr("log_file", "MaxMB");
  if (text != nullptr) {
    if (!ParseCount(text, cMaxBudgetMB, value)) {
      std::printf("log_file/MaxMB refused: \"%s\" (megabytes, 1 to %d)\n", text, cMaxBudgetMB);
      return false;
    }
    s.mMaxBytes = value * cBytesPerMB;
  }
  text = root.FindNodeAttr("log_file", "Compress");
  if (text != nullptr && !ParseCompress(text, s.mCompress)) {
    std::printf("log_file/Compress refused: \"%s\" (none, gzip or zstd)\n", text);
    return false;
  }
  return true;
}

const char* LogFileSuffix(TLogFormEnum form) { return form == lfCandump ? ".log" : ""; }

const char* CompressSuffix(TCompressEnum compress) {
  return compress == ceGzip ? ".gz" : compress == ceZstd ? ".zst" : "";
}

bool FormatDailyName(const char* base, int day, const char* suffix, char* out, unsigned size) {
  int d, m, y;
  NCanUtils::GetDateFromDays(day, d, m, y);
  const int n = std::snprintf(out, size, "%s_%4.4d%2.2d%2.2d%s", base, y, m, d, suffix);
  return n >= 0 && static_cast<unsigned>(n) < size;
}

bool ParseDailyDate(const char* digits, int& day) {
  if (std::strlen(digits) != 8 || std::strspn(digits, "0123456789") != 8)
    return false;
  const int date = static_cast<int>(std::strtol(digits, nullptr, 10));
  return NCanUtils::GetArtDays(date / 10000, date / 100 % 100, date % 100, day);
}
