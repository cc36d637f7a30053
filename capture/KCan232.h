// CAN232 adapter driver: a CAN bus behind a serial line that speaks an ASCII
// protocol of one-letter commands and carriage-return-terminated frame lines.
#pragma once

#include <atomic>
#include <mutex>

#include "KCanDriver.h"
#include "KComm.h"
#include "NCanUtils.h"

// A serial port used as a CAN driver: assembles the received bytes into a
// line, forgets a partial line after a pause, reports an overlong line.
class KCanCommDriver : public KComm, public KCanDriver {
public:
  enum : int {
    cLineSize = 128,
    cMaxLineLength = 126, // bytes kept in mLine
    cLineOverflow = 0x2000 // ReadFromCOM: a byte arrived but the line was full
  };

  KCanCommDriver();
  ~KCanCommDriver() override = default;

  // Reads at most one byte and appends it to the line: the byte (0..255),
  // cNoByte when none is waiting (after a 1 ms sleep when the line is empty),
  // or cLineOverflow when the line was full (the line is then discarded).
  int ReadFromCOM();

  // The open port has gone away (adapter unplugged, peer closed).
  bool Lost() const override { return PortLost(); }

  int mCharTimeOut; // longest pause between two bytes of one line, ms
  int mLastCharMs;  // time of the last byte stored, on a clock wrapping every 10^9 ms
  int mLineLen;
  char mLine[cLineSize];

protected:
  // ReadFromCOM without its sleep: `idle` tells that nothing was waiting
  // and the line is empty, so the caller may pause.
  int ReadLineByte(bool& idle);
  // Milliseconds on a steady clock, wrapping every 10^9 ms.
  static int NowMs();
};

// The CAN232 adapter. Used for receiving by the capture thread and for
// sending by any thread: the line, the acknowledgement state and the sent
// frame are guarded by one lock, which is never held while sleeping.
class KCan232 : public KCanCommDriver {
public:
  // Empty command, close channel, auto-poll on, version, 20 kbit/s, open.
  static const char cStartup[];
  enum : int {
    cStartupLength = 13,
    cBitRateDigit = 9,     // the digit of "S1" in cStartup
    cOpenCommand = 11,     // the "O" of cStartup ("L" when listen-only)
    cDefaultBitRateCode = 1,
    cBitRateCodes = 9      // S0 .. S8
  };
  // The bit rates (bit/s) of the adapter's commands S0 .. S8.
  static const long cBitRates[cBitRateCodes];
  // The command code 0..8 of a bit rate in bit/s; -1 when the adapter has
  // no command for it.
  static int BitRateCode(long bitsPerSecond);
  enum : char { cCR = '\r', cBEL = '\a' };

  KCan232();
  // The port is closed only by Close().
  ~KCan232() override = default;

  // Opens "/dev/<dev>" at 115200 baud and sends the start-up string (with
  // the bit rate command of mBitRateCode).
  bool Init(const char* dev) override;
  void Close() override;
  // True when the port is open.
  bool Connect() override;
  // Reads the waiting bytes until a frame line (or the acknowledgement of a
  // sent frame) is complete; false when none is. Then it waits: 1 ms without
  // a stop event; with one, until bytes come or the stop event is readable
  // (no longer than the character time-out while a line is half received,
  // so that its pause is seen). Reports a port that has gone away once, on
  // stdout.
  bool ReceiveData(KCanFrame& frame) override;
  // No second receive path: always false.
  bool ReadData(KCanFrame& frame) override;
  // Sends one frame line; the adapter's "z"/"Z" acknowledgement later makes
  // ReceiveData deliver the frame.
  bool SendData(const KCanFrame& frame) override;

  // Sends "F" (the status flags); the answer "Fxx" is taken by
  // ReceiveData and handed out by TakeStatus.
  void RequestStatus() override;
  int TakeStatus() override { return mStatus.exchange(-1); }

  KCanFrame mSendFrame;
  bool mWaitAck;
  // The bit rate command code (0..8) the next Init sends in the start-up
  // string; cDefaultBitRateCode (S1, 20 kbit/s) unless set.
  int mBitRateCode;

private:
  bool ReceiveLocked(KCanFrame& frame);
  // How long the receiver may wait for bytes: without limit (-1) while no
  // line is begun, else until the character time-out has passed.
  int IdleWaitMs() const;

  std::mutex mLock;
  std::atomic<bool> mLostReported;
  std::atomic<int> mStatus{-1};
};
