#include "RejectedFrames.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum : int { cResendSize = 2048 };

// Appends `head` (when the file is new) and `text`, then syncs; false with
// errno set when not all of it reached the disk.
bool AppendSynced(const std::string& path, int mode, const char* head, const char* text) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0)
    return false;
  struct stat st;
  const std::size_t headLength = head[0] != 0 && fstat(fd, &st) == 0 && st.st_size == 0 ? std::strlen(head) : 0;
  const std::size_t length = std::strlen(text);
  const bool written = write(fd, head, headLength) == static_cast<ssize_t>(headLength) &&
                       write(fd, text, length) == static_cast<ssize_t>(length) && fsync(fd) == 0;
  const int error = errno;
  close(fd);
  errno = error;
  return written;
}

} // namespace

KRejectedFrames::KRejectedFrames(const char* dir, const char* dev, const KFrameOutput& output)
    : mDir(dir), mPath(std::string(dir) + "/" + cFileName),
      mDev(dev != nullptr && dev[0] != 0 ? dev : "can0"), mOutput(output) {}

bool KRejectedFrames::Keep(const KCanFrame& frame) const {
  char line[cLineSize];
  NCanUtils::FormatCandump(frame, mDev.c_str(), line, sizeof(line));
  return AppendSynced(mPath, 0644, "", line) && AppendResendForm(frame);
}

bool KRejectedFrames::AppendResendForm(const KCanFrame& frame) const {
  const char* file = mOutput.ResendFile();
  if (file == nullptr)
    return true;
  char text[cResendSize];
  mOutput.ResendText(frame, text, sizeof(text));
  // Its statements may hold a board's key: for the owner only.
  return AppendSynced(mDir + "/" + file, 0600, mOutput.ResendHead(), text);
}
