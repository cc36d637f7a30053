// A BSD socket descriptor together with the settings that open it and the
// local and remote end points. Every system call goes through ErrorCheck,
// which records errno in mError and prints one line on standard output.
//
// A base class: the HTTP client derives from it for IPv4 TCP (through the
// timed socket, KTimedSocket), the SocketCAN driver for a raw CAN socket.
// All fields are open to derived classes.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

enum TSocketBlockModeEnum { bmBlocking = 0, bmNonBlocking = 1 };

class KIpSocket {
public:
  enum : int { cHostSize = 256, cSocketTypes = 5 };
  static constexpr unsigned short mDefaultTcpIpPort = 8071;

  KIpSocket();
  virtual ~KIpSocket();
  KIpSocket(const KIpSocket&) = delete;
  KIpSocket& operator=(const KIpSocket&) = delete;

  // Creates the descriptor unless one is open; mOpen tells the outcome.
  void Open();
  void Close();
  // Binds to mLocalHost:mLocalPort; retries once with address reuse when
  // the address is still in use.
  virtual bool Bind();
  void SetBlockMode(TSocketBlockModeEnum mode);

  // Waits for the requested conditions (non-null flags); a negative timeout
  // waits without limit, 0 polls. True when at least one condition holds.
  bool Select(bool* readable, bool* writable, bool* error, int timeoutMs);
  // True when at least one byte can be read now (a closed peer gives false).
  bool WaitForData(int timeoutMs);
  int PeekBuf(char& c, int length);
  // One recv: bytes received, 0 at end of stream or when not open, -1 on
  // failure. The timeout is used only in non-blocking mode.
  int ReceiveBuf(char* buffer, int length, int flags, int timeoutMs);
  // One send: bytes sent, 0 when not open or not writable in time, -1 on
  // failure. `flags` is not passed on.
  int SendBuf(const char* data, int length, int flags, int timeoutMs);
  // Datagram forms; `from` receives the sender's address (at most
  // sizeof(sockaddr) bytes, fromLength gives back its length).
  int ReceiveFrom(char* buffer, int length, sockaddr& from, int& fromLength, int flags,
                  int timeoutMs);
  int SendTo(const char* data, int length, const sockaddr& to, int flags, int timeoutMs);

  // Returns result unchanged; -1 is a failure: errno goes to mError and one
  // line "socket error (op) errno[: text]" is reported (can/Report.h).
  long ErrorCheck(long result, const char* operation);

  unsigned short GetLocalPort() const { return mLocalPort; }
  void SetLocalHost(const char* host);
  void SetRemoteHost(const char* host);
  void SetLocalPort(unsigned short port);
  void SetRemotePort(unsigned short port);
  bool StoreRemote(const sockaddr_in& address);

  // Name and address look-ups; failures are silent (see each fallback).
  static void GetSocketAddr(sockaddr_in& address, const char* host, unsigned short port);
  static void LookupHostAddr(const char* host, char* out, int outSize);
  static void LookupHostName(const char* address, char* out, int outSize);
  static void LocalHostName(char* out, int outSize);
  static void LocalDomainName(char* out, int outSize);
  static void LocalHostAddr(char* out, int outSize);
  static unsigned short LookupPort(const char* service, const char* protocol);
  static unsigned short LookupProtocol(const char* name);

  bool mOpen;
  int mSocket;
  int mFamily;
  int mType;
  unsigned short mProtocol;
  TSocketBlockModeEnum mBlockMode;
  int mError;
  char mLocalHost[cHostSize];
  unsigned short mLocalPort;
  char mRemoteHost[cHostSize];
  unsigned short mRemotePort;
  // Failures are recorded in mError but not printed: set while a server is
  // known to be away, so that retries do not repeat the same line.

private:
  void SetHost(char* field, const char* host);
  void CloseStale();
};
