// can232emu: a CAN232 serial adapter on a pseudo-terminal, for running
// telltrail without CAN hardware.
//
// It opens a pseudo-terminal, links it under a name that contains "tty", and
// plays the adapter's side of the ASCII protocol: commands are answered with
// CR (BEL for unknown or refused ones), "V" with a version line, frame lines
// from the logger with "z"/"Z", and while the CAN channel is open ("O") every
// bus frame is sent as a frame line. The bus traffic is synthetic (rate, mix
// of standard/extended/remote frames, lengths 0..8) or replayed from a
// candump log (`candump -l`).
//
// The logger opens "/dev/" followed by its device argument. With root the
// link is /dev/ttyEMU0 and the device argument ttyEMU0; without root the link
// lives in /tmp and the device argument climbs out of /dev: ../tmp/ttyEMU0.
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <poll.h>
#include <random>
#include <string>
#include <utility>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "CandumpLog.h"
#include "NCanUtils.h"

namespace {

const char cUsage[] =
    "usage: can232emu [options]\n"
    "  --link PATH      name of the adapter's serial device (default /dev/ttyEMU0 when\n"
    "                   /dev is writable, else /tmp/ttyEMU0)\n"
    "  --rate N         bus frames per second (default 100; with --replay the log's own\n"
    "                   timing unless given)\n"
    "  --count N        send N frames, then finish (default: endless; with --replay\n"
    "                   the log's frames, repeated when N is larger)\n"
    "  --replay FILE    replay a candump -l log: (seconds.micro) iface ID#DATA, ID#R\n"
    "  --mix LIST       synthetic frame kinds, comma separated: std,ext,rtr (default std,ext)\n"
    "  --seed N         seed of the synthetic traffic (default 1)\n"
    "  --remote FORM    remote frame lines: bare (length only, as real adapters send\n"
    "                   them), pairs (as many 00 pairs as the length), both (default:\n"
    "                   the two in turn)\n"
    "  --bitrate Sn     the bus's bit rate as the adapter's command S0..S8: frames come\n"
    "                   only while the adapter is set to it (default: any setting)\n"
    "  --line TEXT      send TEXT and CR once the channel is open, before the traffic\n"
    "                   (repeatable; for lines an adapter should never send)\n"
    "  --sent-log FILE  write every frame sent as a candump -l line\n"
    "  --linger         after the count, keep answering until SIGINT/SIGTERM\n"
    "  --status XX      the status flags (two hex digits) the command \"F\" answers\n"
    "                   (default 00)\n"
    "  --quiet          print only the start and the summary\n"
    "The adapter sends frames only while its CAN channel is open (command \"O\").\n"
    "Without --linger it ends once the count is sent and the reader has taken every\n"
    "byte; closing the adapter is a hang-up for the reader.\n";

// The terminal layer's piece of a write (see FlushOut).
const std::size_t cWritePiece = 2048;

volatile sig_atomic_t StopSignal = 0;

void OnSignal(int signal) { StopSignal = signal; }

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A bus frame: synthetic, or read from a candump log.
using KBusFrame = KCandumpFrame;

bool LoadReplay(const char* path, std::vector<KBusFrame>& frames) {
  FILE* in = std::fopen(path, "r");
  if (in == nullptr) {
    std::fprintf(stderr, "can232emu: cannot open %s: %s\n", path, std::strerror(errno));
    return false;
  }
  char line[1024];
  int number = 0, bad = 0, skipped = 0;
  while (std::fgets(line, sizeof(line), in) != nullptr) {
    ++number;
    KBusFrame f;
    const char* why = "";
    TCandumpLineEnum kind = ParseCandumpLine(line, f, why);
    if (kind == clFrame && f.mError) {
      why = "error frame"; // no CAN232 form
      kind = clSkip;
    }
    switch (kind) {
    case clFrame: frames.push_back(f); break;
    case clSkip:
      if (std::strcmp(why, "empty") != 0)
        ++skipped;
      break;
    case clBad:
      if (++bad <= 5)
        std::fprintf(stderr, "can232emu: %s:%d: %s, line skipped\n", path, number, why);
      break;
    }
  }
  std::fclose(in);
  std::fprintf(stderr, "can232emu: %s: %zu frames", path, frames.size());
  if (skipped > 0)
    std::fprintf(stderr, ", %d CAN FD or error frames skipped", skipped);
  if (bad > 0)
    std::fprintf(stderr, ", %d unreadable lines skipped", bad);
  std::fprintf(stderr, "\n");
  return true;
}

// Frame line of the adapter, with its CR, from the logger's own CAN232
// codec. A remote frame ends after its length (`bareRemote`, as real
// adapters send it) or carries as many 00 pairs as its length says.
int FormatLine(const KBusFrame& f, bool bareRemote, char* out, size_t size) {
  KCanFrame frame;
  frame.mId = f.IdWord();
  frame.mLen = f.mLen;
  if (!f.mRemote)
    std::memcpy(frame.mData, f.mData, sizeof(frame.mData));
  KCan232Frame line;
  line.GetCanFrame(frame);
  if (bareRemote)
    line.DropRemoteData();
  return std::snprintf(out, size, "%s\r", line.mText);
}

// candump -l line of a frame sent at wall-clock time `tv`.
void WriteCandump(FILE* out, const KBusFrame& f, const timeval& tv) {
  std::fprintf(out, "(%010lld.%06ld) emu0 ", static_cast<long long>(tv.tv_sec),
               static_cast<long>(tv.tv_usec));
  if (f.mExtended)
    std::fprintf(out, "%08" PRIX32 "#", f.mId);
  else
    std::fprintf(out, "%03" PRIX32 "#", f.mId);
  if (f.mRemote) {
    std::fputc('R', out);
    if (f.mLen > 0)
      std::fputc('0' + f.mLen, out);
  } else {
    for (int i = 0; i < f.mLen; ++i)
      std::fprintf(out, "%02X", f.mData[i]);
  }
  std::fputc('\n', out);
}

class KEmulator {
public:
  // Options.
  std::string mLink;
  double mRate = 0; // 0: default (100, or the log's timing)
  long long mCount = -1; // -1: endless (synthetic) or the log's length (replay)
  const char* mReplayPath = nullptr;
  bool mMixStd = true, mMixExt = true, mMixRtr = false;
  unsigned mSeed = 1;
  const char* mSentLogPath = nullptr;
  enum TRemoteFormEnum { rfBare, rfPairs, rfBoth } mRemoteForm = rfBoth;
  std::vector<std::string> mLines; // sent once when the channel opens
  char mBusRate = 0;   // '0'..'8': the bus's bit rate command; 0: any
  bool mLinger = false;
  char mStatus[3] = "00"; // the status flags "F" answers, two hex digits
  bool mQuiet = false;

