// A TCP connection whose every wait is bounded: the connect, each send and
// each receive by a time-out of its own and, while a deadline is set, by
// that deadline; and every wait is cut short when the stop event (any
// descriptor, typically an eventfd) becomes readable.
//
// Outcomes are returned and remembered (Stopped, TimedOut) for the caller
// to tell why a transfer ended; a receive that runs out of time is reported
// like the socket's EAGAIN ("socket error (recv) 11: ..."), a stop silently.
#pragma once

#include "KIpSocket.h"

class KTimedSocket : public KIpSocket {
public:
  enum TConnectEnum {
    ctConnected,
    ctNoName,       // the remote host does not resolve to an IPv4 address
    ctNotConnected, // refused, unreachable or not within the time
    ctStopped       // the stop event came first
  };

  KTimedSocket();

  // Opens the descriptor and connects to mRemoteHost:mRemotePort within
  // timeoutMs; ctConnected also when already connected. Any other outcome
  // leaves the socket closed. In non-blocking mode the connect's
  // EINPROGRESS is reported and writability within the time counts as
  // connected; in blocking mode the connect is made non-blocking and waited
  // for, so that no connect takes the kernel's minutes.
  TConnectEnum ConnectWithin(int timeoutMs);
  // Shutdown (when connected) and close.
  void CloseConnection();
  // One receive or send: bytes moved, 0 at the end of the stream (or when
  // not open), -1 on failure, time-out or stop.
  int ReceiveWithin(char* buffer, int length, int timeoutMs);
  int SendWithin(const char* data, int length, int timeoutMs);

  // From now on every wait ends at the latest `fromNowMs` later; clears
  // the outcomes.
  void StartDeadline(int fromNowMs);
  void ClearDeadline() { mDeadline = 0; }
  // Clears the outcomes below.
  void ClearOutcome();
  // A receive ran out of time since the outcomes were cleared.
  bool TimedOut() const { return mTimedOut; }
  // The stop event ended a wait since the outcomes were cleared.
  bool Stopped() const { return mStopped; }

  // A descriptor that becomes readable when a stop is requested, or -1.
  int mStopEvent;
  bool mConnected;

private:
  enum TWaitEnum { wtReady, wtTimeOut, wtStopped };
  TWaitEnum Wait(bool write, int timeoutMs);
  template <typename TCall>
  int WaitThenCall(bool write, int timeoutMs, const char* operation, TCall call);
  bool ConnectBlocking(const void* address, unsigned length, int timeoutMs);

  // Steady-clock milliseconds by which every wait ends; 0 none.
  long long mDeadline;
  bool mTimedOut;
  bool mStopped;
};
