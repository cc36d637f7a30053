#include "KIpSocket.h"

#include "Report.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <netdb.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

// Second argument of socket() for each value of mType.
const int lSocketType[KIpSocket::cSocketTypes] = {SOCK_STREAM, SOCK_DGRAM, SOCK_RAW, SOCK_RDM,
                                                   SOCK_SEQPACKET};

// Text of an errno value: this platform's symbolic name and its description,
// "ECONNREFUSED (Connection refused)"; false for a value the platform does not
// name. The C library's own tables are used, so the names are always those
// of the system the program runs on, and the texts are the untranslated ones.
bool SocketError(int value, char* out, std::size_t size) {
  const char* name = value > 0 ? strerrorname_np(value) : nullptr;
  const char* text = value > 0 ? strerrordesc_np(value) : nullptr;
  if (name == nullptr || text == nullptr)
    return false;
  int n = std::snprintf(out, size, "%s (%s)", name, text);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

// Room for the longest errno text.
enum : int { cErrorTextSize = 128 };

// Scratch space for the reentrant resolver calls; a larger answer counts as
// not found.
enum : int { cResolverBufSize = 2048 };

// Copies text into out when it fits completely; otherwise leaves out empty.
bool CopyIfFits(const char* text, char* out, int outSize) {
  if (outSize <= 0)
    return false;
  out[0] = 0;
  std::size_t len = std::strlen(text);
  if (len >= static_cast<std::size_t>(outSize))
    return false;
  std::memcpy(out, text, len + 1);
  return true;
}

} // namespace

KIpSocket::KIpSocket()
    : mOpen(false), mSocket(-1), mFamily(AF_INET), mType(0), mProtocol(0),
      mBlockMode(bmNonBlocking), mError(0), mLocalPort(0), mRemotePort(0) {
  mLocalHost[0] = 0;
  mRemoteHost[0] = 0;
}

KIpSocket::~KIpSocket() {
  Close();
  CloseStale();
}

long KIpSocket::ErrorCheck(long result, const char* operation) {
  int err = errno;
  mError = 0;
  if (result != -1)
    return result;
  mError = err;
  if (err == EAGAIN && operation != nullptr && std::strcmp(operation, "accept") == 0) {
    mError = 0;
    return result;
  }
  const char* name = operation != nullptr ? operation : "?";
  char text[cErrorTextSize];
  if (SocketError(err, text, sizeof(text)))
    NReport::Failure("socket error (%s) %d: %s\n", name, err, text);
  else
    NReport::Failure("socket error (%s) %d\n", name, err);
  if (err == ECONNRESET)
    mOpen = false; // the descriptor stays in mSocket until the next Open
  return result;
}

// After a connection reset the object counts as closed but the descriptor
// is still held in mSocket; release it before it is replaced or forgotten.
void KIpSocket::CloseStale() {
  if (!mOpen && mSocket != -1) {
    ErrorCheck(close(mSocket), "close");
    mSocket = -1;
  }
}

void KIpSocket::Open() {
  if (mOpen)
    return;
  CloseStale();
  int type = (mType >= 0 && mType < cSocketTypes) ? lSocketType[mType] : -1;
  mSocket = static_cast<int>(ErrorCheck(socket(mFamily, type, mProtocol), "socket"));
  mOpen = mSocket != -1;
  if (mOpen) {
    TSocketBlockModeEnum mode = mBlockMode;
    mBlockMode = bmBlocking;
    SetBlockMode(mode);
  }
}

void KIpSocket::Close() {
  if (!mOpen)
    return;
  if (mSocket != -1) {
    ErrorCheck(close(mSocket), "close");
    mSocket = -1;
  }
  mOpen = false;
}

void KIpSocket::SetBlockMode(TSocketBlockModeEnum mode) {
  if (mode == mBlockMode)
    return;
  if (mOpen && mode == bmNonBlocking) {
    int flags = fcntl(mSocket, F_GETFL);
    if (flags == -1)
      flags = 0;
    ErrorCheck(fcntl(mSocket, F_SETFL, flags | O_NONBLOCK), "fcntl");
  }
  mBlockMode = mode;
}

bool KIpSocket::Select(bool* readable, bool* writable, bool* error, int timeoutMs) {
  if (!mOpen)
    return false;
  // An fd_set holds descriptors below FD_SETSIZE only; a larger one would be
  // written past the set.
  if (mSocket < 0 || mSocket >= FD_SETSIZE) {
    errno = EBADF;
    ErrorCheck(-1, "select");
    for (bool* flag : {readable, writable, error})
      if (flag != nullptr)
        *flag = false;
    return false;
  }
  fd_set sets[3];
  bool* flags[3] = {readable, writable, error};
  fd_set* given[3] = {nullptr, nullptr, nullptr};
  for (int i = 0; i < 3; ++i) {
    if (flags[i] != nullptr) {
      FD_ZERO(&sets[i]);
      FD_SET(mSocket, &sets[i]);
      given[i] = &sets[i];
    }
  }
  timeval limit;
  timeval* pLimit = nullptr;
  if (timeoutMs >= 0) {
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    pLimit = &limit;
  }
  long n = ErrorCheck(select(mSocket + 1, given[0], given[1], given[2], pLimit), "select");
  for (int i = 0; i < 3; ++i)
    if (flags[i] != nullptr)
      *flags[i] = FD_ISSET(mSocket, &sets[i]) != 0;
  return n > 0;
}