  int Run();

private:
  bool OpenPty();
  bool MakeLink();
  void Close();
  KBusFrame NextFrame(long long k);
  double DueTime(long long k) const;
  void QueueDueFrames(double now);
  void OnInput(const char* bytes, ssize_t n);
  void OnCommand();
  void Reply(const char* text) { mOut.append(text); }
  bool FlushOut();
  int SendQueuedBeforeStop();
  void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));

  int mMaster = -1;
  int mSlave = -1; // held open: the line keeps its settings between readers
  std::string mSlavePath;
  bool mLinked = false;

  std::vector<KBusFrame> mReplay;
  std::mt19937 mRandom;
  FILE* mSentLog = nullptr;

  bool mOpen = false;     // CAN channel open
  char mRateSet = '1';    // the adapter's bit rate command digit (S1 at power-on)
  double mBase = 0;       // time of frame mScheduled == 0 since the channel opened
  long long mSinceOpen = 0; // frames queued since the channel opened
  long long mSent = 0;    // frames queued in total
  double mMaxLag = 0;
  double mFirstSend = -1, mLastSend = 0;
  long long mAcks = 0, mRefused = 0;
  long long mRemoteSent = 0;

  std::string mOut;     // bytes for the reader not yet written
  char mCommand[64];
  int mCommandLen = 0;
  bool mCommandOverflow = false;
};

void KEmulator::Say(const char* format, ...) {
  if (mQuiet)
    return;
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "can232emu: ");
  std::vfprintf(stderr, format, args);
  std::fprintf(stderr, "\n");
  va_end(args);
}

