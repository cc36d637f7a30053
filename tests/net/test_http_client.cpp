// KTcpCanClient's HTTP exchanges against scripted peers on loopback: the
// requests on the wire, the status, header and body rules, the trace echo,
// answers that break off, sizes that must be refused, and servers that stop
// answering.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sys/eventfd.h>
#include <thread>
#include <cstring>
#include <string>

#include "ClientTest.h"
#include "KTcpCanClient.h"
#include "ScriptedPeer.h"

namespace {

// A client may take a few of its waits (1 s to connect, 2 s per body
// receive); a hang would take minutes.
const long cHangMs = 10000;

const char cGetRequest[] = "GET /log.php?counter=1 HTTP/1.1";
const char cHead200[] = "HTTP/1.1 200 OK\r\n";
const char cChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// ---------------------------------------------------------------------------
// Answers read by ReadHttpStream with a body slot, in both block modes.

struct AnswerCase {
  const char* name;
  std::string answer;
  bool result;
  const char* body; // handed back (null: none)
  bool peerCloses;  // the peer ends the connection after its answer
  const char* printed = "";
};

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

const AnswerCase cAnswers[] = {
    {"ContentLength", std::string(cHead200) + "Content-Length: 5\r\n\r\nhello", true, "hello",
     false},
    {"StatusWithExtraText", "HTTP/1.1 200 OK and more\r\nContent-Length: 2\r\n\r\nok", true,
     "ok", false},
    {"LastStatusCharacterNotCompared", "HTTP/1.1 200 Ox\r\nContent-Length: 2\r\n\r\nok", true,
     "ok", false},
    {"Version10Fails", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, "ok", false},
    {"NotFoundIsReadAndFails", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
     false, "not found", false},
    {"BlankBeforeColon", std::string(cHead200) + "Content-Length \t: 3\r\n\r\nabc", true, "abc",
     false},
    {"EqualsSignGivesNoLength", std::string(cHead200) + "Content-Length= 3\r\n\r\nabc", true,
     nullptr, false},
    {"LowerCaseNameIgnored", std::string(cHead200) + "content-length: 3\r\n\r\nabc", true,
     nullptr, false},
    {"LengthAndChunkedOnOneLineIsLength",
     std::string(cHead200) + "X: Content-Length: 4 Transfer-Encoding: chunked\r\n\r\nabcd", true,
     "abcd", false},
    {"LengthZeroWithChunked",
     std::string(cHead200) +
         "Content-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
     true, "abc", false},
    {"PositiveLengthWinsOverChunked",
     std::string(cHead200) + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n3\r\n", true,
     "3\r\n", false},
    {"ChunksOfThreeAndFour", std::string(cChunkedHead) + "3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n",
     true, "abcdefg", false},
    {"ExtensionEndsBody",
     std::string(cChunkedHead) + "1A;name=value\r\n" + Repeat('x', 26) + "\r\n", true,
     "xxxxxxxxxxxxxxxxxxxxxxxxxx", false},
    {"LoneZeroChunk", std::string(cChunkedHead) + "0\r\n\r\n", true, "", false},
    {"ClosedInStatusLine", "HTTP/1.1 2", false, nullptr, true},
    {"ClosedInHeaders", std::string(cHead200) + "Content-Le", false, nullptr, true},
    {"ClosedInBody", std::string(cHead200) + "Content-Length: 10\r\n\r\nabc", false, nullptr,
     true},
    {"ClosedInChunk", std::string(cChunkedHead) + "5\r\nab", false, nullptr, true},
    {"ClosedBeforeLastChunk", std::string(cChunkedHead) + "3\r\nabc\r\n", false, nullptr, true},
    // Sizes this client refuses: the exchange fails and the connection is closed.
    {"NegativeLength", std::string(cHead200) + "Content-Length: -5\r\n\r\nabc", false, nullptr,
     false, "invalid size in HTTP answer: Content-Length: -5\n"},
    {"WrappingLength", std::string(cHead200) + "Content-Length: 4294967301\r\n\r\nabcde", false,
     nullptr, false, "invalid size in HTTP answer: Content-Length: 4294967301\n"},
    {"HugeLength", std::string(cHead200) + "Content-Length: 99999999999999999999999\r\n\r\nab",
     false, nullptr, false, "invalid size in HTTP answer: "},
    {"LengthPastLimit", std::string(cHead200) + "Content-Length: 1048577\r\n\r\nabc", false,
     nullptr, false, "invalid size in HTTP answer: Content-Length: 1048577\n"},
    {"NineDigitChunkSize", std::string(cChunkedHead) + "100000005\r\nabcde\r\n0\r\n\r\n", false,
     nullptr, false, "invalid size in HTTP answer: 100000005\n"},
    {"ChunkSizeAllOnes", std::string(cChunkedHead) + "ffffffff\r\nabc\r\n", false, nullptr, false,
     "invalid size in HTTP answer: ffffffff\n"},
    {"ChunkPastLimit", std::string(cChunkedHead) + "100001\r\nabc\r\n", false, nullptr, false,
     "invalid size in HTTP answer: 100001\n"},
};

class AnswerTest : public testing::TestWithParam<TSocketBlockModeEnum> {};

TEST_P(AnswerTest, BodySlot) {
  for (const AnswerCase& c : cAnswers) {
    SCOPED_TRACE(c.name);
    KScript script;
    script.mAnswer = {c.answer};
    script.mHold = !c.peerCloses;
    KScriptedPeer peer({script});
    KTcpCanClient client;
    Aim(client, peer.Port(), GetParam());
    char* body = reinterpret_cast<char*>(&client); // must be replaced
    int length = -1;
    testing::internal::CaptureStdout();
    auto start = Clock::now();
    bool result = client.ReadHttpStream(&body, length, cGetRequest);
    std::string out = Captured(GetParam());
    EXPECT_LT(ElapsedMs(start), cHangMs);
    EXPECT_EQ(result, c.result);
    if (c.body == nullptr) {
      EXPECT_EQ(body, nullptr);
    } else {
      ASSERT_NE(body, nullptr);
      EXPECT_EQ(length, static_cast<int>(std::strlen(c.body)));
      EXPECT_EQ(std::string(body, static_cast<std::size_t>(length)), c.body);
      EXPECT_EQ(body[length], 0);
    }
    delete[] body;
    EXPECT_FALSE(client.mConnected);
    EXPECT_FALSE(client.mOpen);
    if (c.peerCloses)
      EXPECT_EQ(out.find("invalid size"), std::string::npos) << out;
    else
      EXPECT_EQ(out.rfind(c.printed, 0), 0u) << out;
    peer.Join();
    EXPECT_EQ(peer.Received(0), std::string(cGetRequest) + "\r\nHost: 127.0.0.1\r\n\r\n");
    if (!c.peerCloses) {
      EXPECT_TRUE(peer.ClientClosed(0)) << "the client closes its own connection";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BlockModes, AnswerTest, testing::Values(bmBlocking, bmNonBlocking),
                         ModeName);

// The same answers given to the reader one byte at a time, as a slow server
// would send them, and followed by the next answer's bytes, which it must
// leave for that answer.
TEST(HttpAnswerReader, FedOneByteAtATime) {
  const std::string next = "HTTP/1.1 200 OK\r\n";
  for (const AnswerCase& c : cAnswers) {
    SCOPED_TRACE(c.name);
    const std::string input = c.answer + (c.peerCloses ? "" : next);
    KHttpAnswer reader;
    reader.Begin(-1);
    std::string body;
    std::size_t at = 0;
    KHttpAnswer::KEvent event;
    for (;;) {
      std::size_t given = at < input.size() ? 1 : 0;
      at += reader.Feed(input.data() + at, given, event);
      if (event.mKind == KHttpAnswer::evData && !event.mChunkEnd)
        body.append(event.mData, static_cast<std::size_t>(event.mLength));
      if (event.mKind == KHttpAnswer::evDone || event.mKind == KHttpAnswer::evRefused ||
          (event.mKind == KHttpAnswer::evMore && given == 0))
        break;
    }
    if (c.peerCloses) {
      EXPECT_EQ(event.mKind, KHttpAnswer::evMore) << "broken off: waits for more";
    } else if (std::string(c.printed).empty()) {
      ASSERT_EQ(event.mKind, KHttpAnswer::evDone);
      EXPECT_EQ(body, c.body != nullptr ? c.body : "");
      if (c.body != nullptr) {
        EXPECT_EQ(input.substr(at), next) << "the next answer is left unread";
      }
    } else {
      ASSERT_EQ(event.mKind, KHttpAnswer::evRefused);
      std::string expected(c.printed);
      expected.erase(expected.find_last_not_of('\n') + 1);
      EXPECT_EQ((std::string("invalid size in HTTP answer: ") + reader.Line()).rfind(expected, 0), 0u);
    }
  }
}

// ---------------------------------------------------------------------------
// Bodies without a slot, and the limit itself

TEST(HttpClientGet, BodyWithoutSlotIsReadUpTo1023BytesAndTheConnectionClosed) {
  for (bool connectFirst : {false, true}) {
    SCOPED_TRACE(connectFirst ? "connection made before" : "connection of its own");
    KScript script;
    script.mAnswer = {std::string(cHead200) + "Content-Length: 5000\r\n\r\n" + Repeat('b', 5000)};
    script.mHold = true;
    KScriptedPeer peer({script});
    KTcpCanClient client;
    Aim(client, peer.Port(), bmBlocking);
    if (connectFirst) {
      ASSERT_TRUE(client.Connect(1000));
    }
    int length = -1;
    EXPECT_TRUE(client.ReadHttpStream(nullptr, length, cGetRequest));
    EXPECT_EQ(length, -1) << "length is only written with a body slot";
    // A kept connection would hand the unread body to the next request.
    EXPECT_FALSE(client.mConnected);
    peer.Join();
    EXPECT_TRUE(peer.ClientClosed(0));
  }
}

TEST(HttpClientGet, BodiesUpToTheLimitAreTaken) {
  // Exactly 1 MiB with Content-Length, and as chunks of 0x80000 bytes that
  // together pass the limit by one byte.
  const std::string mib(KTcpCanClient::cMaxBody, 'm');
  const std::string half(0x80000, 'h');
  const std::string halves = half + half;
  struct Case {
    const char* name;
    std::string answer;
    bool result;
    const std::string* body;
  } cases[] = {
      {"LengthAtLimit", std::string(cHead200) + "Content-Length: 1048576\r\n\r\n" + mib, true,
       &mib},
      {"ChunksAtLimit",
       std::string(cChunkedHead) + "80000\r\n" + half + "\r\n80000\r\n" + half + "\r\n0\r\n\r\n",
       true, &halves},
      {"ChunksPastLimit",
       std::string(cChunkedHead) + "80000\r\n" + half + "\r\n80000\r\n" + half + "\r\n1\r\nx\r\n",
       false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool slot : {true, false}) {
      KScript script;
      script.mAnswer = {c.answer};
      script.mHold = true;
      KScriptedPeer peer({script});
      KTcpCanClient client;
      Aim(client, peer.Port(), bmBlocking);
      char* body = nullptr;
      int length = 0;
      testing::internal::CaptureStdout();
      EXPECT_EQ(client.ReadHttpStream(slot ? &body : nullptr, length, cGetRequest), c.result);
      testing::internal::GetCapturedStdout();
      if (slot) {
        ASSERT_EQ(body != nullptr, c.body != nullptr);
        if (body != nullptr) {
          EXPECT_EQ(static_cast<std::size_t>(length), c.body->size());
          EXPECT_TRUE(std::string(body) == *c.body);
        }
      }
      delete[] body;
    }
  }
}

TEST(HttpClientGet, LongHostsFitTheHostLine) {
  for (std::size_t n : {121u, 254u}) {
    std::string host = "1" + Repeat('h', n - 1);
    KSocketPair p;
    p.client.mOpen = false; // the host changes without closing the pair
    p.client.SetRemoteHost(host.c_str());
    p.client.mOpen = true;
    ASSERT_EQ(std::string(p.client.mRemoteHost), host);
    p.Write(std::string(cHead200) + "Content-Length: 2\r\n\r\nok");
    int length = 0;
    EXPECT_TRUE(p.client.ReadHttpStream(nullptr, length, cGetRequest));
    EXPECT_EQ(p.ReadAll(), std::string(cGetRequest) + "\r\nHost: " + host + "\r\n\r\n");
  }
  // Such a host is no address and no name: nothing is connected, never
  // this machine's 0.0.0.0.
  KTcpCanClient client;
  Aim(client, 80, bmBlocking, "192.168.1.300");
  int length = 0;
  EXPECT_FALSE(client.ReadHttpStream(nullptr, length, cGetRequest));
  EXPECT_EQ(client.Failure(), KTcpCanClient::fkName);
  EXPECT_FALSE(client.mOpen);
}

// ---------------------------------------------------------------------------
// PUT

TEST(HttpClientPut, RequestOnTheWireAndChunkedResultPrinted) {
  struct Case {
    const char* name;
    const char* body;
    std::string sent;
  } cases[] = {
      {"Statements", "INSERT a;\r\nINSERT b;",
       "PUT /put_can_log.php HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 22\r\n\r\n"
       "INSERT a;\r\nINSERT b;\r\n"},
      {"EmptyBody", "",
       "PUT /put_can_log.php HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KScript script;
    script.mAnswer = {std::string(cChunkedHead) + "3\r\nok!\r\n0\r\n\r\n"};
    script.mHold = true;
    KScriptedPeer peer({script});
    KTcpCanClient client;
    Aim(client, peer.Port(), bmBlocking);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(client.PutHttpStream(c.body));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "result: ok!\n");
    peer.Join();
    EXPECT_EQ(peer.Received(0), c.sent);
    EXPECT_TRUE(peer.ClientClosed(0));
  }
}

TEST(HttpClientPut, AnswersOfEveryKind) {
  struct Case {
    const char* name;
    std::string answer;
    bool result;
    std::string printed;
    const char* failure;
  } cases[] = {
      {"LengthBodyIsNotRead", std::string(cHead200) + "Content-Length: 20\r\n\r\n" + Repeat('x', 20),
       true, "", ""},
      {"LongAnswerCut",
       std::string(cChunkedHead) + "5dc\r\n" + Repeat('r', 1500) + "\r\n0\r\n\r\n", true,
       "result: " + Repeat('r', 200) + " ... (1300 more bytes)\n", ""},
      {"ExtensionEndsAfterChunk", std::string(cChunkedHead) + "2;x=y\r\nok\r\n", true,
       "result: ok\n", ""},
      // Escape sequences, bells, bare CRs and forged lines stay on one line,
      // escaped.
      {"ControlCharactersEscaped",
       std::string(cChunkedHead) + "22\r\na\x1b[2J\x07" "b\rc\n17:00:00.000 terminated\\\r\n0\r\n\r\n",
       true, "result: a\\x1B[2J\\x07b\\x0Dc\\x0A17:00:00.000 terminated\\\\\n", ""},
      {"ServerError", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", false,
       "", "HTTP 500 Internal Server Error"},
      {"Forbidden", "HTTP/1.1 403 Forbidden\x1b]0;x\r\nContent-Length: 0\r\n\r\n", false, "",
       "HTTP 403 Forbidden\\x1B]0;x"},
      {"ClosedInChunk", std::string(cChunkedHead) + "9\r\nabc", false, "",
       "HTTP answer broken off or refused"},
      {"RefusedChunkSize", std::string(cChunkedHead) + "1234567890\r\nabc", false,
       "invalid size in HTTP answer: 1234567890\n", "HTTP answer broken off or refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KScript script;
    script.mAnswer = {c.answer};
    KScriptedPeer peer({script});
    KTcpCanClient client;
    Aim(client, peer.Port(), bmNonBlocking);
    testing::internal::CaptureStdout();
    EXPECT_EQ(client.PutHttpStream("x"), c.result);
    std::string out = Captured(bmNonBlocking);
    EXPECT_EQ(out, c.printed);
    char failure[128];
    client.FailureText(failure, sizeof(failure));
    EXPECT_STREQ(failure, c.failure);
    EXPECT_EQ(client.Refused(), std::string(c.name) == "Forbidden");
    EXPECT_FALSE(client.mOpen);
  }
}

TEST(HttpClientPut, ChunkedAnswerAfterALengthAnswer) {
  KScript first;
  first.mAnswer = {std::string(cHead200) + "Content-Length: 20\r\n\r\n" + Repeat('x', 20)};
  KScript second;
  second.mAnswer = {std::string(cChunkedHead) + "6\r\nstored\r\n0\r\n\r\n"};
  KScriptedPeer peer({first, second});
  KTcpCanClient client;
  Aim(client, peer.Port(), bmBlocking);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(client.PutHttpStream("one"));
  EXPECT_TRUE(client.PutHttpStream("two"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "result: stored\n");
  peer.Join();
  EXPECT_EQ(peer.Accepted(), 2) << "one connection per exchange";
}

TEST(HttpClientPut, TraceEchoesTheTraffic) {
  KScript script;
  script.mAnswer = {std::string(cChunkedHead) + "3\r\nok!\r\n0\r\n\r\n"};
  KScriptedPeer peer({script});
  KTcpCanClient client;
  client.mTrace = true;
  Aim(client, peer.Port(), bmBlocking);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(client.PutHttpStream("INSERT a;\r\nINSERT\tb;"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Tcp send: PUT /put_can_log.php HTTP/1.1\n"
            "Tcp send: Host: 127.0.0.1\n"
            "Tcp send: Content-Length: 22\n"
            "Tcp send: \n"
            "Tcp send: INSERT a;\n"
            "Tcp send: INSERT\tb;\n"
            "Tcp recv: HTTP/1.1 200 OK\n"
            "Tcp recv: Transfer-Encoding: chunked\n"
            "Tcp recv: \n"
            "Tcp recv: 3\n"
            "Tcp recv: ok!.\n\n"
            "Tcp recv: 0\n"
            "Tcp recv: .\n\n");
}

// ---------------------------------------------------------------------------
// Line transfer on a socket pair

TEST(HttpClientLines, ReadLineKeepsWhatFitsAndDropsCr) {
  KSocketPair p;
  p.Write("abc\r\nnext\n" "a\rb\r\n" "0123456789\n" "tail");
  p.client.mTrace = true;
  char buf[8] = "xxxxxxx";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(p.client.ReadLine(buf, 1)) << "a one-byte buffer still consumes the line";
  EXPECT_STREQ(buf, "");
  EXPECT_TRUE(p.client.ReadLine(buf, sizeof(buf)));
  EXPECT_STREQ(buf, "next");
  EXPECT_TRUE(p.client.ReadLine(buf, sizeof(buf)));
  EXPECT_STREQ(buf, "ab");
  EXPECT_TRUE(p.client.ReadLine(buf, sizeof(buf)));
  EXPECT_STREQ(buf, "0123456") << "cut to the buffer, the rest read up to the LF";
  shutdown(p.peer, SHUT_WR);
  EXPECT_FALSE(p.client.ReadLine(buf, sizeof(buf)));
  EXPECT_STREQ(buf, "tail");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Tcp recv: \nTcp recv: next\nTcp recv: ab\nTcp recv: 0123456\n");
}

TEST(HttpClientLines, WriteLineAndSendBuffer) {
  KSocketPair p;
  p.client.mTrace = true;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(p.client.WriteLine(nullptr));
  EXPECT_TRUE(p.client.WriteLine("a\r\nb"));
  EXPECT_TRUE(p.client.WriteLine("c\r\n"));
  EXPECT_TRUE(p.client.SendBuffer(nullptr, 5, 100));
  EXPECT_TRUE(p.client.SendBuffer("zz", 0, 100));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Tcp send: a\nTcp send: b\nTcp send: c\nTcp send: \n");
  EXPECT_EQ(p.ReadAll(), "\r\na\r\nb\r\nc\r\n\r\n");
}

// ---------------------------------------------------------------------------
// Servers that do not answer: bounded waits in blocking mode, which the
// logger uses, and in non-blocking mode.

class DeadServerTest : public testing::TestWithParam<TSocketBlockModeEnum> {};

TEST_P(DeadServerTest, ConnectWherePacketsVanish) {
  // A listener whose accept queue is full drops further connection requests
  // unanswered, like a host that is gone.
  int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(listen(l, 0), 0);
  socklen_t len = sizeof(a);
  getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  int filler = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);

  KTcpCanClient client;
  Aim(client, ntohs(a.sin_port), GetParam());
  testing::internal::CaptureStdout();
  auto start = Clock::now();
  EXPECT_FALSE(client.PutHttpStream("INSERT a;"));
  long waited = ElapsedMs(start);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_LT(waited, cHangMs);
  EXPECT_GE(waited, 900) << "the connect wait is one second";
  EXPECT_FALSE(client.mOpen);
  if (GetParam() == bmBlocking)
    EXPECT_EQ(out, "socket error (connect) 110: ETIMEDOUT (Connection timed out)\n");
  else
    EXPECT_EQ(out, "socket error (connect) 115: EINPROGRESS (Operation now in progress)\n");
  close(filler);
  close(l);
}

TEST_P(DeadServerTest, ServerStopsAnswering) {
  // Each case stalls a GET and then a PUT; a PUT does not read a body with
  // a length, so there the stalled body goes unnoticed. A server that keeps
  // sending, slowly or without end, is cut off at the answer's deadline.
  std::vector<std::string> forever(600, "X-Filler: y\r\n");
  forever.insert(forever.begin(), "HTTP/1.1 200 OK\r\n");
  struct Case {
    const char* name;
    std::vector<std::string> answer;
    int pauseMs;
    bool putResult;
  } cases[] = {
      {"NoAnswer", {}, 0, false},
      {"StopsInStatusLine", {"HTTP/1.1 200"}, 0, false},
      {"StopsInHeaders", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n"}, 0, false},
      {"StopsInBody", {std::string(cHead200) + "Content-Length: 100\r\n\r\n" + Repeat('x', 10)},
       0, true},
      {"StopsInChunk", {std::string(cChunkedHead) + "64\r\nxx"}, 0, false},
      {"HeaderLineEvery10ms", forever, 10, false},
      {"ByteEvery90ms", std::vector<std::string>(100, "H"), 90, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KScript script;
    script.mAnswer = c.answer;
    script.mPauseMs = c.pauseMs;
    script.mHold = true;
    KScriptedPeer peer({script, script});
    KTcpCanClient client;
    client.mAnswerWaitMs = 1000;
    Aim(client, peer.Port(), GetParam());
    testing::internal::CaptureStdout();
    auto start = Clock::now();
    int length = 0;
    bool got = client.ReadHttpStream(nullptr, length, cGetRequest);
    bool put = client.PutHttpStream("INSERT a;");
    long waited = ElapsedMs(start);
    std::string out = Captured(GetParam());
    EXPECT_FALSE(got);
    EXPECT_EQ(put, c.putResult);
    EXPECT_LT(waited, 3500) << "two answers of at most a second each";
    if (!put) {
      char failure[128];
      client.FailureText(failure, sizeof(failure));
      EXPECT_STREQ(failure, "HTTP server did not answer within 1 s");
    }
    EXPECT_NE(out.find("socket error (recv) 11: EAGAIN (Resource temporarily unavailable)\n"),
              std::string::npos)
        << out;
    peer.Release();
    peer.Join();
    EXPECT_TRUE(peer.ClientClosed(0));
    EXPECT_TRUE(peer.ClientClosed(1));
  }
}

// A stop ends an exchange at once, wherever it waits.
TEST(HttpClientStop, StopEventEndsTheExchange) {
  KScript script;
  script.mHold = true;
  KScriptedPeer peer({script});
  KTcpCanClient client;
  Aim(client, peer.Port(), bmBlocking);
  int stop = eventfd(0, EFD_CLOEXEC);
  client.SetStopEvent(stop);
  std::thread stopper([stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    uint64_t one = 1;
    EXPECT_EQ(write(stop, &one, sizeof(one)), 8);
  });
  testing::internal::CaptureStdout();
  auto start = Clock::now();
  EXPECT_FALSE(client.PutHttpStream("INSERT a;"));
  long waited = ElapsedMs(start);
  stopper.join();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a stop is no failure to report";
  EXPECT_LT(waited, 1000);
  EXPECT_EQ(client.Failure(), KTcpCanClient::fkStopped);
  EXPECT_FALSE(client.mOpen);
  // Once stopped, the next exchange does not even connect.
  EXPECT_FALSE(client.PutHttpStream("INSERT b;"));
  EXPECT_EQ(client.Failure(), KTcpCanClient::fkStopped);
  peer.Release();
  peer.Join();
  close(stop);
}

TEST_P(DeadServerTest, ServerStopsReading) {
  // 16 MiB cannot vanish into the socket buffers of a peer that reads
  // nothing (4 KiB receive buffer).
  KScript script;
  script.mNoRead = true;
  KScriptedPeer peer({script}, true);
  KTcpCanClient client;
  Aim(client, peer.Port(), GetParam());
  std::string body(16 << 20, 'x');
  testing::internal::CaptureStdout();
  auto start = Clock::now();
  EXPECT_FALSE(client.PutHttpStream(body.c_str()));
  long waited = ElapsedMs(start);
  std::string out = Captured(GetParam());
  EXPECT_LT(waited, cHangMs);
  EXPECT_EQ(out, "socket error (send) 11: EAGAIN (Resource temporarily unavailable)\n");
  EXPECT_FALSE(client.mOpen);
  peer.Release();
}

INSTANTIATE_TEST_SUITE_P(BlockModes, DeadServerTest, testing::Values(bmBlocking, bmNonBlocking),
                         ModeName);

TEST(HttpClientConnect, RefusedAndReconnected) {
  const unsigned short port = KScriptedPeer::UnusedPort();
  KTcpCanClient client;
  Aim(client, port, bmBlocking);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(client.Connect(1000));
  int length = 0;
  EXPECT_FALSE(client.ReadHttpStream(nullptr, length, cGetRequest));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "socket error (connect) 111: ECONNREFUSED (Connection refused)\n"
            "socket error (connect) 111: ECONNREFUSED (Connection refused)\n");
  EXPECT_FALSE(client.mOpen);
  EXPECT_FALSE(client.mConnected);

  // Changing the end point takes effect at the next exchange.
  KScript script;
  script.mAnswer = {std::string(cHead200) + "Content-Length: 2\r\n\r\nok"};
  KScriptedPeer peer({script});
  client.SetRemotePort(peer.Port());
  EXPECT_TRUE(client.ReadHttpStream(nullptr, length, cGetRequest));
  EXPECT_TRUE(client.Connect(1000));
  EXPECT_TRUE(client.Connect(1000)) << "already connected";
  client.Disconnect();
  EXPECT_FALSE(client.mOpen);
  EXPECT_FALSE(client.mConnected);
}

} // namespace
