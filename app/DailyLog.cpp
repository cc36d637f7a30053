#include "DailyLog.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "ErrnoText.h"
#include "LogFileTail.h"
#include "NCanUtils.h"

void SetLogFilename(const char* name, int day, char* out, const char* suffix) {
  FormatDailyName(name, day, suffix, out, cLogNameSize);
  std::printf("log file: %s\n", out);
}

KDailyLog::KDailyLog(const char* base, TLogFormEnum form, const char* device, int day, const char* name)
    : mBase(base), mForm(form), mDevice(device), mDay(day), mBuffer(new char[cLogBufferSize]) {
  std::snprintf(mName, sizeof(mName), "%s", name != nullptr ? name : "");
}

KDailyLog::~KDailyLog() { Close(); }

bool KDailyLog::Open() {
  mFile = std::fopen(mName, "ab+");
  if (mFile == nullptr)
    return false;
  // The lines are collected here and written in whole-line pieces, not in
  // the stream's own buffer, which would cut lines at its boundaries.
  std::setvbuf(mFile, nullptr, _IONBF, 0);
  mUsed = 0;
  // A file whose last line was cut (a crash, a power loss, a full disk)
  // loses that part of a line, which would read as a shorter, wrong frame.
  // Should it stay (the file cannot be cut), a line feed keeps it apart
  // from the new lines.
  const int fd = fileno(mFile);
  const long long cut = CutPartialLastLine(fd);
  if (cut > 0) {
    std::printf("log file \"%s\": cut last line removed (%lld bytes)\n", mName, cut);
  } else if (cut < 0) {
    char reason[128];
    NCanUtils::ErrnoText(errno, reason, sizeof(reason));
    std::printf("log file \"%s\": cut last line not removed: %s\n", mName, reason);
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
      mBuffer[mUsed++] = '\n';
  }
  return true;
}

bool KDailyLog::Take(const KCanFrame& frame, const char* line) {
  // The file follows the frame's own receive day, not the clock.
  if (frame.mDays != mDay) {
    Close();
    mDay = frame.mDays;
    SetLogFilename(mBase, mDay, mName, LogFileSuffix(mForm));
  }
  if (mFile == nullptr && !Open()) {
    char reason[128];
    NCanUtils::ErrnoText(errno, reason, sizeof(reason));
    std::printf("log file \"%s\" not opened: %s\n", mName, reason);
    return false;
  }
  // The candump form goes to the file only; the console keeps its line.
  char candump[cLineSize];
  if (mForm == lfCandump) {
    NCanUtils::FormatCandump(frame, mDevice, candump, sizeof(candump));
    line = candump;
  }
  const std::size_t length = std::strlen(line);
  if (mUsed + length > static_cast<std::size_t>(cLogBufferSize))
    Flush();
  std::memcpy(mBuffer.get() + mUsed, line, length);
  mUsed += length;
  return true;
}

void KDailyLog::Flush() {
  if (mUsed == 0 || mFile == nullptr)
    return;
  if (std::fwrite(mBuffer.get(), 1, mUsed, mFile) != mUsed) {
    // A full disk may have taken part of a line: cut it off at once, so that
    // a later write (once there is room) cannot join it to a new line.
    CutPartialLastLine(fileno(mFile));
    if (!mWriteFailed) {
      std::printf("log file \"%s\" not written\n", mName);
      mWriteFailed = true;
    }
  }
  mUsed = 0;
}

void KDailyLog::Close() {
  if (mFile == nullptr)
    return;
  Flush();
  if (std::fclose(mFile) != 0 && !mWriteFailed) {
    std::printf("log file \"%s\" not written\n", mName);
    mWriteFailed = true;
  }
  mFile = nullptr;
}

void KDailyLog::EndPeriod() {
  Close();
  mWriteFailed = false;
}
