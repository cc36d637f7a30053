#include "KComm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Supported speeds: the first row whose limit is not below the requested
// value is used.
const struct {
  int mLimit;
  speed_t mSpeed;
} lSpeeds[] = {{300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},
               {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
               {57600, B57600}, {115200, B115200}};

} // namespace

KComm::KComm()
    : mPortNr(0), mBaudrate(DefaultBaudRate), mParity(0), mBits(8), mStopBits(0), mDTR(false),
      mRTS(false), mRtsFlowControl(false), mHandle(-1), mOpenError(0), mLost(false), mReadPos(0),
      mReadEnd(0) {
  mComDev[0] = 0;
}

void KComm::SetComDev(const char* name) {
  if (name == nullptr)
    return;
  const std::size_t longest = name[0] == '/' ? cMaxComPathLength : cMaxComDevLength;
  std::size_t length = strnlen(name, longest + 1);
  if (length > longest)
    return;
  std::memcpy(mComDev, name, length);
  mComDev[length] = 0;
}

void KComm::PortPath(char* out, int size) const {
  if (size <= 0)
    return;
  if (mComDev[0] == '/')
    std::snprintf(out, static_cast<std::size_t>(size), "%s", mComDev);
  else if (mComDev[0] != 0)
    std::snprintf(out, static_cast<std::size_t>(size), "/dev/%s", mComDev);
  else if (mPortNr > 0)
    std::snprintf(out, static_cast<std::size_t>(size), "/dev/ttyS%d", mPortNr - 1);
  else
    out[0] = 0;
}

bool KComm::IsSerialName(const char* name) {
  return name != nullptr && (std::strstr(name, "tty") != nullptr || std::strchr(name, '/') != nullptr);
}

void KComm::SetComPortNr(int n) {
  ExitCOM();
  if (n >= 0 && n <= 15)
    mPortNr = n;
}

void KComm::SetBaudrate(int baud) {
  ExitCOM();
  mBaudrate = baud;
}

bool KComm::InitCOM() {
  if (COM_INITIALISIERT())
    ExitCOM();
  mOpenError = 0;
  if (mPortNr == 0 && mComDev[0] == 0)
    return false;
  char path[cComDevSize + 16];
  PortPath(path, sizeof(path));
  // Descriptor 0 is a valid one (when standard input is closed); only a
  // negative result is a failure. Another program's exclusive mode shows
  // here as EBUSY.
  int handle = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) {
    mOpenError = errno;
    mHandle = -1;
    return false;
  }
  int failure = 0;
  if (!isatty(handle))
    failure = ENOTTY;
  else if (flock(handle, LOCK_EX | LOCK_NB) != 0)
    failure = errno == EWOULDBLOCK ? EBUSY : errno;
  else if (ioctl(handle, TIOCEXCL) != 0)
    failure = errno;
  if (failure != 0) {
    close(handle);
    mOpenError = failure;
    mHandle = -1;
    return false;
  }
  mHandle = handle;
  mLost.store(false, std::memory_order_relaxed);
  mReadPos = mReadEnd = 0;
  if (!SetComParameters()) {
    mOpenError = errno;
    ExitCOM();
    return false;
  }
  // Let the line settle, then drop whatever arrived before it was set up.
  pollfd p = {mHandle, POLLIN, 0};
  poll(&p, 1, 20);
  tcflush(mHandle, TCIFLUSH);
  PutMonitorBuffer(cMonOpened | static_cast<unsigned>(mBaudrate));
  return true;
}

void KComm::ExitCOM() {
  if (!COM_INITIALISIERT())
    return;
  // The exclusive mode belongs to the terminal and outlives this descriptor
  // while another holds the device open: end it before closing.
  ioctl(mHandle, TIOCNXCL);
  close(mHandle);
  mHandle = -1;
  mReadPos = mReadEnd = 0;
  PutMonitorBuffer(cMonClosed | static_cast<unsigned>(mBaudrate));
}

bool KComm::SetComParameters() {
  if (!COM_INITIALISIERT())
    return true;
  termios t;
  std::memset(&t, 0, sizeof(t));
  bool result = tcgetattr(mHandle, &t) == 0;
  bool canWrite = result;

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CREAD | PARENB | PARODD | HUPCL | CLOCAL |
                                      CRTSCTS);
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;

  bool speedFound = false;
  for (const auto& row : lSpeeds) {
    if (mBaudrate <= row.mLimit) {
      cfsetspeed(&t, row.mSpeed);
      mBaudrate = row.mLimit;
      speedFound = true;
      break;
    }
  }
  if (!speedFound)
    result = false;

  switch (mBits) {
  case 5: t.c_cflag |= CS5; break;
  case 6: t.c_cflag |= CS6; break;
  case 7: t.c_cflag |= CS7; break;
  case 8: t.c_cflag |= CS8; break;
  default: result = false; break;
  }

  switch (mParity) {
  case 0: break;
  case 1:
    t.c_cflag |= PARENB | PARODD;
    t.c_iflag |= INPCK;
    break;
  case 2:
    t.c_cflag |= PARENB;
    t.c_iflag |= INPCK;
    break;
  default: result = false; break;
  }

  t.c_cflag |= CLOCAL | CREAD;
  t.c_iflag |= BRKINT;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;

  if (result && canWrite) {
    mReadPos = mReadEnd = 0; // pending input goes with the flush
    if (tcflush(mHandle, TCIOFLUSH) != 0 || tcsetattr(mHandle, TCSANOW, &t) != 0)
      result = false;
  }
  return result;
}

