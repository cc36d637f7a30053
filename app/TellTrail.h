// The logger application's entry point: start-up, the run and shut-down.
#pragma once

#include <cstdint>

enum : int {
  cHttpPutSize = 500000, // one HTTP PUT batch with its terminating zero
  cRequestSize = 512,    // one request line of the URL template output
};

// The whole program; returns the exit status: 0 after a run that a stop
// signal ended, 1 after a run that ended through a failure (the device could
// not be connected or went away, an output failed), -1 after a start-up
// failure.
int TellTrailMain(int argc, char** argv);
