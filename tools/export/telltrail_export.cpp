// telltrail-export: telltrail's logs as candump log lines.
//
// Reads daily log files of every form telltrail writes (trace, CSV,
// candump; plain or compressed by telltrail-retention) and the database
// table can_log, and writes the frames in the candump log format, which
// can-utils (canplayer, log2asc), python-can, cantools and SavvyCAN read.
// Frames can be chosen by identifier and by time range.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "KInputFile.h"
#include "KMySql.h"
#include "KXmlNodeList.h"
#include "LogLine.h"
#include "NCanUtils.h"
#include "XmlParser.h"

namespace {

const char cUsage[] =
    "usage: telltrail-export [options] [FILE...]\n"
    "Writes the frames of telltrail's daily log files (trace, CSV or candump form,\n"
    "plain or compressed with gzip or zstd) and of the database table can_log as\n"
    "candump log lines: (seconds.microseconds) interface ID#DATA\n"
    "  -o, --output FILE     write to FILE instead of standard output\n"
    "  -m, --mysql SETTINGS  read the table can_log with the connection of the\n"
    "                        settings file's mysql element (after the files)\n"
    "  -i, --id ID[-ID]      only frames with this identifier, or in this range\n"
    "                        (hexadecimal, 29 bits; repeatable)\n"
    "  -f, --from TIME       only frames received at TIME or later\n"
    "  -t, --to TIME         only frames received before TIME\n"
    "                        TIME: YYYY-MM-DD[THH:MM[:SS[.ffffff]]] in UTC, or\n"
    "                        @SECONDS[.ffffff] since 1970\n"
    "  -I, --iface NAME      interface name of every line (default: the one of\n"
    "                        candump lines, can0 for the other forms)\n"
    "  -q, --quiet           no summary on standard error\n"
    "Files are read in the order given. Exit status 0, or 1 when a source could\n"
    "not be read whole, 2 for wrong arguments.\n";

const char cDefaultIface[] = "can0";

struct KFilter {
  std::vector<std::pair<uint32_t, uint32_t>> mIds;
  bool mHasFrom = false;
  bool mHasTo = false;
  long long mFromUs = 0;
  long long mToUs = 0;

  long long TimeUs(const KLogLine& log) const {
    return NCanUtils::UnixMs(log.mFrame.mDays, log.mFrame.mMs) * 1000 + log.mMicro;
  }

  bool Pass(const KLogLine& log) const {
    const long long t = TimeUs(log);
    if ((mHasFrom && t < mFromUs) || (mHasTo && t >= mToUs))
      return false;
    if (mIds.empty())
      return true;
    // An error frame's identifier is its error class, never a sender's.
    if ((log.mFrame.mId & KCanFrame::cErrorFlag) != 0)
      return false;
    const uint32_t id = log.mFrame.mId & KCanFrame::cIdMask;
    for (const auto& range : mIds)
      if (id >= range.first && id <= range.second)
        return true;
    return false;
  }
};

struct KCounts {
  long long mWritten = 0;
  long long mSkipped = 0; // lines that are no frame (empty, CAN FD)
  long long mBad = 0;     // lines that could not be read
  long long mTrace = 0;   // frames from trace lines (no flags)
  long long mRows = 0;    // frames from table rows (no extended flag)
};

class KExport {
public:
  KFilter mFilter;
  const char* mIface = nullptr;
  bool mQuiet = false;
  FILE* mOut = nullptr;
  KCounts mCounts;

