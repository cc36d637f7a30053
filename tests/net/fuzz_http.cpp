// libFuzzer target for the answers KTcpCanClient reads: the input (after a
// first byte that picks the exchange and the client's settings) is what a
// server sends, written into a socket pair whose other end the client holds
// as an established connection. Every exchange ends; besides the
// sanitizers' findings, a broken invariant aborts.
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Inet -Ican \
//     net/KIpSocket.cpp net/KTcpCanClient.cpp can/NCanUtils.cpp \
//     tests/net/fuzz_http.cpp -o fuzz_http
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "KTcpCanClient.h"
#include "NCanUtils.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The exchanges print their trace and results; keep the fuzzer's own
  // report readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr)
    std::abort();
  std::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 65536)
    return 0;
  const unsigned mode = data[0];
  ++data;
  --size;

  int fds[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  int sndbuf = 256 * 1024;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
  Check(write(fds[1], data, size) == static_cast<ssize_t>(size) || size == 0);
  shutdown(fds[1], SHUT_WR); // the answer ends here

  KTcpCanClient client;
  client.mTrace = (mode & 1) != 0;
  client.SetBlockMode((mode & 2) != 0 ? bmNonBlocking : bmBlocking);
  client.mOpen = true;
  client.mSocket = fds[0];
  client.mConnected = true;

  switch ((mode >> 2) % 4) {
  case 0: {
    char* body = nullptr;
    int length = -1;
    bool ok = client.ReadHttpStream(&body, length, "GET /log.php?a=1 HTTP/1.1");
    if (body != nullptr) {
      Check(length >= 0 && length <= KTcpCanClient::cMaxBody);
      Check(body[length] == 0);
    } else {
      Check(!ok || length == -1 || length == 0);
    }
    delete[] body;
    break;
  }
  case 1: {
    int length = -1;
    client.ReadHttpStream(nullptr, length, nullptr);
    Check(length == -1);
    break;
  }
  case 2:
    client.PutHttpStream("INSERT can_log(counter) VALUES(1);");
    Check(!client.mConnected && !client.mOpen);
    break;
  default: {
    KComfortFrame request = KComfortFrame::InitFrame;
    KComfortFrame answer;
    std::memset(answer.mData, 0, sizeof(answer.mData));
    client.SendComfortFrame(request, answer);
    Check(!client.mConnected && !client.mOpen);
    break;
  }
  }
  Check(client.mContentLength >= 0 && client.mContentLength <= KTcpCanClient::cMaxBody);
  close(fds[1]);
  return 0;
}