bool KEmulator::OpenPty() {
  mMaster = posix_openpt(O_RDWR | O_NOCTTY);
  if (mMaster < 0 || grantpt(mMaster) != 0 || unlockpt(mMaster) != 0 ||
      ptsname(mMaster) == nullptr) {
    std::fprintf(stderr, "can232emu: no pseudo-terminal: %s\n", std::strerror(errno));
    return false;
  }
  mSlavePath = ptsname(mMaster);
  // As root, the pseudo-terminal is given to group dialout (read and write
  // for the group), as a real serial adapter is, so that a logger run as a
  // service user in that group can open it.
  if (geteuid() == 0) {
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr)
      std::fprintf(stderr, "can232emu: no group dialout: %s keeps its group\n", mSlavePath.c_str());
    else if (chown(mSlavePath.c_str(), static_cast<uid_t>(-1), dialout->gr_gid) != 0 ||
             chmod(mSlavePath.c_str(), 0660) != 0)
      std::fprintf(stderr, "can232emu: %s not given to group dialout: %s\n", mSlavePath.c_str(),
                   std::strerror(errno));
  }
  mSlave = open(mSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (mSlave < 0) {
    std::fprintf(stderr, "can232emu: cannot open %s: %s\n", mSlavePath.c_str(),
                 std::strerror(errno));
    return false;
  }
  // Raw from the start, so that nothing is echoed or translated before the
  // reader sets the line up itself.
  termios t;
  if (tcgetattr(mSlave, &t) == 0) {
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(mSlave, TCSANOW, &t);
  }
  fcntl(mMaster, F_SETFL, fcntl(mMaster, F_GETFL) | O_NONBLOCK);
  return true;
}

bool KEmulator::MakeLink() {
  if (mLink.empty())
    mLink = access("/dev", W_OK) == 0 ? "/dev/ttyEMU0" : "/tmp/ttyEMU0";
  if (mLink[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) {
      std::fprintf(stderr, "can232emu: no current directory: %s\n", std::strerror(errno));
      return false;
    }
    mLink = std::string(cwd) + "/" + mLink;
  }
  struct stat st;
  if (lstat(mLink.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "can232emu: %s exists and is not a symbolic link\n", mLink.c_str());
      return false;
    }
    unlink(mLink.c_str()); // left over from an earlier run
  }
  if (symlink(mSlavePath.c_str(), mLink.c_str()) != 0) {
    std::fprintf(stderr, "can232emu: cannot link %s: %s\n", mLink.c_str(), std::strerror(errno));
    return false;
  }
  mLinked = true;
  // The logger opens "/dev/" + its device argument.
  std::string device = mLink.compare(0, 5, "/dev/") == 0 ? mLink.substr(5) : ".." + mLink;
  std::fprintf(stderr, "can232emu: adapter on %s, linked as %s\n", mSlavePath.c_str(),
               mLink.c_str());
  std::fprintf(stderr, "can232emu: telltrail device argument: %s\n", device.c_str());
  if (device.find("tty") == std::string::npos)
    std::fprintf(stderr, "can232emu: warning: the device argument has no \"tty\" in it; "
                         "telltrail would take it for a SocketCAN interface\n");
  if (device.size() > 62)
    std::fprintf(stderr, "can232emu: warning: the device argument is longer than the 62 "
                         "characters a serial port name may have\n");
  return true;
}

void KEmulator::Close() {
  if (mLinked)
    unlink(mLink.c_str());
  mLinked = false;
  if (mSlave >= 0)
    close(mSlave);
  if (mMaster >= 0)
    close(mMaster);
  mSlave = mMaster = -1;
  if (mSentLog != nullptr)
    std::fclose(mSentLog);
  mSentLog = nullptr;
}

KBusFrame KEmulator::NextFrame(long long k) {
  if (!mReplay.empty())
    return mReplay[static_cast<size_t>(k % static_cast<long long>(mReplay.size()))];
  KBusFrame f;
  int kinds[3], n = 0;
  if (mMixStd)
    kinds[n++] = 0;
  if (mMixExt)
    kinds[n++] = 1;
  if (mMixRtr)
    kinds[n++] = 2;
  int kind = kinds[std::uniform_int_distribution<int>(0, n - 1)(mRandom)];
  if (kind == 2) {
    f.mRemote = true;
    f.mExtended = mMixExt && (!mMixStd || (mRandom() & 1) != 0);
  } else {
    f.mExtended = kind == 1;
  }
  f.mId = f.mExtended ? std::uniform_int_distribution<uint32_t>(0, 0x1FFFFFFF)(mRandom)
                      : std::uniform_int_distribution<uint32_t>(0, 0x7FF)(mRandom);
  f.mLen = std::uniform_int_distribution<int>(0, 8)(mRandom);
  if (!f.mRemote)
    for (int i = 0; i < f.mLen; ++i)
      f.mData[i] = static_cast<unsigned char>(mRandom());
  return f;
}

