// A pseudo-terminal for the serial-port tests: the test holds the master and
// plays the adapter; the code under test opens the slave through a name below
// /dev that contains "tty" (a relative path such as ../tmp/tt232XXXXXX/ttyPT
// leading to a symlink in /tmp, which works without root).
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

class KPtyPeer {
public:
  KPtyPeer() {
    char dir[] = "/tmp/tt232XXXXXX";
    if (mkdtemp(dir) == nullptr)
      return;
    mDir = dir;
    mMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (mMaster < 0 || grantpt(mMaster) != 0 || unlockpt(mMaster) != 0)
      return;
    const char* slave = ptsname(mMaster);
    if (slave == nullptr)
      return;
    mSlavePath = slave;
    std::string link = mDir + "/ttyPT";
    if (symlink(slave, link.c_str()) != 0)
      return;
    mLinks.push_back(link);
    // "/dev/" + this name reaches the symlink: /dev/../tmp/... is /tmp/...
    mDevice = ".." + link;
    mOk = true;
  }

  ~KPtyPeer() {
    CloseMaster();
    for (const auto& l : mLinks)
      unlink(l.c_str());
    if (!mDir.empty())
      rmdir(mDir.c_str());
  }

  bool Ok() const { return mOk; }
  // The adapter's end; a forked child that plays the logger must close its
  // copy, or the adapter could never go away.
  int MasterFd() const { return mMaster; }
  const std::string& Device() const { return mDevice; }

  // Another device name of exactly `length` characters for the same slave.
  std::string DeviceOfLength(size_t length) {
    std::string prefix = ".." + mDir + "/tty";
    if (length < prefix.size())
      return std::string();
    std::string name = prefix + std::string(length - prefix.size(), 'x');
    std::string link = name.substr(2);
    if (symlink(mSlavePath.c_str(), link.c_str()) != 0 && errno != EEXIST)
      return std::string();
    mLinks.push_back(link);
    return name;
  }

  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(mMaster, bytes.data() + done, bytes.size() - done);
      if (n <= 0)
        return;
      done += static_cast<size_t>(n);
    }
  }

  // Everything the slave side sent within `ms` of quiet.
  std::string ReadAvailable(int ms = 50) {
    std::string out;
    pollfd p = {mMaster, POLLIN, 0};
    while (poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0) {
      char buf[256];
      ssize_t n = read(mMaster, buf, sizeof(buf));
      if (n <= 0)
        break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  // Reads until `count` bytes have come or `ms` passed.
  std::string ReadBytes(size_t count, int ms = 2000) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p = {mMaster, POLLIN, 0};
      if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN) != 0) {
        char buf[256];
        ssize_t n = read(mMaster, buf, sizeof(buf) < count - out.size() ? sizeof(buf)
                                                                         : count - out.size());
        if (n > 0)
          out.append(buf, static_cast<size_t>(n));
      }
    }
    return out;
  }

  // The line settings of the slave as the code under test left them (read
  // through the master: the code under test holds the slave exclusively).
  bool SlaveSettings(termios& t) { return mMaster >= 0 && tcgetattr(mMaster, &t) == 0; }

  // The adapter goes away: the slave side sees a hang-up.
  void CloseMaster() {
    if (mMaster >= 0)
      close(mMaster);
    mMaster = -1;
  }

private:
  bool mOk = false;
  int mMaster = -1;
  std::string mDir;
  std::string mSlavePath;
  std::string mDevice;
  std::vector<std::string> mLinks;
};
