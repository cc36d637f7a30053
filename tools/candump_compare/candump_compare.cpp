// candump-compare: checks a telltrail log (CSV or trace lines) against a
// candump -l log of the same traffic. Every frame candump recorded must
// appear in telltrail's log once, in order, with consecutive counters and the
// same identifier, flags, length and data; with --time also the same receive
// time to the millisecond. Trace lines carry no flag bits: there only the
// 29 identifier bits are compared. Rows of the database table, as
// `mariadb -N -B -e "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7
// FROM can_log ORDER BY counter"` prints them (tab-separated, NULL for a
// missing byte), carry the identifier without bit 31 (extended frame).
//
//   candump-compare [--time] [--quiet] CANDUMP_LOG TELLTRAIL_LOG...
//
// Several telltrail logs (one per day) are read in the order given. Exit status 0
// when the logs agree, 1 when they differ, 2 on bad input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CandumpLog.h"
#include "NCanUtils.h"

namespace {

struct KLogFrame {
  uint32_t mCounter = 0;
  long long mUnixMs = 0;
  uint32_t mId = 0;
  int mLen = 0;
  unsigned char mData[8] = {};
  int mLine = 0;
  bool mTrace = false; // from a trace line: no flag bits
  bool mRow = false;   // from a table row: no bit 31
};

bool ParseCandump(const char* line, KLogFrame& f) {
  KCandumpFrame c;
  const char* why = "";
  if (ParseCandumpLine(line, c, why) != clFrame || !c.mHasTime)
    return false;
  f.mUnixMs = c.UnixMs();
  f.mId = c.IdWord();
  f.mLen = c.mLen;
  std::memcpy(f.mData, c.mData, sizeof(f.mData));
  return true;
}

// The eight data fields after the head of a CSV line or a table row, each
// after a separator: a decimal byte, or NULL from the frame's length on.
bool ParseData(const char* p, char separator, KLogFrame& f) {
  f.mLen = 0;
  for (int i = 0; i < 8; ++i) {
    if (*p++ != separator)
      return false;
    if (std::strncmp(p, "NULL", 4) == 0) {
      p += 4;
      continue;
    }
    char* end;
    long v = std::strtol(p, &end, 10);
    if (end == p || v < 0 || v > 255 || f.mLen != i)
      return false;
    f.mData[f.mLen++] = static_cast<unsigned char>(v);
    p = end;
  }
  return *p == '\n' || *p == 0;
}

// "17,'2026-12-07',50709123,384,0,49,0,250,0,12,NULL,NULL,NULL"
bool ParseCsv(const char* line, KLogFrame& f) {
  unsigned long counter, id;
  int year, month, day, ms, flags, consumed = 0;
  if (std::sscanf(line, "%lu,'%d-%d-%d',%d,%lu,%d%n", &counter, &year, &month, &day, &ms, &id,
                  &flags, &consumed) != 7)
    return false;
  int days;
  if (!NCanUtils::GetArtDays(year, month, day, days))
    return false;
  f.mCounter = static_cast<uint32_t>(counter);
  f.mUnixMs = (static_cast<long long>(days) + NCanUtils::cEpochOffsetDays) * NCanUtils::cMsPerDay + ms;
  f.mId = static_cast<uint32_t>(id);
  return ParseData(line + consumed, ',', f);
}

// " 17  7.12.2026 14:05:09.123       180 00 [5] 31 00 fa 00 0c           1...."
bool ParseTrace(const char* line, KLogFrame& f) {
  unsigned long counter, id;
  unsigned flags;
  int day, month, year, hours, minutes, seconds, millis, length, consumed = 0;
  if (std::sscanf(line, "%lu %d.%d.%d %d:%d:%d.%d %lx %x [%d] %n", &counter, &day, &month, &year,
                  &hours, &minutes, &seconds, &millis, &id, &flags, &length, &consumed) != 11 ||
      consumed == 0)
    return false;
  int days;
  if (!NCanUtils::GetArtDays(year, month, day, days) || length < 0 || length > 8)
    return false;
  f.mTrace = true;
  f.mCounter = static_cast<uint32_t>(counter);
  f.mUnixMs = (static_cast<long long>(days) + NCanUtils::cEpochOffsetDays) * NCanUtils::cMsPerDay +
              ((hours * 60LL + minutes) * 60 + seconds) * 1000 + millis;
  f.mId = static_cast<uint32_t>(id);
  f.mLen = length;
  const char* p = line + consumed;
  for (int i = 0; i < length; ++i) {
    if (!NCanUtils::GetHexByte(p, f.mData[i]) || *p++ != ' ')
      return false;
  }
  return true;
}

// "17\t1796652309123\t384\t49\t0\t250\t0\t12\tNULL\tNULL\tNULL"
bool ParseRow(const char* line, KLogFrame& f) {
  unsigned long counter, id;
  long long ms;
  int consumed = 0;
  if (std::sscanf(line, "%lu\t%lld\t%lu%n", &counter, &ms, &id, &consumed) != 3)
    return false;
  f.mRow = true;
  f.mCounter = static_cast<uint32_t>(counter);
  f.mUnixMs = ms;
  f.mId = static_cast<uint32_t>(id);
  return ParseData(line + consumed, '\t', f);
}

// A CSV line starts with its counter and a comma, a trace line with blanks
// or a counter and blanks.
bool IsCsv(const char* line) {
  while (*line >= '0' && *line <= '9')
    ++line;
  return *line == ',';
}

bool ReadLog(const char* path, bool telltrail, std::vector<KLogFrame>& frames) {
  FILE* in = std::fopen(path, "r");
  if (in == nullptr) {
    std::fprintf(stderr, "candump-compare: cannot open %s\n", path);
    return false;
  }
  char line[512];
  int number = 0;
  bool ok = true;
  while (std::fgets(line, sizeof(line), in) != nullptr) {
    ++number;
    if (line[0] == '\n' || line[0] == 0)
      continue;
    KLogFrame f;
    f.mLine = number;
    bool parsed = !telltrail                        ? ParseCandump(line, f)
                  : std::strchr(line, '\t') != nullptr ? ParseRow(line, f)
                  : IsCsv(line)                         ? ParseCsv(line, f)
                                                        : ParseTrace(line, f);
    if (!parsed) {
      std::fprintf(stderr, "candump-compare: %s:%d: not a frame line: %s", path, number, line);
      ok = false;
      break;
    }
    frames.push_back(f);
  }
  std::fclose(in);
  return ok;
}

} // namespace