// Seconds after the channel opened at which frame k (counted from the
// opening) is due.
double KEmulator::DueTime(long long k) const {
  if (mReplay.empty() || mRate > 0)
    return static_cast<double>(k) / (mRate > 0 ? mRate : 100.0);
  // The log's own timing, from its first frame; a repeated log continues
  // after one mean gap.
  long long n = static_cast<long long>(mReplay.size());
  const KBusFrame& first = mReplay.front();
  double span = mReplay.back().Time() - first.Time();
  double gap = n > 1 ? span / static_cast<double>(n - 1) : 0.01;
  double t = mReplay[static_cast<size_t>(k % n)].Time() - first.Time();
  if (t < 0)
    t = 0;
  return static_cast<double>(k / n) * (span + gap) + t;
}

void KEmulator::QueueDueFrames(double now) {
  // Keep only a little queued, so that a slow reader shows as lag instead of
  // piling up frames here.
  // At another bit rate than the bus's the adapter receives nothing.
  const bool rateMatches = mBusRate == 0 || mRateSet == mBusRate;
  while (mOpen && rateMatches && (mCount < 0 || mSent < mCount) && mOut.size() < 2048) {
    double due = mBase + DueTime(mSinceOpen);
    if (due > now)
      break;
    KBusFrame f = NextFrame(mSent);
    bool bare = mRemoteForm == rfBare || (mRemoteForm == rfBoth && mRemoteSent % 2 == 0);
    if (f.mRemote)
      ++mRemoteSent;
    char line[40];
    if (FormatLine(f, bare, line, sizeof(line)) <= 0)
      break;
    mOut.append(line);
    if (mSentLog != nullptr) {
      timeval tv;
      gettimeofday(&tv, nullptr);
      WriteCandump(mSentLog, f, tv);
    }
    if (now - due > mMaxLag)
      mMaxLag = now - due;
    if (mFirstSend < 0)
      mFirstSend = now;
    mLastSend = now;
    ++mSent;
    ++mSinceOpen;
  }
}

