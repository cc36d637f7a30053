// Serial port over the POSIX terminal interface: raw mode, chosen speed,
// character size and parity, single-byte reads that never wait, byte-wise
// writes, and a monitor hook that sees every byte and setting change.
#pragma once

#include <atomic>

class KComm {
public:
  enum : int {
    DefaultBaudRate = 4800,
    cComDevSize = 128,
    cMaxComDevLength = 62,   // longest name below /dev SetComDev takes
    cMaxComPathLength = 126, // longest path (beginning with "/") it takes
    cNoByte = 0x1000,      // ReadFromCOM: no byte waiting
    cReadBufferSize = 256
  };

  // Monitor words: event in the high bits, value in the low bits.
  enum : unsigned {
    cMonReceived = 0x20000000u,
    cMonSent = 0x48000000u,
    cMonRts = 0xA0000000u,
    cMonDtr = 0xA0000002u,
    cMonStopBits = 0xA0000010u,
    cMonParity = 0xA0000020u,
    cMonBits = 0xA0000030u,
    cMonOpened = 0xC0000000u,
    cMonClosed = 0xD0000000u
  };

  KComm();
  // Does not close the port: only ExitCOM does.
  virtual ~KComm() = default;

  KComm(const KComm&) = delete;
  KComm& operator=(const KComm&) = delete;

  bool COM_INITIALISIERT() const { return mHandle != -1; }

  // Device name below "/dev/" (e.g. ttyUSB0), or a path when it begins with
  // "/" (e.g. /dev/serial/by-id/usb-...); a null name, a name of more than
  // 62 characters or a path of more than 126 is not taken. Takes precedence
  // over the port number.
  void SetComDev(const char* name);
  // The file InitCOM opens ("" when none is chosen).
  void PortPath(char* out, int size) const;
  // A device argument that names a serial port rather than a SocketCAN
  // interface: it holds "tty" or a "/" (no interface name has one).
  static bool IsSerialName(const char* name);
  // Port n (1..15) is /dev/ttyS<n-1>, 0 none. Closes the port first.
  void SetComPortNr(int n);
  // Closes the port; the speed takes effect at the next InitCOM.
  void SetBaudrate(int baud);

  // Opens the port for this process alone and configures it; false (port
  // closed) when there is nothing to open, it cannot be opened, is no
  // terminal (ENOTTY), is held by another program (EBUSY), or the line
  // settings are refused: mOpenError then holds the errno of the call that
  // failed (0 for nothing to open).
  // Exclusive: the terminal's exclusive mode (TIOCEXCL: a further open by
  // anyone but root fails with EBUSY) and an flock on the device, which also
  // stops a second logger run by root. The lock is on the device node
  // itself, not a lock file: it holds whatever name (symlink) reaches the
  // device, needs no writable lock folder for a service user in group
  // dialout, and cannot go stale, since it ends with the process.
  bool InitCOM();
  void ExitCOM();
  // Applies speed, character size and parity to the open port.
  bool SetComParameters();

  void SetBits(int bits);
  void SetParity(int parity);
  void SetStopBits(int stopBits);
  void SetDTR(bool level);
  void SetRTS(bool level);
  bool SetRtsFlowControl(bool on);

  // One byte (0..255) when one is waiting, else cNoByte; never waits.
  // Whatever the port holds is fetched with one read into a small buffer and
  // handed out a byte at a time, so a busy line costs one system call per
  // chunk rather than two per byte.
  int ReadFromCOM();
  // Waits up to `ms` milliseconds (negative: without limit) until the open
  // port has input or has hung up, or `stopFd` (when not -1) is readable.
  // Returns at once when bytes already fetched are waiting to be handed out.
  void WaitForInput(int stopFd, int ms);
  // True when bytes already fetched wait to be handed out: the next
  // ReadFromCOM returns one without looking at the port.
  bool Buffered() const { return mReadPos < mReadEnd; }
  // Discards pending input.
  void ClearBuffer();
  bool WriteToCOM(char c);
  bool WriteBufferToCOM(const char* buf, int len);

  // True once the open port has gone away (hang-up, end of file, or a read
  // error such as EIO from an unplugged adapter). Cleared by InitCOM.
  bool PortLost() const { return mLost.load(std::memory_order_relaxed); }

  virtual void PutMonitorBuffer(unsigned word);

  int mPortNr;
  int mBaudrate;
  int mParity;
  int mBits;
  int mStopBits;
  bool mDTR;
  bool mRTS;
  bool mRtsFlowControl;
  char mComDev[cComDevSize];
  int mHandle;
  int mOpenError;

private:
  void ApplyAndReport(unsigned monitorWord);
  int FillReadBuffer();

  std::atomic<bool> mLost;
  unsigned char mReadBuffer[cReadBufferSize];
  int mReadPos;
  int mReadEnd;
};