  bool ExportFile(const char* path);
  bool ExportTable(const char* settingsPath);
  void Write(const KLogLine& log);
};

void KExport::Write(const KLogLine& log) {
  if (!mFilter.Pass(log))
    return;
  const char* iface = mIface != nullptr ? mIface : log.mIface[0] != 0 ? log.mIface : cDefaultIface;
  char line[cLineSize];
  NCanUtils::FormatCandump(log.mFrame, iface, line, sizeof(line), log.mMicro);
  std::fputs(line, mOut);
  ++mCounts.mWritten;
  if (log.mCarries == caNoFlags)
    ++mCounts.mTrace;
  else if (log.mCarries == caNoExtended)
    ++mCounts.mRows;
}

bool KExport::ExportFile(const char* path) {
  KInputFile in;
  if (!in.Open(path))
    return false;
  std::string text;
  bool whole = true;
  long long number = 0;
  while (in.ReadLine(text, whole)) {
    ++number;
    KLogLine log;
    const char* why = "";
    TCandumpLineEnum kind;
    // A line is read whole or not at all: a NUL byte (a block of zeros
    // left by a power loss) would end the text early, and a last line
    // without its line feed may be a longer frame cut short.
    if (text.find('\0') != std::string::npos) {
      kind = clBad;
      why = "NUL bytes";
    } else if (!whole) {
      kind = clBad;
      why = "cut line (no line feed at the end of the file)";
    } else {
      kind = ParseLogLine(text.c_str(), log, why);
    }
    switch (kind) {
    case clFrame: Write(log); break;
    case clSkip:
      if (std::strcmp(why, "empty") != 0)
        ++mCounts.mSkipped;
      break;
    case clBad:
      // Said, and passed over: every one by its file and line number.
      std::fprintf(stderr, "telltrail-export: %s:%lld: %s, line skipped\n", path, number, why);
      ++mCounts.mBad;
      break;
    }
  }
  return in.Close();
}

bool KExport::ExportTable(const char* settingsPath) {
  KParser parser;
  KXmlNode root;
  if (!parser.ParseFile(settingsPath, &root))
    return false;
  if (root.Find("mysql") == nullptr) {
    std::fprintf(stderr, "telltrail-export: %s has no mysql element\n", settingsPath);
    return false;
  }
  KMySql db;
  db.mTransactions = false; // only reads: the server's autocommit stays
  if (!db.GetXmlParams(&root) || !db.Open())
    return false;
  // The identifier ranges with and without the remote flag (the table keeps
  // bits 30 and 29), and the time range in milliseconds, so that the
  // server finds the rows through its key id_time (can_id, timestamp).
  std::string sql = "SELECT counter,`timestamp`,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log";
  std::string where;
  char part[160];
  if (!mFilter.mIds.empty()) {
    where += "(";
    for (size_t i = 0; i < mFilter.mIds.size(); ++i) {
      const uint32_t a = mFilter.mIds[i].first, b = mFilter.mIds[i].second;
      std::snprintf(part, sizeof(part), "%scan_id BETWEEN %" PRIu32 " AND %" PRIu32
                    " OR can_id BETWEEN %" PRIu32 " AND %" PRIu32,
                    i == 0 ? "" : " OR ", a, b, a | KCanFrame::cRemoteFlag,
                    b | KCanFrame::cRemoteFlag);
      where += part;
    }
    where += ")";
  }
  if (mFilter.mHasFrom) {
    // The first whole millisecond at or after the start.
    std::snprintf(part, sizeof(part), "%s`timestamp` >= %lld", where.empty() ? "" : " AND ",
                  (mFilter.mFromUs + 999) / 1000);
    where += part;
  }
  if (mFilter.mHasTo) {
    std::snprintf(part, sizeof(part), "%s`timestamp` < %lld", where.empty() ? "" : " AND ",
                  mFilter.mToUs / 1000 + (mFilter.mToUs % 1000 > 0 ? 1 : 0));
    where += part;
  }
  if (!where.empty())
    sql += " WHERE " + where;
  sql += " ORDER BY `timestamp`,counter";
  if (!db.Query(sql.c_str()))
    return false;
  // Row by row from the server, not the whole table in memory.
  MYSQL_RES* result = p_mysql_use_result(db.mMySql);
  if (result == nullptr) {
    db.PrintError("mysql_use_result");
    return false;
  }
  bool ok = true;
  MYSQL_ROW row;
  while ((row = p_mysql_fetch_row(result)) != nullptr) {
    const char* fields[11];
    for (int i = 0; i < 11; ++i)
      fields[i] = row[i];
    KLogLine log;
    if (ParseTableRow(fields, log)) {
      Write(log);
    } else {
      if (++mCounts.mBad <= 5)
        std::fprintf(stderr, "telltrail-export: a table row that is no frame, skipped\n");
    }
  }
  if (p_mysql_errno(db.mMySql) != 0) {
    db.PrintError("mysql_fetch_row");
    ok = false;
  }
  if (p_mysql_free_result != nullptr)
    p_mysql_free_result(result);
  return ok;
}

// Microseconds since 1970 of "@SECONDS[.f]" or "YYYY-MM-DD[THH:MM[:SS[.f]]]"
// (UTC; a blank may stand for the T, a Z may end it).
bool ParseTime(const char* text, long long& us) {
  auto fraction = [](const char*& p, long long& micro) {
    micro = 0;
    if (*p != '.')
      return true;
    ++p;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits)
      if (digits < 6)
        micro = micro * 10 + (*p - '0');
    if (digits == 0)
      return false;
    for (; digits < 6; ++digits)
      micro *= 10;
    return true;
  };
  const char* p = text;
  long long micro = 0;
  if (*p == '@') {
    ++p;
    char* end;
    errno = 0;
    long long seconds = std::strtoll(p, &end, 10);
    if (end == p || errno != 0 || seconds < 0 || seconds > 9999999999LL)
      return false;
    p = end;
    if (!fraction(p, micro) || *p != 0)
      return false;
    us = seconds * 1000000 + micro;
    return true;
  }
  int year, month, day, hours = 0, minutes = 0, seconds = 0, n = 0;
  if (std::sscanf(p, "%4d-%2d-%2d%n", &year, &month, &day, &n) != 3 || n != 10)
    return false;
  p += n;
  if (*p == 'T' || *p == ' ') {
    ++p;
    if (std::sscanf(p, "%2d:%2d%n", &hours, &minutes, &n) != 2 || n != 5)
      return false;
    p += n;
    if (*p == ':') {
      ++p;
      if (std::sscanf(p, "%2d%n", &seconds, &n) != 1 || n != 2)
        return false;
      p += n;
      if (!fraction(p, micro))
        return false;
    }
  }
  if (*p == 'Z')
    ++p;
  int days;
  if (*p != 0 || hours > 23 || minutes > 59 || seconds > 59 ||
      !NCanUtils::GetArtDays(year, month, day, days))
    return false;
  us = NCanUtils::UnixMs(days, ((hours * 60 + minutes) * 60 + seconds) * 1000) * 1000 + micro;
  return true;
}