bool KIpSocket::WaitForData(int timeoutMs) {
  bool readable = false;
  bool error = false;
  if (!Select(&readable, nullptr, &error, timeoutMs) || !readable || error)
    return false;
  char c;
  return PeekBuf(c, 1) == 1;
}

int KIpSocket::PeekBuf(char& c, int length) {
  if (length < 0) {
    errno = EINVAL;
    return static_cast<int>(ErrorCheck(-1, "recv"));
  }
  return static_cast<int>(
      ErrorCheck(recv(mSocket, &c, static_cast<std::size_t>(length), MSG_PEEK), "recv"));
}

int KIpSocket::ReceiveBuf(char* buffer, int length, int flags, int timeoutMs) {
  if (!mOpen)
    return 0;
  if (length < 0) { // would reach the kernel as a huge size
    errno = EINVAL;
    return static_cast<int>(ErrorCheck(-1, "recv"));
  }
  if (mBlockMode == bmNonBlocking && timeoutMs > 0) {
    bool readable = false;
    Select(&readable, nullptr, nullptr, timeoutMs);
  }
  return static_cast<int>(
      ErrorCheck(recv(mSocket, buffer, static_cast<std::size_t>(length), flags), "recv"));
}

int KIpSocket::SendBuf(const char* data, int length, int /*flags*/, int timeoutMs) {
  if (!mOpen)
    return 0;
  if (length < 0) {
    errno = EINVAL;
    return static_cast<int>(ErrorCheck(-1, "send"));
  }
  bool writable = true;
  if (mBlockMode == bmNonBlocking && timeoutMs > 0)
    Select(nullptr, &writable, nullptr, timeoutMs);
  if (!writable)
    return 0;
  // MSG_NOSIGNAL: a peer that has gone away gives EPIPE instead of a
  // SIGPIPE that would end the program.
  return static_cast<int>(
      ErrorCheck(send(mSocket, data, static_cast<std::size_t>(length), MSG_NOSIGNAL), "send"));
}

int KIpSocket::ReceiveFrom(char* buffer, int length, sockaddr& from, int& fromLength, int flags,
                           int timeoutMs) {
  if (length < 0) {
    errno = EINVAL;
    return static_cast<int>(ErrorCheck(-1, "recvfrom"));
  }
  if (mBlockMode == bmNonBlocking && timeoutMs > 0) {
    bool readable = false;
    Select(&readable, nullptr, nullptr, timeoutMs);
  }
  // The kernel may write no more than the caller's address record holds.
  socklen_t len = sizeof(sockaddr);
  if (fromLength >= 0 && static_cast<socklen_t>(fromLength) < len)
    len = static_cast<socklen_t>(fromLength);
  long n = ErrorCheck(
      recvfrom(mSocket, buffer, static_cast<std::size_t>(length), flags, &from, &len),
      "recvfrom");
  if (n != -1)
    fromLength = static_cast<int>(len);
  return static_cast<int>(n);
}

int KIpSocket::SendTo(const char* data, int length, const sockaddr& to, int flags,
                      int timeoutMs) {
  if (length < 0) {
    errno = EINVAL;
    return static_cast<int>(ErrorCheck(-1, "sendto"));
  }
  if (mBlockMode == bmNonBlocking && timeoutMs > 0) {
    bool writable = false;
    Select(nullptr, &writable, nullptr, timeoutMs);
  }
  return static_cast<int>(ErrorCheck(sendto(mSocket, data, static_cast<std::size_t>(length),
                                            flags | MSG_NOSIGNAL, &to, sizeof(sockaddr_in)),
                                     "sendto"));
}

bool KIpSocket::Bind() {
  if (!mOpen)
    return false;
  sockaddr_in address;
  GetSocketAddr(address, mLocalHost, mLocalPort);
  const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(&address);
  bool ok = ErrorCheck(bind(mSocket, pAddress, sizeof(address)), "bind") == 0;
  if (!ok && mError == EADDRINUSE) {
    // An address still held by an earlier socket (TIME_WAIT) can be bound
    // again with address reuse.
    int on = 1;
    if (ErrorCheck(setsockopt(mSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)),
                   "setsockopt") == 0)
      ok = ErrorCheck(bind(mSocket, pAddress, sizeof(address)), "bind") == 0;
  }
  return ok;
}