bool KEmulator::FlushOut() {
  while (!mOut.empty()) {
    // Whole lines, at most 2048 bytes at once: the terminal layer cuts a
    // longer write into pieces of 2048 bytes and may run other programs
    // between them, and a line cut there pauses in the middle for the
    // reader, as an adapter's line never does (the logger drops a line
    // that pauses for more than 50 ms).
    std::size_t size = mOut.size();
    if (size > cWritePiece) {
      const std::size_t end = mOut.find_last_of("\r\a", cWritePiece - 1);
      size = end == std::string::npos ? cWritePiece : end + 1;
    }
    ssize_t n = write(mMaster, mOut.data(), size);
    if (n > 0) {
      mOut.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      return true;
    std::fprintf(stderr, "can232emu: write: %s\n", std::strerror(errno));
    return false;
  }
  return true;
}

// Stopped by a signal: frames queued or still in the line's buffer are in
// the sent log already, so they still go out, and the reader gets up to 2 s
// to take them before the line closes (a hang-up drops what it has not
// read); a reader that takes nothing for 0.3 s is gone. What is not taken
// is said, so that the log is never read as received when it was not.
int KEmulator::SendQueuedBeforeStop() {
  const double until = NowSeconds() + 2.0;
  double moved = NowSeconds();
  size_t left = static_cast<size_t>(-1);
  int pending = 0;
  while (NowSeconds() < until && NowSeconds() < moved + 0.3) {
    if (!FlushOut())
      return 1;
    // TIOCINQ counts what the line discipline holds. Bytes written a moment
    // ago may still wait in the terminal's flip buffer for a kernel worker
    // (long on a busy machine), and the hang-up drops them there; a poll of
    // the slave pushes them through first, and sees them.
    pollfd in = {mSlave, POLLIN, 0};
    const bool readable = poll(&in, 1, 0) > 0 && (in.revents & POLLIN) != 0;
    if (ioctl(mSlave, TIOCINQ, &pending) != 0)
      pending = 0;
    if (readable && pending == 0)
      pending = 1;
    if (mOut.empty() && pending == 0)
      return 0;
    if (mOut.size() + static_cast<size_t>(pending) < left) {
      left = mOut.size() + static_cast<size_t>(pending);
      moved = NowSeconds();
    }
    pollfd p = {mMaster, POLLOUT, 0};
    poll(&p, 1, 10);
  }
  if (!mOut.empty())
    std::fprintf(stderr, "can232emu: stopped with %zu bytes of frames in the sent log not sent\n", mOut.size());
  else
    std::fprintf(stderr, "can232emu: stopped with %d bytes of frames in the sent log not read by the reader\n",
                 pending);
  return mOut.empty() ? 0 : 1;
}

void KEmulator::OnInput(const char* bytes, ssize_t n) {
  for (ssize_t i = 0; i < n; ++i) {
    char c = bytes[i];
    if (c == '\r') {
      if (mCommandOverflow) {
        Reply("\a");
        ++mRefused;
      } else {
        mCommand[mCommandLen] = 0;
        OnCommand();
      }
      mCommandLen = 0;
      mCommandOverflow = false;
    } else if (c == '\n') {
      // line feeds between commands are ignored
    } else if (mCommandLen + 1 < static_cast<int>(sizeof(mCommand))) {
      mCommand[mCommandLen++] = c;
    } else {
      mCommandOverflow = true;
    }
  }
}

// A frame line from the logger, as the adapter takes it: one frame line of
// the CAN232 codec and nothing after it.
bool ValidFrameLine(const char* s) {
  KCan232Frame line(s);
  KCanFrame frame;
  const int used = line.Decode(frame);
  return used > 0 && static_cast<size_t>(used) == std::strlen(s);
}

void KEmulator::OnCommand() {
  const char* c = mCommand;
  switch (c[0]) {
  case 0: Reply("\r"); return;
  case 'O':
  case 'L':
    if (mOpen) {
      Reply("\a");
      ++mRefused;
      return;
    }
    mOpen = true;
    mBase = NowSeconds();
    mSinceOpen = 0;
    if (mBusRate != 0 && mRateSet != mBusRate)
      Say("CAN channel opened at S%c, the bus runs at S%c: no frames", mRateSet, mBusRate);
    else
      Say("CAN channel opened%s: sending frames", c[0] == 'L' ? " listen-only (L)" : " (O)");
    Reply("\r");
    for (const std::string& line : mLines) {
      mOut.append(line);
      mOut.append("\r");
    }
    return;
  case 'C':
    if (mOpen)
      Say("CAN channel closed after %lld frames", mSent);
    mOpen = false;
    Reply("\r");
    return;
  case 'S':
    if (!mOpen && c[1] >= '0' && c[1] <= '8' && c[2] == 0) {
      Say("bit rate setting S%c", c[1]);
      mRateSet = c[1];
      Reply("\r");
      return;
    }
    break;
  case 's':
  case 'X':
  case 'Z':
    if (!mOpen || c[0] != 's') {
      Reply("\r");
      return;
    }
    break;
  case 'V':
    if (c[1] == 0) {
      Say("version asked");
      Reply("V1013\r");
      return;
    }
    break;
  case 'N':
    Reply("NEMU0\r");
    return;
  case 'F': {
    const std::string reply = std::string("F") + mStatus + "\r";
    Reply(reply.c_str());
    return;
  }
  case 't':
  case 'r':
  case 'T':
  case 'R':
    if (mOpen && ValidFrameLine(c)) {
      ++mAcks;
      Reply(c[0] == 't' || c[0] == 'r' ? "z\r" : "Z\r");
      return;
    }
    break;
  default: break;
  }
  Say("command \"%s\" refused", c);
  ++mRefused;
  Reply("\a");
}

int KEmulator::Run() {
  if (mReplayPath != nullptr) {
    if (!LoadReplay(mReplayPath, mReplay))
      return 1;
    if (mReplay.empty()) {
      std::fprintf(stderr, "can232emu: %s holds no frame to replay\n", mReplayPath);
      return 1;
    }
    if (mCount < 0)
      mCount = static_cast<long long>(mReplay.size());
  }
  mRandom.seed(mSeed);
  if (mSentLogPath != nullptr) {
    mSentLog = std::fopen(mSentLogPath, "w");
    if (mSentLog == nullptr) {
      std::fprintf(stderr, "can232emu: cannot write %s: %s\n", mSentLogPath,
                   std::strerror(errno));
      return 1;
    }
    // Line by line: an emulator that is killed leaves every line it wrote.
    std::setvbuf(mSentLog, nullptr, _IOLBF, 0);
  }
  if (!OpenPty() || !MakeLink()) {
    Close();
    return 1;
  }
  if (mReplay.empty()) {
    std::string mix;
    for (const auto& kind : {std::make_pair(mMixStd, "std"), std::make_pair(mMixExt, "ext"),
                             std::make_pair(mMixRtr, "rtr")})
      if (kind.first)
        mix += std::string(mix.empty() ? "" : ",") + kind.second;
    std::fprintf(stderr, "can232emu: synthetic traffic: %g frames/s, %s frames, ",
                 mRate > 0 ? mRate : 100.0, mix.c_str());
  }
  else if (mRate > 0)
    std::fprintf(stderr, "can232emu: replay at %g frames/s, ", mRate);
  else
    std::fprintf(stderr, "can232emu: replay at the log's timing, ");
  if (mCount < 0)
    std::fprintf(stderr, "endless\n");
  else
    std::fprintf(stderr, "%lld frames\n", mCount);

  int status = 0;
  int quietChecks = 0;
  bool doneSaid = false;
  while (StopSignal == 0) {
    double now = NowSeconds();
    QueueDueFrames(now);
    if (!FlushOut()) {
      status = 1;
      break;
    }
    bool allSent = mCount >= 0 && mSent >= mCount && mOut.empty();
    if (allSent && !doneSaid) {
      doneSaid = true;
      Say("all %lld frames sent%s", mSent,
          mLinger ? "; lingering until SIGINT/SIGTERM" : "; waiting for the reader to take them");
    }
    int timeoutMs = 100;
    if (mOpen && !allSent) {
      double due = mBase + DueTime(mSinceOpen);
      double wait = (due - now) * 1000.0;
      timeoutMs = wait <= 0 ? 0 : (wait >= 100 ? 100 : static_cast<int>(wait) + 1);
      if (mOut.size() >= 2048)
        timeoutMs = 100; // wait for room instead
    }
    if (allSent && !mLinger) {
      // The reader has taken every byte when the line holds none for a while.
      int pending = 0;
      if (ioctl(mSlave, TIOCINQ, &pending) == 0 && pending == 0)
        ++quietChecks;
      else
        quietChecks = 0;
      if (quietChecks >= 5)
        break;
      timeoutMs = 10;
    }
    pollfd p = {mMaster, static_cast<short>(POLLIN | (mOut.empty() ? 0 : POLLOUT)), 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "can232emu: poll: %s\n", std::strerror(errno));
      status = 1;
      break;
    }
    if (ready > 0 && (p.revents & POLLIN) != 0) {
      char buf[512];
      ssize_t n = read(mMaster, buf, sizeof(buf));
      if (n > 0)
        OnInput(buf, n);
    }
  }
  if (StopSignal != 0 && status == 0)
    status = SendQueuedBeforeStop();
  if (StopSignal != 0)
    std::fprintf(stderr, "can232emu: %s\n", StopSignal == SIGINT ? "interrupted" : "terminated");
  double span = mLastSend - mFirstSend;
  std::fprintf(stderr,
               "can232emu: %lld frames sent in %.1f s (%.0f frames/s), largest lag %.0f ms, "
               "%lld frames acknowledged, %lld commands refused\n",
               mSent, span > 0 ? span : 0.0,
               span > 0 && mSent > 1 ? static_cast<double>(mSent - 1) / span : 0.0,
               mMaxLag * 1000.0, mAcks, mRefused);
  Close();
  return status;
}

