// The comfort relay of KTcpCanClient against a scripted peer on loopback:
// the request line, the answers taken and refused, and one connection per
// exchange.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ClientTest.h"
#include "KTcpCanClient.h"
#include "NCanUtils.h"
#include "ScriptedPeer.h"

namespace {

KComfortFrame Example() {
  KComfortFrame f;
  for (int i = 0; i < 10; ++i)
    f.mData[i] = static_cast<unsigned char>(i + 1);
  f.SetCheckSum();
  return f;
}

std::string Text(const KComfortFrame& f) {
  char text[KComfortFrame::cTextSize];
  f.SetToString(text, sizeof(text));
  return text;
}

class RelayTest : public testing::TestWithParam<TSocketBlockModeEnum> {};

TEST_P(RelayTest, Answers) {
  const std::string init = "0d000d01000b000000000026";
  struct Case {
    const char* name;
    std::vector<std::string> answer;
    bool restAfterClose;
    bool result;
    const char* printed;
  } cases[] = {
      {"TwentyFourDigits", {init + "\n"}, false, true, ""},
      {"TwentyDigitsChecksumComputed", {"0d000d01000b00000000\n"}, false, true, ""},
      {"BlanksBetweenPairs35Characters", {"0d 00 0d 01 00 0b 00 00 00 00 00 26\n"}, false, true,
       ""},
      {"DotsBetweenPairs", {"0d.00.0d.01.00.0b.00.00.00.00.00.26\n"}, false, true, ""},
      {"EndedByCrLf", {init + "\r\n"}, false, true, ""},
      {"ThirtySixWithoutLf", {"0d 00 0d 01 00 0b 00 00 00 00 00 26 \n"}, false, false,
       "no LF 0d 00 0d 01 00 0b 00 00 00 00 00 26 \n"},
      {"EmptyLine", {"\n"}, false, false, ""},
      {"NoAnswer", {}, false, false, ""},
      {"BrokenAfterTenBytes", {"0d000d0100"}, false, false, "broken 0d000d0100\n"},
      // The wait for each further byte is 5 ms; the rest comes only after
      // the client gave up.
      {"PauseInTheLine", {"0d000d01000b", "000000000026\n"}, true, false,
       "socket error (recv) 11: EAGAIN (Resource temporarily unavailable)\nbroken 0d000d01000b\n"},
      {"TwentyThreeDigits", {"0d000d01000b00000000002\n"}, false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KScript script;
    script.mRequestEnd = "\n\n";
    script.mAnswer = c.answer;
    script.mRestAfterClose = c.restAfterClose;
    script.mHold = c.result;
    KScriptedPeer peer({script});
    KTcpCanClient client;
    Aim(client, peer.Port(), GetParam());
    KComfortFrame answer;
    std::memset(answer.mData, 0xEE, sizeof(answer.mData));
    testing::internal::CaptureStdout();
    bool result = client.SendComfortFrame(Example(), answer);
    std::string out = Captured(GetParam());
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out, c.printed);
    if (c.result) {
      EXPECT_TRUE(answer.EqualData(KComfortFrame::InitFrame)) << Text(answer);
    }
    EXPECT_FALSE(client.mOpen);
    EXPECT_FALSE(client.mConnected);
    peer.Join();
    EXPECT_EQ(peer.Received(0), "0102030405060708090a0037\n\n");
    if (c.result) {
      EXPECT_TRUE(peer.ClientClosed(0)) << "closed after the exchange";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BlockModes, RelayTest, testing::Values(bmBlocking, bmNonBlocking),
                         ModeName);

TEST(Relay, NothingListening) {
  const unsigned short port = KScriptedPeer::UnusedPort();
  KComfortFrame answer;
  {
    KTcpCanClient client;
    Aim(client, port, bmBlocking);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(client.SendComfortFrame(KComfortFrame::InitFrame, answer));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "socket error (connect) 111: ECONNREFUSED (Connection refused)\n");
  }
  {
    // Non-blocking: the connect only starts, the refusal shows at the send.
    KTcpCanClient client;
    Aim(client, port, bmNonBlocking);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(client.SendComfortFrame(KComfortFrame::InitFrame, answer));
    std::string out = Captured(bmNonBlocking);
    EXPECT_NE(out.find("ECONNREFUSED (Connection refused)\n"), std::string::npos) << out;
    EXPECT_FALSE(client.mOpen);
  }
}

TEST(Relay, SendElsterTrimsAndEndsTheLine) {
  struct Case {
    const char* text;
    std::size_t size;
    bool result;
    const char* sent;
  } cases[] = {
      {"abc  ", 16, true, "abc\n"}, {"   ", 16, true, "\n"}, {"", 16, true, "\n"},
      {"a b", 16, true, "a b\n"},   {"abcd", 5, false, ""}, // no room for the LF
      {"abc ", 5, true, "abc\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    KSocketPair p;
    char text[32];
    std::snprintf(text, sizeof(text), "%s", c.text);
    EXPECT_EQ(p.client.SendElster(text, c.size, 1000), c.result);
    p.client.Disconnect();
    EXPECT_EQ(p.ReadAll(), c.sent);
  }
}

} // namespace
