// The console as an output: every frame when it is the only output (or
// trace is on), else remote and error frames and the period's last line, so
// that a busy bus does not flood the terminal.
#pragma once

#include "FrameSink.h"
#include "NCanUtils.h"

class KConsoleSink : public KFrameSink {
public:
  explicit KConsoleSink(bool everyFrame) : mEveryFrame(everyFrame) {}
  bool Take(const KCanFrame& frame, const char* line) override;
  void EndPeriod() override;

private:
  bool mEveryFrame;
  bool mPending = false;
  char mLastLine[cLineSize] = {};
};
