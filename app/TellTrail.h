// The logger application's entry point: start-up, the run and shut-down.
#pragma once

#include <cstdint>

enum : int {
  cHttpPutSize = 500000,
  cRequestSize = 512,
};

// The HTTP PUT batch being collected and its length (main thread only).
extern char HttpPut[cHttpPutSize];
extern uint32_t HttpLen;

// The whole program; returns the exit status (0 after a run, -1 after a
// start-up failure).
int TellTrailMain(int argc, char** argv);
