#include "StopSignal.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include "KCanServer.h"

namespace {

// The capture server that a stop signal terminates, and whether one came.
std::atomic<KCanServer*> SignalServer{nullptr};
volatile sig_atomic_t StopFlag = 0;

static_assert(std::atomic<KCanServer*>::is_always_lock_free, "used from a signal handler");

void OnStopSignal(int) { RequestStop(); }

} // namespace

void InstallStopHandlers(KCanServer* server) {
  SignalServer.store(server);
  if (StopFlag != 0)
    server->Terminate();
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void RemoveStopHandlers() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
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
