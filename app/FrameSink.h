// Where the frames of a period go: the console, the daily log file and each
// forwarding output sit behind this one interface. The sampling loop hands
// every frame to every sink in turn, then ends the period on each.
#pragma once

#include "KCanFrame.h"

class KFrameSink {
public:
  virtual ~KFrameSink() = default;
  // One frame and its line (the console's form). False when the sink cannot
  // take frames any more and the run must end; it has said why.
  virtual bool Take(const KCanFrame& frame, const char* line) = 0;
  // The period's frames are all taken.
  virtual void EndPeriod() = 0;
  // True when the sink has failed in a way that ends the run: no further
  // frame may go to any sink.
  virtual bool Failed() const { return false; }
};
