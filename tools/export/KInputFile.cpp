#include "KInputFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const unsigned char cGzipMagic[] = {0x1F, 0x8B};
const unsigned char cZstdMagic[] = {0x28, 0xB5, 0x2F, 0xFD};

} // namespace

KInputFile::~KInputFile() {
  Close();
  std::free(mBuffer);
}

bool KInputFile::Open(const char* path) {
  Close();
  mPath = path;
  mKind = "plain";
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "telltrail-export: %s: %s\n", path, std::strerror(errno));
    return false;
  }
  unsigned char head[4] = {};
  ssize_t n = pread(fd, head, sizeof(head), 0);
  const char* const* argv = nullptr;
  static const char* const cGunzip[] = {"gzip", "-dc", nullptr};
  static const char* const cUnzstd[] = {"zstd", "-dcq", nullptr};
  if (n >= 2 && std::memcmp(head, cGzipMagic, sizeof(cGzipMagic)) == 0) {
    mKind = "gzip";
    argv = cGunzip;
  } else if (n >= 4 && std::memcmp(head, cZstdMagic, sizeof(cZstdMagic)) == 0) {
    mKind = "zstd";
    argv = cUnzstd;
  }
  if (argv == nullptr) {
    mIn = fdopen(fd, "r");
    if (mIn == nullptr) {
      close(fd);
      std::fprintf(stderr, "telltrail-export: %s: %s\n", path, std::strerror(errno));
      return false;
    }
    return true;
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    close(fd);
    std::fprintf(stderr, "telltrail-export: %s: %s\n", path, std::strerror(errno));
    return false;
  }
  // The decompressor reads the file on its standard input and writes the
  // text into the pipe.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  int error = posix_spawnp(&mChild, argv[0], &actions, nullptr, const_cast<char* const*>(argv),
                           environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fd);
  close(pipeFds[1]);
  if (error != 0) {
    mChild = -1;
    close(pipeFds[0]);
    std::fprintf(stderr, "telltrail-export: %s is %s-compressed, and %s cannot be run: %s%s\n",
                 path, mKind, argv[0], std::strerror(error),
                 error == ENOENT ? (mKind[0] == 'z' ? " (apt-get install zstd)" : "") : "");
    return false;
  }
  mIn = fdopen(pipeFds[0], "r");
  if (mIn == nullptr) {
    close(pipeFds[0]);
    std::fprintf(stderr, "telltrail-export: %s: %s\n", path, std::strerror(errno));
    Close();
    return false;
  }
  return true;
}

bool KInputFile::ReadLine(std::string& line, bool& whole) {
  if (mIn == nullptr)
    return false;
  ssize_t n = getline(&mBuffer, &mBufferSize, mIn);
  if (n < 0)
    return false;
  whole = n > 0 && mBuffer[n - 1] == '\n';
  if (whole)
    --n;
  line.assign(mBuffer, static_cast<size_t>(n));
  return true;
}

bool KInputFile::Close() {
  bool ok = true;
  if (mIn != nullptr) {
    if (std::ferror(mIn)) {
      std::fprintf(stderr, "telltrail-export: %s: read error\n", mPath.c_str());
      ok = false;
    }
    std::fclose(mIn);
    mIn = nullptr;
  }
  if (mChild > 0) {
    int status = 0;
    while (waitpid(mChild, &status, 0) < 0 && errno == EINTR) {
    }
    mChild = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "telltrail-export: %s: %s could not decompress it all (a cut or "
                           "damaged file)\n",
                   mPath.c_str(), mKind);
      ok = false;
    }
  }
  return ok;
}