void KIpSocket::SetHost(char* field, const char* host) {
  if (host == nullptr)
    return;
  std::size_t len = strnlen(host, cHostSize);
  if (len >= cHostSize - 1) // 254 characters at most
    return;
  if (std::strcmp(field, host) == 0)
    return;
  Close();
  std::memcpy(field, host, len + 1);
}

void KIpSocket::SetLocalHost(const char* host) { SetHost(mLocalHost, host); }

void KIpSocket::SetRemoteHost(const char* host) { SetHost(mRemoteHost, host); }

void KIpSocket::SetLocalPort(unsigned short port) {
  if (port == mLocalPort)
    return;
  Close();
  mLocalPort = port;
}

void KIpSocket::SetRemotePort(unsigned short port) {
  if (port == mRemotePort)
    return;
  Close();
  mRemotePort = port;
}

bool KIpSocket::StoreRemote(const sockaddr_in& address) {
  mRemotePort = ntohs(address.sin_port);
  mRemoteHost[0] = 0;
  char text[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)) == nullptr)
    return false;
  return CopyIfFits(text, mRemoteHost, cHostSize);
}

void KIpSocket::GetSocketAddr(sockaddr_in& address, const char* host, unsigned short port) {
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  char text[cHostSize];
  LookupHostAddr(host, text, sizeof(text));
  address.sin_addr.s_addr = inet_addr(text);
  address.sin_port = htons(port);
}

void KIpSocket::LookupHostAddr(const char* host, char* out, int outSize) {
  if (outSize > 0)
    out[0] = 0;
  if (outSize <= 31)
    return;
  if (host != nullptr && host[0] != 0) {
    if (host[0] >= '0' && host[0] <= '9') {
      // A text that begins with a digit is an address or nothing.
      if (inet_addr(host) != INADDR_NONE && CopyIfFits(host, out, outSize))
        return;
    } else {
      hostent entry;
      hostent* found = nullptr;
      char work[cResolverBufSize];
      int herr = 0;
      if (gethostbyname_r(host, &entry, work, sizeof(work), &found, &herr) == 0 &&
          found != nullptr && found->h_addrtype == AF_INET && found->h_length == 4 &&
          found->h_addr_list[0] != nullptr) {
        const unsigned char* a = reinterpret_cast<const unsigned char*>(found->h_addr_list[0]);
        std::snprintf(out, static_cast<std::size_t>(outSize), "%d.%d.%d.%d", a[0], a[1], a[2],
                      a[3]);
        return;
      }
    }
  }
  std::snprintf(out, static_cast<std::size_t>(outSize), "0.0.0.0");
}

void KIpSocket::LookupHostName(const char* address, char* out, int outSize) {
  if (outSize <= 0)
    return;
  out[0] = 0;
  if (address == nullptr)
    return;
  in_addr_t a = inet_addr(address);
  if (a == INADDR_NONE)
    return;
  hostent entry;
  hostent* found = nullptr;
  char work[cResolverBufSize];
  int herr = 0;
  if (gethostbyaddr_r(&a, 4, AF_INET, &entry, work, sizeof(work), &found, &herr) == 0 &&
      found != nullptr && found->h_name != nullptr)
    CopyIfFits(found->h_name, out, outSize);
}

void KIpSocket::LocalHostName(char* out, int outSize) {
  if (outSize <= 0)
    return;
  if (gethostname(out, static_cast<std::size_t>(outSize)) != 0)
    out[0] = 0;
  out[outSize - 1] = 0; // a truncated name need not be terminated
}

void KIpSocket::LocalDomainName(char* out, int outSize) {
  if (outSize <= 0)
    return;
  if (getdomainname(out, static_cast<std::size_t>(outSize)) != 0)
    out[0] = 0;
  out[outSize - 1] = 0;
}

void KIpSocket::LocalHostAddr(char* out, int outSize) {
  char name[cHostSize];
  LocalHostName(name, sizeof(name));
  LookupHostAddr(name, out, outSize);
}

unsigned short KIpSocket::LookupPort(const char* service, const char* protocol) {
  if (service == nullptr || service[0] == 0)
    return 0;
  servent entry;
  servent* found = nullptr;
  char work[cResolverBufSize];
  if (getservbyname_r(service, protocol, &entry, work, sizeof(work), &found) == 0 &&
      found != nullptr)
    return ntohs(static_cast<uint16_t>(found->s_port));
  // Not a known service: the number in the text. A number that does not fit
  // a port is no port (rather than wrapping to some other port).
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(service, &end, 10);
  if (end == service || errno == ERANGE || value < 0 || value > 65535)
    return 0;
  return static_cast<unsigned short>(value);
}

unsigned short KIpSocket::LookupProtocol(const char* name) {
  if (name == nullptr)
    return 0;
  protoent entry;
  protoent* found = nullptr;
  char work[cResolverBufSize];
  if (getprotobyname_r(name, &entry, work, sizeof(work), &found) == 0 && found != nullptr)
    return static_cast<unsigned short>(found->p_proto);
  return 0;
}
