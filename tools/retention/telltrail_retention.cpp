// telltrail-retention: keeps telltrail's daily log files within bounds.
//
// For each base name (from a settings file's log_file element, or given on
// the command line) it compresses the closed days, removes the days older
// than the days to keep, and removes the oldest closed days while the files
// take more than the size budget. A day's file is closed when its day (UTC)
// is over and it has not changed for the grace time, so the file the logger
// is still writing, or may still append a late period to, is never touched.
// Run by the timer telltrail-retention.timer, apart from the logger, so
// that a long compression never holds up the sampling.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Compress.h"
#include "KDailyFiles.h"
#include "KXmlNodeList.h"
#include "LogFileSettings.h"
#include "NCanUtils.h"
#include "XmlParser.h"

namespace {

const char cUsage[] =
    "usage: telltrail-retention [options] (SETTINGS.xml | DIRECTORY | BASE)...\n"
    "Compresses the closed days of telltrail's daily log files and removes old ones.\n"
    "A settings file (or each *.xml of a directory) names the files with its log_file\n"
    "element and sets KeepDays, MaxMB and Compress there; for a BASE name (the\n"
    "logger's file name argument) the options set them:\n"
    "  -k, --keep-days N   remove the days before the last N (today counts)\n"
    "  -m, --max-mb N      remove the oldest closed days while the files take more\n"
    "                      than N MB (1 MB = 1048576 bytes)\n"
    "  -c, --compress HOW  gzip, zstd or none (default none)\n"
    "  -g, --grace SECONDS a day's file is closed once its UTC day is over and it\n"
    "                      has not changed for this long (default 3600; for a\n"
    "                      settings file its sample time + 600)\n"
    "  -n, --dry-run       say what would be done, do nothing\n"
    "Without KeepDays, MaxMB and Compress nothing is done. A settings file that\n"
    "cannot be read or is refused is reported and the others are done all the same.\n"
    "Exit status 0, 1 when something could not be done, 2 for wrong arguments or\n"
    "settings.\n";

const int cSecondsPerDay = 86400;
const int cDefaultGrace = 3600;
const int cSettingsGraceExtra = 600;

struct KRetention {
  std::string mBase;
  KLogFileSettings mLog;
  int mGrace = cDefaultGrace;
};

bool DryRun = false;
int Actions = 0; // removals and compressions done or, in a dry run, said

double Megabytes(long long bytes) { return static_cast<double>(bytes) / cBytesPerMB; }

bool Remove(const KDailyFile& f, const char* why) {
  ++Actions;
  std::printf("telltrail-retention: %s %s (%s)\n", DryRun ? "would remove" : "removed",
              f.mPath.c_str(), why);
  if (!DryRun && unlink(f.mPath.c_str()) != 0) {
    std::printf("telltrail-retention: %s not removed: %s\n", f.mPath.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// A dry run says what it found for a base name and what it would keep.
void DescribeFound(const KRetention& r, const std::vector<KDailyFile>& files, int closedCount) {
  const KLogFileSettings& s = r.mLog;
  long long bytes = 0;
  for (const KDailyFile& f : files)
    bytes += f.mSize;
  std::printf("telltrail-retention: %s: %zu daily files (%.1f MB), %d of them closed (grace %d s);",
              r.mBase.c_str(), files.size(), Megabytes(bytes), closedCount, r.mGrace);
  if (s.mKeepDays > 0)
    std::printf(" keep %d days;", s.mKeepDays);
  if (s.mMaxBytes > 0)
    std::printf(" budget %lld MB;", s.mMaxBytes / cBytesPerMB);
  std::printf(" compress %s\n", s.mCompress == ceGzip ? "gzip" : s.mCompress == ceZstd ? "zstd" : "none");
}

bool Apply(const KRetention& r, time_t now) {
  const KLogFileSettings& s = r.mLog;
  if (s.mKeepDays == 0 && s.mMaxBytes == 0 && s.mCompress == ceNone) {
    if (DryRun)
      std::printf("telltrail-retention: %s: no KeepDays, MaxMB or Compress: nothing to do\n",
                  r.mBase.c_str());
    return true;
  }
  std::vector<KDailyFile> files;
  if (!ListDailyFiles(r.mBase, files))
    return false;
  int today = 0, ms = 0;
  timeval tv = {now, 0};
  NCanUtils::ArtTime(tv, today, ms);
  auto closed = [&](const KDailyFile& f) { return f.mDay < today && now - f.mModified >= r.mGrace; };
  bool ok = true;
  const int actionsBefore = Actions;
  if (DryRun)
    DescribeFound(r, files, static_cast<int>(std::count_if(files.begin(), files.end(), closed)));

  // Unfinished compressions of an earlier run that was stopped.
  for (const KDailyFile& f : files)
    if (f.mPart && closed(f))
      ok = Remove(f, "left by an unfinished compression") && ok;
  files.erase(std::remove_if(files.begin(), files.end(), [](const KDailyFile& f) { return f.mPart; }),
              files.end());

  if (s.mCompress != ceNone) {
    for (KDailyFile& f : files) {
      if (f.mCompressed != ceNone || !closed(f))
        continue;
      ++Actions;
      if (DryRun) {
        std::printf("telltrail-retention: would compress %s (%.1f MB)\n", f.mPath.c_str(),
                    Megabytes(f.mSize));
        continue;
      }
      long long size = 0;
      if (!CompressDailyFile(f.mPath, s.mCompress, size)) {
        ok = false;
        continue;
      }
      std::printf("telltrail-retention: compressed %s (%.1f MB into %.1f MB)\n", f.mPath.c_str(),
                  Megabytes(f.mSize), Megabytes(size));
      f.mPath += CompressSuffix(s.mCompress);
      f.mCompressed = s.mCompress;
      f.mSize = size;
    }
    // An earlier compressed file that took the new part counts once.
    std::sort(files.begin(), files.end(),
              [](const KDailyFile& a, const KDailyFile& b) { return a.mPath < b.mPath; });
    files.erase(std::unique(files.begin(), files.end(),
                            [](const KDailyFile& a, const KDailyFile& b) { return a.mPath == b.mPath; }),
                files.end());
    std::stable_sort(files.begin(), files.end(),
                     [](const KDailyFile& a, const KDailyFile& b) { return a.mDay < b.mDay; });
    if (!DryRun)
      for (KDailyFile& f : files) {
        struct stat st;
        if (stat(f.mPath.c_str(), &st) == 0)
          f.mSize = st.st_size;
      }
  }

  std::vector<KDailyFile> kept;
  for (const KDailyFile& f : files) {
    if (s.mKeepDays > 0 && f.mDay <= today - s.mKeepDays && closed(f)) {
      char why[64];
      std::snprintf(why, sizeof(why), "older than %d days", s.mKeepDays);
      ok = Remove(f, why) && ok;
    } else {
      kept.push_back(f);
    }
  }

  if (s.mMaxBytes > 0) {
    long long total = 0;
    for (const KDailyFile& f : kept)
      total += f.mSize;
    for (const KDailyFile& f : kept) {
      if (total <= s.mMaxBytes)
        break;
      if (!closed(f))
        continue;
      char why[64];
      std::snprintf(why, sizeof(why), "size budget of %lld MB", s.mMaxBytes / cBytesPerMB);
      if (Remove(f, why))
        total -= f.mSize;
      else
        ok = false;
    }
    if (total > s.mMaxBytes)
      std::printf("telltrail-retention: %s: the days still written take %.1f MB, more than the "
                  "budget of %lld MB\n",
                  r.mBase.c_str(), Megabytes(total), s.mMaxBytes / cBytesPerMB);
  }
  if (DryRun && Actions == actionsBefore)
    std::printf("telltrail-retention: %s: nothing to do\n", r.mBase.c_str());
  return ok;
}

// The retention of a settings file; false when it cannot be read or holds
// a value that is refused. `hasLog` tells whether it names a log file.
bool FromSettings(const char* path, KRetention& r, bool& hasLog) {
  KParser parser;
  KXmlNode root;
  if (!parser.ParseFile(path, &root))
    return false;
  if (!ReadLogFileSettings(root, r.mLog))
    return false;
  hasLog = r.mLog.mName != nullptr && r.mLog.mName[0] != 0;
  if (hasLog)
    r.mBase = r.mLog.mName;
  r.mLog.mName = nullptr; // points into the tree
  int sampleTime = 104;
  const char* sleep = root.FindNodeAttr("sleep", "Name");
  const char* p = sleep;
  int value = 0;
  if (sleep != nullptr && NCanUtils::GetInt(p, value) && *p == 0 && value >= 0 && value <= 86400)
    sampleTime = value;
  r.mGrace = sampleTime + cSettingsGraceExtra;
  return true;
}

bool EndsWithXml(const std::string& s) {
  return s.size() > 4 && s.compare(s.size() - 4, 4, ".xml") == 0;
}

} // namespace

int main(int argc, char** argv) {
  KRetention options;
  bool graceGiven = false;
  const option longOptions[] = {{"keep-days", required_argument, nullptr, 'k'},
                                {"max-mb", required_argument, nullptr, 'm'},
                                {"compress", required_argument, nullptr, 'c'},
                                {"grace", required_argument, nullptr, 'g'},
                                {"dry-run", no_argument, nullptr, 'n'},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  int opt;
  long long value = 0;
  while ((opt = getopt_long(argc, argv, "k:m:c:g:nh", longOptions, nullptr)) != -1) {
    switch (opt) {
    case 'k':
      if (!ParseCount(optarg, cMaxKeepDays, value)) {
        std::printf("telltrail-retention: --keep-days wants 1 to %d\n", cMaxKeepDays);
        return 2;
      }
      options.mLog.mKeepDays = static_cast<int>(value);
      break;
    case 'm':
      if (!ParseCount(optarg, cMaxBudgetMB, value)) {
        std::printf("telltrail-retention: --max-mb wants 1 to %d\n", cMaxBudgetMB);
        return 2;
      }
      options.mLog.mMaxBytes = value * cBytesPerMB;
      break;
    case 'c':
      if (!ParseCompress(optarg, options.mLog.mCompress)) {
        std::printf("telltrail-retention: --compress takes gzip, zstd or none\n");
        return 2;
      }
      break;
    case 'g':
      if (std::strcmp(optarg, "0") == 0)
        value = 0;
      else if (!ParseCount(optarg, 10 * cSecondsPerDay, value)) {
        std::printf("telltrail-retention: --grace wants 0 to %d seconds\n", 10 * cSecondsPerDay);
        return 2;
      }
      options.mGrace = static_cast<int>(value);
      graceGiven = true;
      break;
    case 'n': DryRun = true; break;
    case 'h': std::fputs(cUsage, stdout); return 0;
    default: std::fputs(cUsage, stdout); return 2;
    }
  }
  if (optind >= argc) {
    std::printf("telltrail-retention: nothing to do: no settings file, directory or base name\n%s",
                cUsage);
    return 2;
  }

  // What to do, all of it read before anything is done. A settings file or
  // folder that cannot be read is reported and left out: the others are
  // done all the same, and the exit status tells of it.
  std::vector<KRetention> work;
  int refused = 0;
  for (int i = optind; i < argc; ++i) {
    const std::string arg = argv[i];
    struct stat st;
    std::vector<std::string> settings;
    if (stat(arg.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      DIR* d = opendir(arg.c_str());
      if (d == nullptr) {
        std::printf("telltrail-retention: %s: %s\n", arg.c_str(), std::strerror(errno));
        ++refused;
        continue;
      }
      while (dirent* entry = readdir(d))
        if (EndsWithXml(entry->d_name))
          settings.push_back(arg + "/" + entry->d_name);
      closedir(d);
      std::sort(settings.begin(), settings.end());
    } else if (EndsWithXml(arg)) {
      settings.push_back(arg);
    } else {
      KRetention r = options;
      r.mBase = arg;
      work.push_back(r);
      continue;
    }
    for (const std::string& path : settings) {
      KRetention r;
      bool hasLog = false;
      if (!FromSettings(path.c_str(), r, hasLog)) {
        std::printf("telltrail-retention: %s: settings refused, its files left as they are\n",
                    path.c_str());
        ++refused;
        continue;
      }
      if (graceGiven)
        r.mGrace = options.mGrace;
      if (hasLog)
        work.push_back(r);
      else if (EndsWithXml(arg) || DryRun)
        std::printf("telltrail-retention: %s has no log_file: nothing to do\n", path.c_str());
    }
  }

  const time_t now = std::time(nullptr);
  bool ok = true;
  for (const KRetention& r : work)
    ok = Apply(r, now) && ok;
  if (refused > 0)
    std::printf("telltrail-retention: %d settings file%s or folder%s refused\n", refused,
                refused == 1 ? "" : "s", refused == 1 ? "" : "s");
  std::fflush(stdout);
  return refused > 0 ? 2 : ok ? 0 : 1;
}