bool ParseNumber(const char* text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text, &end);
  return end != text && *end == 0 && errno == 0 && value >= 0;
}

} // namespace

int main(int argc, char** argv) {
  KEmulator emu;
  const option options[] = {{"link", required_argument, nullptr, 'l'},
                            {"rate", required_argument, nullptr, 'r'},
                            {"count", required_argument, nullptr, 'c'},
                            {"replay", required_argument, nullptr, 'p'},
                            {"mix", required_argument, nullptr, 'm'},
                            {"seed", required_argument, nullptr, 's'},
                            {"sent-log", required_argument, nullptr, 'o'},
                            {"remote", required_argument, nullptr, 'R'},
                            {"line", required_argument, nullptr, 'T'},
                            {"bitrate", required_argument, nullptr, 'b'},
                            {"linger", no_argument, nullptr, 'L'},
                            {"status", required_argument, nullptr, 'F'},
                            {"quiet", no_argument, nullptr, 'q'},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  int opt;
  double number;
  while ((opt = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
    switch (opt) {
    case 'l': emu.mLink = optarg; break;
    case 'r':
      if (!ParseNumber(optarg, number) || number <= 0 || number > 1e7) {
        std::fprintf(stderr, "can232emu: --rate wants frames per second above 0\n");
        return 2;
      }
      emu.mRate = number;
      break;
    case 'c':
      if (!ParseNumber(optarg, number) || number != static_cast<double>(static_cast<long long>(number)) ||
          number > 1e15) {
        std::fprintf(stderr, "can232emu: --count wants a whole number\n");
        return 2;
      }
      emu.mCount = static_cast<long long>(number);
      break;
    case 'p': emu.mReplayPath = optarg; break;
    case 'm': {
      emu.mMixStd = emu.mMixExt = emu.mMixRtr = false;
      std::string list = optarg;
      size_t start = 0;
      while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string kind = list.substr(start, comma == std::string::npos ? std::string::npos
                                                                         : comma - start);
        if (kind == "std")
          emu.mMixStd = true;
        else if (kind == "ext")
          emu.mMixExt = true;
        else if (kind == "rtr")
          emu.mMixRtr = true;
        else {
          std::fprintf(stderr, "can232emu: --mix takes std, ext and rtr, not \"%s\"\n",
                       kind.c_str());
          return 2;
        }
        if (comma == std::string::npos)
          break;
        start = comma + 1;
      }
      break;
    }
    case 's':
      if (!ParseNumber(optarg, number) || number > 4294967295.0) {
        std::fprintf(stderr, "can232emu: --seed wants a number\n");
        return 2;
      }
      emu.mSeed = static_cast<unsigned>(number);
      break;
    case 'o': emu.mSentLogPath = optarg; break;
    case 'R':
      if (std::strcmp(optarg, "bare") == 0)
        emu.mRemoteForm = KEmulator::rfBare;
      else if (std::strcmp(optarg, "pairs") == 0)
        emu.mRemoteForm = KEmulator::rfPairs;
      else if (std::strcmp(optarg, "both") == 0)
        emu.mRemoteForm = KEmulator::rfBoth;
      else {
        std::fprintf(stderr, "can232emu: --remote takes bare, pairs or both\n");
        return 2;
      }
      break;
    case 'T':
      if (std::strlen(optarg) > 60 || std::strchr(optarg, '\r') != nullptr) {
        std::fprintf(stderr, "can232emu: --line wants at most 60 characters without CR\n");
        return 2;
      }
      emu.mLines.push_back(optarg);
      break;
    case 'b':
      if ((optarg[0] != 'S' && optarg[0] != 's') || optarg[1] < '0' || optarg[1] > '8' ||
          optarg[2] != 0) {
        std::fprintf(stderr, "can232emu: --bitrate takes S0 .. S8\n");
        return 2;
      }
      emu.mBusRate = optarg[1];
      break;
    case 'F':
      if (!std::isxdigit(static_cast<unsigned char>(optarg[0])) ||
          !std::isxdigit(static_cast<unsigned char>(optarg[1])) || optarg[2] != 0) {
        std::fprintf(stderr, "can232emu: --status wants two hex digits\n");
        return 2;
      }
      emu.mStatus[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(optarg[0])));
      emu.mStatus[1] = static_cast<char>(std::toupper(static_cast<unsigned char>(optarg[1])));
      break;
    case 'L': emu.mLinger = true; break;
    case 'q': emu.mQuiet = true; break;
    case 'h': std::fputs(cUsage, stdout); return 0;
    default: std::fputs(cUsage, stderr); return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "can232emu: unexpected argument \"%s\"\n%s", argv[optind], cUsage);
    return 2;
  }

  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnSignal; // no SA_RESTART: poll returns at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return emu.Run();
}
