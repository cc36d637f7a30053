#include "KDailyFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "LogFileSettings.h"

namespace {

bool EndsWith(const std::string& s, const char* end, std::string& rest) {
  const size_t n = std::strlen(end);
  if (s.size() < n || s.compare(s.size() - n, n, end) != 0)
    return false;
  rest = s.substr(0, s.size() - n);
  return true;
}

// "YYYYMMDD" with the optional ".log", ".gz"/".zst" and ".part" after it.
bool ParseRest(std::string rest, KDailyFile& f) {
  std::string shorter;
  if (EndsWith(rest, ".part", shorter)) {
    f.mPart = true;
    rest = shorter;
  }
  if (EndsWith(rest, ".gz", shorter)) {
    f.mCompressed = ceGzip;
    rest = shorter;
  } else if (EndsWith(rest, ".zst", shorter)) {
    f.mCompressed = ceZstd;
    rest = shorter;
  }
  if (f.mPart && f.mCompressed == ceNone)
    return false;
  if (EndsWith(rest, ".log", shorter))
    rest = shorter;
  return ParseDailyDate(rest.c_str(), f.mDay);
}

} // namespace

bool ListDailyFiles(const std::string& base, std::vector<KDailyFile>& files) {
  files.clear();
  const size_t slash = base.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : base.substr(0, slash);
  const std::string prefix = (slash == std::string::npos ? base : base.substr(slash + 1)) + "_";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    std::printf("telltrail-retention: %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0)
      continue;
    KDailyFile f;
    if (!ParseRest(name.substr(prefix.size()), f))
      continue;
    f.mPath = slash == std::string::npos ? name : (dir == "/" ? "" : dir) + "/" + name;
    struct stat st;
    if (lstat(f.mPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      continue;
    f.mSize = st.st_size;
    f.mModified = st.st_mtime;
    files.push_back(f);
  }
  closedir(d);
  std::sort(files.begin(), files.end(), [](const KDailyFile& a, const KDailyFile& b) {
    return a.mDay != b.mDay ? a.mDay < b.mDay : a.mPath < b.mPath;
  });
  return true;
}
