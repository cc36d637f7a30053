// Clean stop on a signal: SIGINT, SIGTERM and SIGHUP set the capture
// thread's terminate flag, so the sampling loop writes what it holds and the
// entry point prints its termination line. SIGPIPE is ignored.
#pragma once

class KCanServer;

// Catches the stop signals and ignores SIGPIPE from now on; a stop that came
// before already terminates `server`.
void InstallStopHandlers(KCanServer* server);
// Restores the default actions of the stop signals.
void RemoveStopHandlers();

// The stop handlers for a scope: installed for `server`, restored to the
// default actions when the scope ends.
class KStopHandlers {
public:
  explicit KStopHandlers(KCanServer* server) { InstallStopHandlers(server); }
  ~KStopHandlers() { RemoveStopHandlers(); }
  KStopHandlers(const KStopHandlers&) = delete;
  KStopHandlers& operator=(const KStopHandlers&) = delete;
};

// Requests a clean stop: sets the capture thread's terminate flag.
// Async-signal-safe.
void RequestStop();
bool StopRequested();
void ClearStopRequest();
