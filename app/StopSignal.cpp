#include "StopSignal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "KCanServer.h"

namespace {

// The capture server that a stop signal terminates, and whether one came.
std::atomic<KCanServer*> SignalServer{nullptr};
volatile sig_atomic_t StopFlag = 0;

static_assert(std::atomic<KCanServer*>::is_always_lock_free, "used from a signal handler");

// The signals that stop a run cleanly: Ctrl-C, kill or a service stop, and
// the terminal going away.
const int cStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnStopSignal(int) {
  int saved = errno;
  RequestStop();
  errno = saved;
}

} // namespace

void InstallStopHandlers(KCanServer* server) {
  SignalServer.store(server);
  if (StopFlag != 0)
    server->Terminate();
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int s : cStopSignals)
    sigaction(s, &action, nullptr);
  // A console that can no longer be written (piped into a program that has
  // ended) must not end the run: the write fails and logging goes on. Kept
  // ignored to the end, so that the last lines cannot kill the process.
  signal(SIGPIPE, SIG_IGN);
}

void RemoveStopHandlers() {
  for (int s : cStopSignals)
    signal(s, SIG_DFL);
  SignalServer.store(nullptr);
}

void RequestStop() {
  StopFlag = 1;
  KCanServer* server = SignalServer.load();
  if (server != nullptr)
    server->Terminate();
}

bool StopRequested() { return StopFlag != 0; }

void ClearStopRequest() { StopFlag = 0; }
