// The comfortsend tool end to end: the program itself, run with its command
// line against a scripted relay peer on loopback.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "ScriptedPeer.h"

namespace {

struct KRun {
  int status;
  std::string out;
};

KRun Comfortsend(const std::string& arguments) {
  KRun run{-1, ""};
  FILE* p = popen((std::string(COMFORTSEND) + " " + arguments + " 2>&1").c_str(), "r");
  if (p == nullptr)
    return run;
  char buf[256];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
    run.out.append(buf, n);
  int rc = pclose(p);
  run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return run;
}

KScript Relay(const std::string& answer) {
  KScript s;
  s.mRequestEnd = "\n\n";
  s.mAnswer = {answer};
  s.mHold = true;
  return s;
}

TEST(Comfortsend, CanFrameRequestAndAnswer) {
  KScriptedPeer peer({Relay("0d000d02000b0000012c0054\n")});
  KRun run = Comfortsend("127.0.0.1 " + std::to_string(peer.Port()) + " 180 31.00.fa.00.0c");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out, "request: 0300030100fa000c80080195  type 3 (other)\n"
                     "answer:  0d000d02000b0000012c0054  type 3 (other)\n"
                     "can:     680 [7] d2 00 0b 00 00 01 2c\n");
  peer.Join();
  EXPECT_EQ(peer.Received(0), "0300030100fa000c80080195\n\n");
  EXPECT_TRUE(peer.ClientClosed(0));
}

TEST(Comfortsend, TextRequestWithChecksumAdded) {
  KScriptedPeer peer({Relay("55 55 55 55 55 55 55 55 a5 1b\n")});
  KRun run = Comfortsend("127.0.0.1 " + std::to_string(peer.Port()) +
                        " '0d 00 0d 01 00 0b 00 00 00 00'");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out, "request: 0d000d01000b000000000026  type 0 (init)\n"
                     "answer:  5555555555555555a51b0368  type 3 (other)\n"
                     "ack:     ok, value 7077 (0x1ba5), the answer to an init frame\n");
  peer.Join();
  EXPECT_EQ(peer.Received(0), "0d000d01000b000000000026\n\n");
}

TEST(Comfortsend, AnswersShownAsTheyAre) {
  struct Case {
    const char* answer;
    const char* shown;
  } cases[] = {
      {"aaaaaaaaaaaaaaaaaaaa\n", "ack:     not ok\n"},
      {"0d000d02000b0000012c0099\n", "can:     680 [7] d2 00 0b 00 00 01 2c  (checksum wrong)\n"},
      {"1d000d02000b0000012c0064\n", "can:     680 [7] d2 00 0b 00 00 01 2c  (sender group above 15)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    KScriptedPeer peer({Relay(c.answer)});
    KRun run = Comfortsend("127.0.0.1 " + std::to_string(peer.Port()) + " 680 d1.00.0b.00.00.00.00");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
  }
}

TEST(Comfortsend, FailuresAndUsage) {
  KScriptedPeer peer({Relay("not a frame\n")});
  const std::string port = std::to_string(peer.Port());
  KRun bad = Comfortsend("127.0.0.1 " + port + " 0d000d01000b000000000026");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("no valid answer from 127.0.0.1:" + port + "\n"), std::string::npos)
      << bad.out;
  peer.Join();

  struct Case {
    const char* arguments;
    const char* complaint;
  } cases[] = {
      {"127.0.0.1 80 800 31.00.fa.00.0c", "not an 11-bit CAN identifier in hexadecimal: 800"},
      {"127.0.0.1 80 180 31.00.fa.00.0c.00", "not 5 or 7 data bytes in hexadecimal"},
      {"127.0.0.1 80 180 31.00.fa.0", "not 5 or 7 data bytes in hexadecimal"},
      {"127.0.0.1 80 0d000d01000b0000000000", "not a comfort frame"},
      {"127.0.0.1 0 0d000d01000b000000000026", "not a port (1 to 65535): 0"},
      {"127.0.0.1 65536 0d000d01000b000000000026", "not a port"},
      {"127.0.0.1 80", "usage: comfortsend <host> <port> <comfort frame>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    KRun run = Comfortsend(c.arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find(c.complaint), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("request:"), std::string::npos) << "nothing is sent";
  }
}

TEST(Comfortsend, NothingListening) {
  const unsigned short port = KScriptedPeer::UnusedPort();
  KRun run = Comfortsend("127.0.0.1 " + std::to_string(port) + " 680 d1.00.0b.00.00.00.00");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "request: 0d000d01000b000000000026  type 0 (init)\n"
                     "socket error (connect) 111: ECONNREFUSED (Connection refused)\n"
                     "no valid answer from 127.0.0.1:" +
                         std::to_string(port) + "\n");
}

} // namespace