// Re-applies the line settings and reports the change of an open port.
void KComm::ApplyAndReport(unsigned monitorWord) {
  SetComParameters();
  if (COM_INITIALISIERT())
    PutMonitorBuffer(monitorWord);
}

void KComm::SetBits(int bits) {
  mBits = bits;
  ApplyAndReport(cMonBits | (static_cast<unsigned>(bits) & 0x0Fu));
}

void KComm::SetParity(int parity) {
  mParity = parity;
  ApplyAndReport(cMonParity | (static_cast<unsigned>(parity) & 0x0Fu));
}

void KComm::SetStopBits(int stopBits) {
  mStopBits = stopBits;
  ApplyAndReport(cMonStopBits | (static_cast<unsigned>(stopBits) & 0x0Fu));
}

void KComm::SetDTR(bool level) {
  mDTR = level;
  ApplyAndReport(cMonDtr | (level ? 1u : 0u));
}

void KComm::SetRTS(bool level) {
  mRTS = level;
  ApplyAndReport(cMonRts | (level ? 1u : 0u));
}

bool KComm::SetRtsFlowControl(bool on) {
  mRtsFlowControl = on;
  return SetComParameters();
}

int KComm::ReadFromCOM() {
  if (mReadPos >= mReadEnd && FillReadBuffer() == 0)
    return cNoByte;
  unsigned char c = mReadBuffer[mReadPos++];
  PutMonitorBuffer(cMonReceived | c);
  return c;
}

// Fetches what the port holds, without waiting; returns the number of bytes.
int KComm::FillReadBuffer() {
  mReadPos = mReadEnd = 0;
  if (!COM_INITIALISIERT())
    return 0;
  // poll rather than select: select cannot watch a descriptor above
  // FD_SETSIZE without writing past its set.
  pollfd p = {mHandle, POLLIN | POLLPRI, 0};
  int ready = poll(&p, 1, 0);
  if (ready < 0) {
    if (errno != EINTR)
      tcflush(mHandle, TCIFLUSH);
    return 0;
  }
  if (ready == 0)
    return 0;
  if ((p.revents & POLLNVAL) != 0) {
    mLost.store(true, std::memory_order_relaxed);
    return 0;
  }
  const bool hangUp = (p.revents & (POLLHUP | POLLERR)) != 0;
  if ((p.revents & POLLIN) == 0 && !hangUp) {
    // An exceptional condition only: drop pending input.
    tcflush(mHandle, TCIFLUSH);
    return 0;
  }
  ssize_t n = read(mHandle, mReadBuffer, sizeof(mReadBuffer));
  if (n > 0) {
    mReadEnd = static_cast<int>(n);
    return mReadEnd;
  }
  // End of file, or an error other than "try again" after the port said it
  // was readable, or a hang-up with nothing left to read: the device is gone.
  if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || hangUp)
    mLost.store(true, std::memory_order_relaxed);
  return 0;
}

void KComm::WaitForInput(int stopFd, int ms) {
  if (mReadPos < mReadEnd)
    return;
  pollfd p[2] = {{mHandle, POLLIN, 0}, {stopFd, POLLIN, 0}};
  // A closed port or an absent stop descriptor is left out of the wait.
  pollfd* first = COM_INITIALISIERT() ? p : p + 1;
  nfds_t count = static_cast<nfds_t>((COM_INITIALISIERT() ? 1 : 0) + (stopFd >= 0 ? 1 : 0));
  if (count == 0 && ms < 0)
    return; // nothing could ever end the wait
  poll(first, count, ms);
}

void KComm::ClearBuffer() {
  while (ReadFromCOM() != cNoByte) {
  }
}

bool KComm::WriteToCOM(char c) {
  if (!COM_INITIALISIERT())
    return false;
  bool ok = write(mHandle, &c, 1) == 1;
  PutMonitorBuffer(cMonSent | static_cast<unsigned char>(c));
  return ok;
}

bool KComm::WriteBufferToCOM(const char* buf, int len) {
  if (len < 1 || buf == nullptr)
    return false;
  for (int i = 0; i < len; ++i) {
    if (!WriteToCOM(buf[i]))
      return false;
  }
  return true;
}

void KComm::PutMonitorBuffer(unsigned) {}
