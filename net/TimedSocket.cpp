#include "TimedSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The IPv4 address of `host` (an address or a name that resolves), or false.
bool Resolve(const char* host, unsigned short port, sockaddr_in& address) {
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (host == nullptr || host[0] == 0)
    return false;
  if (inet_pton(AF_INET, host, &address.sin_addr) == 1)
    return true;
  // Digits and dots only, and no address: a mistyped address, never a name.
  if (std::strspn(host, "0123456789.") == std::strlen(host))
    return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
    return false;
  address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

} // namespace

KTimedSocket::KTimedSocket()
    : mStopEvent(-1), mConnected(false), mDeadline(0), mTimedOut(false), mStopped(false) {}

void KTimedSocket::StartDeadline(int fromNowMs) {
  ClearOutcome();
  mDeadline = NowMs() + (fromNowMs > 0 ? fromNowMs : 1);
}

void KTimedSocket::ClearOutcome() {
  mTimedOut = false;
  mStopped = false;
}

KTimedSocket::TWaitEnum KTimedSocket::Wait(bool write, int timeoutMs) {
  const long long start = NowMs();
  for (;;) {
    long long limit = timeoutMs < 0 ? 0 : timeoutMs;
    limit -= NowMs() - start;
    if (mDeadline > 0 && mDeadline - NowMs() < limit)
      limit = mDeadline - NowMs();
    if (limit < 0)
      limit = 0;
    pollfd p[2] = {{mSocket, static_cast<short>(write ? POLLOUT : POLLIN), 0},
                   {mStopEvent, POLLIN, 0}};
    int n = poll(p, mStopEvent >= 0 ? 2 : 1, static_cast<int>(limit));
    if (n < 0 && errno == EINTR)
      continue;
    if (mStopEvent >= 0 && (p[1].revents & POLLIN) != 0) {
      mStopped = true;
      return wtStopped;
    }
    if (n > 0 && p[0].revents != 0)
      return wtReady;
    return wtTimeOut;
  }
}

// One receive or send once the socket is ready: a time-out is reported as
// the socket's EAGAIN (a stop is not reported), as a descriptor with a
// receive or send time-out would.
template <typename TCall>
int KTimedSocket::WaitThenCall(bool write, int timeoutMs, const char* operation, TCall call) {
  for (;;) {
    switch (Wait(write, timeoutMs)) {
    case wtStopped:
      return -1;
    case wtTimeOut:
      if (!write)
        mTimedOut = true;
      errno = EAGAIN;
      return static_cast<int>(ErrorCheck(-1, operation));
    case wtReady:
      break;
    }
    ssize_t n = call();
    if (n == -1 && (errno == EAGAIN || errno == EINTR))
      continue;
    return static_cast<int>(ErrorCheck(n, operation));
  }
}

int KTimedSocket::ReceiveWithin(char* buffer, int length, int timeoutMs) {
  if (!mOpen || length <= 0)
    return 0;
  return WaitThenCall(false, timeoutMs, "recv", [&] {
    return recv(mSocket, buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
  });
}

int KTimedSocket::SendWithin(const char* data, int length, int timeoutMs) {
  if (!mOpen)
    return 0;
  // MSG_NOSIGNAL: a peer that has gone away gives EPIPE instead of a
  // SIGPIPE that would end the program.
  return WaitThenCall(true, timeoutMs, "send", [&] {
    return send(mSocket, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  });
}

// A connect that waits: the descriptor is made non-blocking for it (a
// blocking connect takes minutes when the packets vanish) and polled,
// together with the stop event.
bool KTimedSocket::ConnectBlocking(const void* address, unsigned length, int timeoutMs) {
  const sockaddr* pAddress = static_cast<const sockaddr*>(address);
  int flags = fcntl(mSocket, F_GETFL);
  if (flags == -1)
    flags = 0;
  if (ErrorCheck(fcntl(mSocket, F_SETFL, flags | O_NONBLOCK), "fcntl") == -1)
    return false;
  bool connected = connect(mSocket, pAddress, length) == 0;
  int err = errno;
  bool stopped = false;
  if (!connected && err == EINPROGRESS) {
    TWaitEnum w = Wait(true, timeoutMs > 0 ? timeoutMs : INT_MAX);
    stopped = w == wtStopped;
    if (w == wtReady) {
      socklen_t len = sizeof(err);
      if (getsockopt(mSocket, SOL_SOCKET, SO_ERROR, &err, &len) == -1)
        err = errno;
      connected = err == 0;
    } else {
      err = ETIMEDOUT;
    }
  }
  if (!connected && !stopped) {
    errno = err;
    ErrorCheck(-1, "connect");
  }
  if (mOpen && mBlockMode == bmBlocking)
    ErrorCheck(fcntl(mSocket, F_SETFL, flags), "fcntl");
  return connected;
}

KTimedSocket::TConnectEnum KTimedSocket::ConnectWithin(int timeoutMs) {
  if (!mOpen)
    mConnected = false; // a socket closed behind our back holds no connection
  if (mConnected)
    return ctConnected;
  sockaddr_in address;
  if (!Resolve(mRemoteHost, mRemotePort, address)) {
    Close();
    return ctNoName;
  }
  Open();
  if (mOpen) {
    if (mBlockMode == bmBlocking) {
      mConnected = ConnectBlocking(&address, sizeof(address), timeoutMs);
    } else {
      // A non-blocking connect reports its EINPROGRESS, then waits.
      const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(&address);
      mConnected = ErrorCheck(connect(mSocket, pAddress, sizeof(address)), "connect") == 0;
      if (!mConnected && timeoutMs > 0)
        mConnected = Wait(true, timeoutMs) == wtReady;
    }
  }
  if (mConnected)
    return ctConnected;
  Close();
  return mStopped ? ctStopped : ctNotConnected;
}

void KTimedSocket::CloseConnection() {
  if (mConnected) {
    if (mOpen)
      ErrorCheck(shutdown(mSocket, SHUT_RDWR), "shutdown");
    mConnected = false;
  }
  Close();
}