// "180", "0x18DB33F1", "100-1FF".
bool ParseIdRange(const char* text, std::pair<uint32_t, uint32_t>& range) {
  auto one = [](const char*& p, uint32_t& id) {
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
      p += 2;
    int digits = 0;
    uint32_t v = 0;
    for (; NCanUtils::IsHexDigit(*p); ++p, ++digits)
      v = v * 16 + static_cast<uint32_t>(NCanUtils::GetHexDigit(*p));
    if (digits == 0 || digits > 8 || v > KCanFrame::cIdMask)
      return false;
    id = v;
    return true;
  };
  const char* p = text;
  if (!one(p, range.first))
    return false;
  range.second = range.first;
  if (*p == '-') {
    ++p;
    if (!one(p, range.second) || range.second < range.first)
      return false;
  }
  return *p == 0;
}

} // namespace

int main(int argc, char** argv) {
  KExport ex;
  const char* outputPath = nullptr;
  std::vector<const char*> tables;
  const option options[] = {{"output", required_argument, nullptr, 'o'},
                            {"mysql", required_argument, nullptr, 'm'},
                            {"id", required_argument, nullptr, 'i'},
                            {"from", required_argument, nullptr, 'f'},
                            {"to", required_argument, nullptr, 't'},
                            {"iface", required_argument, nullptr, 'I'},
                            {"quiet", no_argument, nullptr, 'q'},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, "o:m:i:f:t:I:qh", options, nullptr)) != -1) {
    switch (opt) {
    case 'o': outputPath = optarg; break;
    case 'm': tables.push_back(optarg); break;
    case 'i': {
      std::pair<uint32_t, uint32_t> range;
      if (!ParseIdRange(optarg, range)) {
        std::fprintf(stderr, "telltrail-export: --id \"%s\": a hexadecimal identifier "
                             "(up to 1FFFFFFF) or a range such as 100-1FF\n", optarg);
        return 2;
      }
      ex.mFilter.mIds.push_back(range);
      break;
    }
    case 'f':
    case 't': {
      long long us;
      if (!ParseTime(optarg, us)) {
        std::fprintf(stderr, "telltrail-export: --%s \"%s\": YYYY-MM-DD[THH:MM[:SS[.ffffff]]] "
                             "(UTC) or @SECONDS\n", opt == 'f' ? "from" : "to", optarg);
        return 2;
      }
      (opt == 'f' ? ex.mFilter.mFromUs : ex.mFilter.mToUs) = us;
      (opt == 'f' ? ex.mFilter.mHasFrom : ex.mFilter.mHasTo) = true;
      break;
    }
    case 'I':
      if (*optarg == 0 || std::strpbrk(optarg, " \t\r\n") != nullptr ||
          std::strlen(optarg) >= KCandumpFrame::cIfaceSize) {
        std::fprintf(stderr, "telltrail-export: --iface wants a name without blanks\n");
        return 2;
      }
      ex.mIface = optarg;
      break;
    case 'q': ex.mQuiet = true; break;
    case 'h': std::fputs(cUsage, stdout); return 0;
    default: std::fputs(cUsage, stderr); return 2;
    }
  }
  if (optind >= argc && tables.empty()) {
    std::fprintf(stderr, "telltrail-export: no file and no --mysql to read\n%s", cUsage);
    return 2;
  }
  // The settings reader and the database session report on standard
  // output: it becomes standard error, and the frames get their own stream.
  int outFd = outputPath != nullptr ? -1 : dup(1);
  if (outputPath != nullptr)
    ex.mOut = std::fopen(outputPath, "w");
  else if (outFd >= 0)
    ex.mOut = fdopen(outFd, "w");
  if (ex.mOut == nullptr) {
    std::fprintf(stderr, "telltrail-export: %s: %s\n", outputPath != nullptr ? outputPath : "stdout",
                 std::strerror(errno));
    return 1;
  }
  dup2(2, 1);

  bool ok = true;
  for (int i = optind; i < argc; ++i)
    ok = ex.ExportFile(argv[i]) && ok;
  for (const char* settings : tables)
    ok = ex.ExportTable(settings) && ok;
  std::fflush(stdout);
  if (std::fflush(ex.mOut) != 0 || std::ferror(ex.mOut) || std::fclose(ex.mOut) != 0) {
    std::fprintf(stderr, "telltrail-export: %s: not written: %s\n",
                 outputPath != nullptr ? outputPath : "stdout", std::strerror(errno));
    ok = false;
  }
  if (!ex.mQuiet) {
    const KCounts& c = ex.mCounts;
    std::fprintf(stderr, "telltrail-export: %lld frames written", c.mWritten);
    if (c.mBad > 0)
      std::fprintf(stderr, ", %lld unreadable lines skipped", c.mBad);
    if (c.mSkipped > 0)
      std::fprintf(stderr, ", %lld CAN FD lines skipped", c.mSkipped);
    std::fprintf(stderr, "\n");
    if (c.mTrace > 0)
      std::fprintf(stderr, "telltrail-export: %lld frames from trace lines, which carry no flags: "
                           "identifiers above 7FF written as extended, every frame as a data "
                           "frame\n", c.mTrace);
    if (c.mRows > 0)
      std::fprintf(stderr, "telltrail-export: %lld frames from the table, which keeps no extended "
                           "flag: identifiers above 7FF written as extended\n", c.mRows);
  }
  return ok ? 0 : 1;
}
