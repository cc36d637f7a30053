#include "ConsoleSink.h"

#include <cstdio>
#include <cstring>

bool KConsoleSink::Take(const KCanFrame& frame, const char* line) {
  if ((frame.mId & KCanFrame::cRemoteOrErrorMask) != 0 || mEveryFrame) {
    std::fputs(line, stdout);
    mPending = false;
  } else {
    std::snprintf(mLastLine, sizeof(mLastLine), "%s", line);
    mPending = true;
  }
  return true;
}

void KConsoleSink::EndPeriod() {
  if (mPending)
    std::fputs(mLastLine, stdout);
  mPending = false;
}
