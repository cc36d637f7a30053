#include "LogFileTail.h"

#include <sys/stat.h>
#include <unistd.h>

long long CutPartialLastLine(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    return -1;
  if (!S_ISREG(st.st_mode) || st.st_size == 0)
    return 0;
  const off_t end = st.st_size;
  char buffer[4096];
  off_t pos = end;
  off_t keep = 0; // no line feed at all: nothing of the file is whole
  while (pos > 0 && keep == 0) {
    const off_t size = pos < static_cast<off_t>(sizeof(buffer)) ? pos : static_cast<off_t>(sizeof(buffer));
    const off_t start = pos - size;
    if (pread(fd, buffer, static_cast<size_t>(size), start) != static_cast<ssize_t>(size))
      return -1;
    for (off_t i = size; i-- > 0;) {
      if (buffer[i] == '\n') {
        keep = start + i + 1;
        break;
      }
    }
    pos = start;
  }
  if (keep == end)
    return 0;
  if (ftruncate(fd, keep) != 0)
    return -1;
  return static_cast<long long>(end - keep);
}