int main(int argc, char** argv) {
  bool compareTime = false, quiet = false;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (std::strcmp(argv[first], "--time") == 0)
      compareTime = true;
    else if (std::strcmp(argv[first], "--quiet") == 0)
      quiet = true;
    else
      break;
  }
  if (argc - first < 2) {
    std::fprintf(stderr, "usage: candump-compare [--time] [--quiet] CANDUMP_LOG TELLTRAIL_LOG...\n");
    return 2;
  }
  std::vector<KLogFrame> reference, logged;
  if (!ReadLog(argv[first], false, reference))
    return 2;
  for (int i = first + 1; i < argc; ++i)
    if (!ReadLog(argv[i], true, logged))
      return 2;

  int errors = 0;
  auto report = [&](size_t i, const char* what) {
    if (++errors <= 10)
      std::printf("frame %zu (candump line %d): %s\n", i, reference[i].mLine, what);
  };
  size_t n = reference.size() < logged.size() ? reference.size() : logged.size();
  for (size_t i = 0; i < n; ++i) {
    const KLogFrame& r = reference[i];
    const KLogFrame& l = logged[i];
    if (l.mCounter != logged[0].mCounter + static_cast<uint32_t>(i))
      report(i, "counter not consecutive");
    uint32_t expectedId = l.mTrace ? r.mId & KCanFrame::cIdMask
                          : l.mRow ? r.mId & KCanFrame::cNoBit31Mask
                                   : r.mId;
    if (l.mId != expectedId)
      report(i, "identifier differs");
    if (l.mLen != r.mLen || std::memcmp(l.mData, r.mData, static_cast<size_t>(r.mLen)) != 0) {
      if ((r.mId & KCanFrame::cRemoteFlag) == 0 || l.mLen != r.mLen)
        report(i, "data differs");
    }
    if (compareTime && l.mUnixMs != r.mUnixMs)
      report(i, "receive time differs");
  }
  if (reference.size() != logged.size()) {
    ++errors;
    std::printf("candump recorded %zu frames, telltrail logged %zu\n", reference.size(), logged.size());
  }
  if (errors == 0 && !quiet)
    std::printf("%zu frames compared: identical%s\n", n, compareTime ? " (time to the ms)" : "");
  else if (errors > 0)
    std::printf("%d differences\n", errors);
  return errors == 0 ? 0 : 1;
}
