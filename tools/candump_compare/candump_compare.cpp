// candump-compare: checks a telltrail log (CSV, trace or candump lines)
// against a candump -l log of the same traffic. Every frame candump recorded
// must appear in telltrail's log once, in order, with consecutive counters
// (candump lines have none) and the same identifier, flags, length and data;
// with --time also the same receive time to the millisecond. Trace lines
// carry no flag bits: there only the 29 identifier bits are compared. Rows
// of the database table, as
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

#include "LogLine.h"
#include "NCanUtils.h"

namespace {

struct KLogFrame {
  KLogLine mLog;
  long long mUnixMs = 0;
  int mLine = 0;
};

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
    const char* why = "";
    // The reference is a candump log; telltrail's logs may be of any form.
    bool parsed = (telltrail || line[0] == '(') && ParseLogLine(line, f.mLog, why) == clFrame;
    if (!parsed) {
      std::fprintf(stderr, "candump-compare: %s:%d: not a frame line (%s): %s", path, number, why,
                   line);
      ok = false;
      break;
    }
    f.mUnixMs = NCanUtils::UnixMs(f.mLog.mFrame.mDays, f.mLog.mFrame.mMs);
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
    const KCanFrame& r = reference[i].mLog.mFrame;
    const KLogLine& log = logged[i].mLog;
    const KCanFrame& l = log.mFrame;
    if (log.mHasCounter && l.mCounter != logged[0].mLog.mFrame.mCounter + static_cast<uint32_t>(i))
      report(i, "counter not consecutive");
    uint32_t expectedId = log.mCarries == caNoFlags      ? r.mId & KCanFrame::cIdMask
                          : log.mCarries == caNoExtended ? r.mId & KCanFrame::cNoBit31Mask
                                                         : r.mId;
    if (l.mId != expectedId)
      report(i, "identifier differs");
    if (l.mLen != r.mLen || std::memcmp(l.mData, r.mData, static_cast<size_t>(r.mLen)) != 0) {
      if ((r.mId & KCanFrame::cRemoteFlag) == 0 || l.mLen != r.mLen)
        report(i, "data differs");
    }
    if (compareTime && logged[i].mUnixMs != reference[i].mUnixMs)
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
