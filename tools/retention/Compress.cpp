#include "Compress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool Fail(const std::string& path, const char* what, int error) {
  std::printf("telltrail-retention: %s: %s: %s\n", path.c_str(), what, std::strerror(error));
  return false;
}

// Runs the compressor with `in` as its input and `out` as its output.
bool RunCompressor(TCompressEnum how, int in, int out, const std::string& path) {
  static const char* const cGzip[] = {"gzip", "-c", "-n", "-6", nullptr};
  static const char* const cZstd[] = {"zstd", "-c", "-q", "-3", nullptr};
  const char* const* argv = how == ceZstd ? cZstd : cGzip;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  pid_t child = -1;
  int error = posix_spawnp(&child, argv[0], &actions, nullptr, const_cast<char* const*>(argv),
                           environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::printf("telltrail-retention: %s cannot be run: %s%s\n", argv[0], std::strerror(error),
                error == ENOENT && how == ceZstd ? " (apt-get install zstd)" : "");
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("telltrail-retention: %s: %s failed (status %d)\n", path.c_str(), argv[0],
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return false;
  }
  return true;
}

// Appends the whole of `from` to `to`.
bool Append(int from, int to) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(from, buffer, sizeof(buffer));
    if (n == 0)
      return true;
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR)
        continue;
      if (w <= 0)
        return false;
      done += w;
    }
  }
}

} // namespace

bool CompressDailyFile(const std::string& path, TCompressEnum how, long long& compressedSize) {
  const std::string target = path + CompressSuffix(how);
  const std::string part = target + ".part";
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0)
    return Fail(path, "not opened", errno);
  struct stat before;
  if (fstat(in, &before) != 0) {
    close(in);
    return Fail(path, "stat", errno);
  }
  int out = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (out < 0) {
    close(in);
    return Fail(part, "not created", errno);
  }
  bool ok = RunCompressor(how, in, out, path);
  struct stat after;
  // Lines written meanwhile would be lost with the source: try again later.
  if (ok && (fstat(in, &after) != 0 || after.st_size != before.st_size ||
             after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
             after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)) {
    std::printf("telltrail-retention: %s changed while it was compressed; left for later\n",
                path.c_str());
    ok = false;
  }
  close(in);
  if (ok && fsync(out) != 0)
    ok = Fail(part, "not written", errno);
  if (close(out) != 0 && ok)
    ok = Fail(part, "not written", errno);
  if (ok) {
    struct stat existing;
    if (lstat(target.c_str(), &existing) == 0) {
      int from = open(part.c_str(), O_RDONLY | O_CLOEXEC);
      int to = open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
      ok = from >= 0 && to >= 0 && Append(from, to) && fsync(to) == 0;
      if (!ok) {
        Fail(target, "not appended to", errno);
        // No half member: the day reads as it did before.
        if (to >= 0 && ftruncate(to, existing.st_size) != 0)
          Fail(target, "not restored", errno);
      }
      if (from >= 0)
        close(from);
      if (to >= 0 && close(to) != 0 && ok)
        ok = Fail(target, "not written", errno);
      if (ok)
        unlink(part.c_str());
    } else if (rename(part.c_str(), target.c_str()) != 0) {
      ok = Fail(target, "not renamed", errno);
    }
  }
  if (!ok) {
    unlink(part.c_str());
    return false;
  }
  // The compressed day keeps the time of its last line.
  const timespec times[2] = {before.st_atim, before.st_mtim};
  utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
  struct stat done;
  compressedSize = lstat(target.c_str(), &done) == 0 ? done.st_size : 0;
  if (unlink(path.c_str()) != 0)
    return Fail(path, "compressed but not removed", errno);
  return true;
}
