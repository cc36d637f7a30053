// Reader of candump log lines, as `candump -l` writes them:
//   (1700000000.123456) can0 123#11223344
//   (1700000000.123456) can0 18FEF100#R      remote frame, "123#R3" with length
//   (1700000000.123456) can0 20000004#...    error frame (8 digits, bit 29)
// possibly followed by a blank and more (candump -x adds " R" or " T").
// Used by the test tools (the CAN232 emulator replays such logs, and
// candump-compare checks telltrail's logs against them) and by
// telltrail-export, which reads them as one of its sources.
#pragma once

#include <cstdint>

struct KCandumpFrame {
  // Every device name the logger takes (a serial device's path too) fits.
  enum : int { cIfaceSize = 128 };
  uint32_t mId = 0;        // identifier without flag bits
  bool mExtended = false;  // 29-bit identifier
  bool mRemote = false;    // remote request
  bool mError = false;     // error frame (mId holds the error class bits)
  int mLen = 0;
  unsigned char mData[8] = {};
  bool mHasTime = false;
  long long mSeconds = 0;  // receive time, when the line has one
  long mMicros = 0;
  char mIface[cIfaceSize] = ""; // the interface name before the frame (cut to fit)

  double Time() const { return static_cast<double>(mSeconds) + mMicros * 1e-6; }
  long long UnixMs() const { return mSeconds * 1000 + mMicros / 1000; }
  // The identifier word as SocketCAN (and telltrail's CSV log) holds it.
  uint32_t IdWord() const;
};

enum TCandumpLineEnum {
  clFrame, // a classic CAN frame (data, remote or error frame)
  clSkip,  // nothing to read: an empty line or a CAN FD frame
  clBad    // not a candump line; `why` says what is wrong
};

TCandumpLineEnum ParseCandumpLine(const char* line, KCandumpFrame& frame, const char*& why);
