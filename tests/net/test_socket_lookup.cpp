// KIpSocket's look-ups, address records and end-point setters.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "KIpSocket.h"

namespace {

TEST(KIpSocketLookup, HostAddr) {
  const std::string padded = "10.1.2.3" + std::string(40, ' '); // valid, but longer than out
  struct Case {
    const char* host;
    int outSize;
    const char* expected;
  } cases[] = {
      {"10.0.0.7", 31, ""}, // a buffer under 32 bytes is never filled
      {"10.0.0.7", 32, "10.0.0.7"},
      {"192.168.1.200", 256, "192.168.1.200"},
      {"255.255.255.255", 64, "0.0.0.0"}, // indistinguishable from a failed conversion
      {"3com", 64, "0.0.0.0"},            // digit first: never looked up as a name
      {"1.2.3.4.5", 64, "0.0.0.0"},
      {padded.c_str(), 32, "0.0.0.0"},
      {"no-such-host.invalid", 64, "0.0.0.0"},
      {"localhost", 64, "127.0.0.1"},
      {"", 64, "0.0.0.0"},
      {nullptr, 64, "0.0.0.0"},
  };
  for (const Case& c : cases) {
    char out[300];
    std::memset(out, 'x', sizeof(out));
    KIpSocket::LookupHostAddr(c.host, out, c.outSize);
    EXPECT_STREQ(out, c.expected) << (c.host ? c.host : "null") << " size " << c.outSize;
  }
  char untouched[4] = {'a', 'b', 'c', 0};
  KIpSocket::LookupHostAddr("10.0.0.7", untouched, 0);
  EXPECT_STREQ(untouched, "abc");
}

TEST(KIpSocketLookup, SocketAddrIsInNetworkOrder) {
  sockaddr_in a;
  std::memset(&a, 0xAB, sizeof(a));
  KIpSocket::GetSocketAddr(a, "192.0.2.9", 8071);
  EXPECT_EQ(a.sin_family, AF_INET);
  EXPECT_EQ(a.sin_port, htons(8071));
  EXPECT_EQ(a.sin_addr.s_addr, inet_addr("192.0.2.9"));
  KIpSocket::GetSocketAddr(a, "", 0);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST(KIpSocketLookup, HostNames) {
  char out[256];
  KIpSocket::LookupHostName("127.0.0.1", out, sizeof(out));
  EXPECT_STRNE(out, "") << "127.0.0.1 has a name in the hosts file";
  char small[3] = {'x', 'x', 'x'};
  KIpSocket::LookupHostName("127.0.0.1", small, sizeof(small));
  EXPECT_STREQ(small, "") << "a name that does not fit is not copied";
  KIpSocket::LookupHostName("not an address", out, sizeof(out));
  EXPECT_STREQ(out, "");

  char expected[256] = {};
  ASSERT_EQ(gethostname(expected, sizeof(expected) - 1), 0);
  KIpSocket::LocalHostName(out, sizeof(out));
  EXPECT_STREQ(out, expected);
  KIpSocket::LocalHostName(small, sizeof(small));
  EXPECT_LT(std::strlen(small), sizeof(small)) << "a cut name is still terminated";
  KIpSocket::LocalHostAddr(out, sizeof(out));
  EXPECT_NE(inet_addr(out), INADDR_NONE) << out;
}

TEST(KIpSocketLookup, PortsAndProtocols) {
  struct Case {
    const char* service;
    const char* protocol;
    unsigned short port;
  } cases[] = {
      {"http", "tcp", 80}, {"8080", "tcp", 8080}, {"8080", nullptr, 8080},
      {"", "tcp", 0},      {nullptr, "tcp", 0},   {"no-such-service", "tcp", 0},
      {"65535", "tcp", 65535},
      {"70000", "tcp", 0}, // no port: must not wrap round to 4464
      {"-1", "tcp", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(KIpSocket::LookupPort(c.service, c.protocol), c.port)
        << (c.service ? c.service : "null");
  EXPECT_EQ(KIpSocket::LookupProtocol("tcp"), 6);
  EXPECT_EQ(KIpSocket::LookupProtocol("udp"), 17);
  EXPECT_EQ(KIpSocket::LookupProtocol("no-such-protocol"), 0);
  EXPECT_EQ(KIpSocket::LookupProtocol(nullptr), 0);
}

TEST(KIpSocketEndPoint, HostSettersAcceptAtMost254Characters) {
  const std::string h254(254, 'h'), h255(255, 'h');
  struct Case {
    const char* text;
    bool changes;
  } cases[] = {
      {h254.c_str(), true}, {h255.c_str(), false}, {nullptr, false}, {"current", false},
      {"", true},
  };
  for (bool local : {false, true}) {
    for (const Case& c : cases) {
      KIpSocket s;
      char* field = local ? s.mLocalHost : s.mRemoteHost;
      std::snprintf(field, KIpSocket::cHostSize, "current");
      s.Open();
      ASSERT_TRUE(s.mOpen);
      if (local)
        s.SetLocalHost(c.text);
      else
        s.SetRemoteHost(c.text);
      EXPECT_EQ(s.mOpen, !c.changes) << "a changed end point closes the socket";
      EXPECT_STREQ(field, c.changes ? c.text : "current");
    }
  }
}

TEST(KIpSocketEndPoint, PortSettersCloseOnlyOnChange) {
  for (bool local : {false, true}) {
    KIpSocket s;
    s.Open();
    local ? s.SetLocalPort(0) : s.SetRemotePort(0);
    EXPECT_TRUE(s.mOpen);
    local ? s.SetLocalPort(8071) : s.SetRemotePort(8071);
    EXPECT_FALSE(s.mOpen);
    EXPECT_EQ(local ? s.mLocalPort : s.mRemotePort, 8071);
    EXPECT_EQ(s.GetLocalPort(), local ? 8071 : 0);
  }
}

TEST(KIpSocketEndPoint, StoreRemoteKeepsSocketOpen) {
  KIpSocket s;
  s.SetRemoteHost("old.example");
  s.Open();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(4321);
  a.sin_addr.s_addr = inet_addr("198.51.100.23");
  EXPECT_TRUE(s.StoreRemote(a));
  EXPECT_STREQ(s.mRemoteHost, "198.51.100.23");
  EXPECT_EQ(s.mRemotePort, 4321);
  EXPECT_TRUE(s.mOpen);
}

} // namespace
