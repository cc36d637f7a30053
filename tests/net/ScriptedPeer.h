// A scripted TCP peer on 127.0.0.1 for client tests: a thread accepts one
// connection per script, in order, waits for the client's request, answers
// exactly what the script says and records everything the client sent.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

struct KScript {
  // Sent once the request is complete, piece by piece with mPauseMs between
  // the pieces.
  std::vector<std::string> mAnswer;
  int mPauseMs = 0;
  // Instead of a pause: the pieces after the first are sent only once the
  // client has closed the connection (a server slower than any wait).
  bool mRestAfterClose = false;
  // The request is complete after this text (and, when its head carries a
  // Content-Length, after that many more bytes). Empty: answer at once.
  std::string mRequestEnd = "\r\n\r\n";
  // After the answer: keep the connection and read until the client closes
  // (false: close at once).
  bool mHold = false;
  // Never read: the client's data piles up (with a small receive buffer)
  // until the test calls Release().
  bool mNoRead = false;
};

class KScriptedPeer {
public:
  // Longest time the peer waits for a client or for its data; a client
  // that hangs fails its test instead of hanging it.
  static constexpr int cSafetyMs = 20000;

  explicit KScriptedPeer(std::vector<KScript> scripts, bool smallBuffer = false)
      : mScripts(std::move(scripts)), mReceived(mScripts.size()),
        mClientClosed(mScripts.size(), false) {
    mListen = socket(AF_INET, SOCK_STREAM, 0);
    if (smallBuffer) {
      int size = 4096; // inherited by the accepted connections
      setsockopt(mListen, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(mListen, 8) != 0)
      std::abort();
    socklen_t len = sizeof(a);
    getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len);
    mPort = ntohs(a.sin_port);
    mThread = std::thread([this] { Run(); });
  }
  ~KScriptedPeer() {
    Join();
    close(mListen);
  }
  KScriptedPeer(const KScriptedPeer&) = delete;
  KScriptedPeer& operator=(const KScriptedPeer&) = delete;

  unsigned short Port() const { return mPort; }
  // A port of 127.0.0.1 where nothing listens (one just given up).
  static unsigned short UnusedPort() {
    KScriptedPeer probe({});
    return probe.Port();
  }
  // Waits until every script has been played (or given up).
  void Join() {
    if (mThread.joinable())
      mThread.join();
  }
  // What the client sent on connection i; valid after Join.
  const std::string& Received(std::size_t i) const { return mReceived.at(i); }
  // Whether the client closed connection i (rather than the peer's safety
  // time running out); valid after Join for scripts with mHold.
  bool ClientClosed(std::size_t i) const { return mClientClosed.at(i); }
  int Accepted() const { return mAccepted; }
  // Ends the wait of a script with mNoRead.
  void Release() { mReleased = true; }

private:
  static bool Wait(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }

  enum TReadEnum { rData, rEnd, rTimeout };

  // Reads what is there into `text`.
  static TReadEnum ReadSome(int fd, std::string& text) {
    if (!Wait(fd, cSafetyMs))
      return rTimeout;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0)
      return rEnd;
    text.append(buf, static_cast<std::size_t>(n));
    return rData;
  }

  static bool RequestComplete(const std::string& text, const std::string& end) {
    std::size_t head = text.find(end);
    if (head == std::string::npos)
      return false;
    std::size_t body = head + end.size();
    std::size_t cl = text.find("Content-Length: ");
    if (cl == std::string::npos || cl > head)
      return true;
    return text.size() - body >= std::strtoul(text.c_str() + cl + 16, nullptr, 10);
  }

  void Run() {
    for (std::size_t i = 0; i < mScripts.size(); ++i) {
      if (!Wait(mListen, cSafetyMs))
        return;
      int fd = accept(mListen, nullptr, nullptr);
      if (fd < 0)
        return;
      ++mAccepted;
      const KScript& s = mScripts[i];
      std::string& got = mReceived[i];
      TReadEnum r = rData;
      if (!s.mNoRead && !s.mRequestEnd.empty())
        while (!RequestComplete(got, s.mRequestEnd) && (r = ReadSome(fd, got)) == rData)
          ;
      for (std::size_t k = 0; k < s.mAnswer.size(); ++k) {
        if (k > 0 && s.mPauseMs > 0)
          std::this_thread::sleep_for(std::chrono::milliseconds(s.mPauseMs));
        if (k > 0 && s.mRestAfterClose)
          while ((r = ReadSome(fd, got)) == rData)
            ;
        // A client that has gone stops the answer.
        if (send(fd, s.mAnswer[k].data(), s.mAnswer[k].size(), MSG_NOSIGNAL) < 0)
          break;
      }
      if (s.mNoRead) {
        for (int waited = 0; !mReleased && waited < cSafetyMs; waited += 10)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      } else if (s.mHold) {
        while (r == rData)
          r = ReadSome(fd, got);
        mClientClosed[i] = r == rEnd;
      }
      close(fd);
    }
  }

  std::vector<KScript> mScripts;
  std::vector<std::string> mReceived;
  std::vector<bool> mClientClosed;
  int mListen = -1;
  unsigned short mPort = 0;
  std::atomic<int> mAccepted{0};
  std::atomic<bool> mReleased{false};
  std::thread mThread;
};
