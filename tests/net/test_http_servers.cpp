// KTcpCanClient against real HTTP/1.1 servers: PHP's built-in server and
// nginx with php-fpm, started privately for each case by
// tools/httpserver/httpserver.sh on a free port of 127.0.0.1, in blocking
// mode as the logger uses the client.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "KTcpCanClient.h"
#include "NCanUtils.h"

namespace {

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class RealServerTest : public testing::TestWithParam<const char*> {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/telltrail-http-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    mDir = pattern;
    int rc = std::system((Script() + " start " + GetParam() + " " + mDir + " 127.0.0.1 >" + mDir +
                          "/start.out 2>" + mDir + "/start.err")
                             .c_str());
    int status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    if (status == 3)
      GTEST_SKIP() << ReadFile(mDir + "/start.err");
    ASSERT_EQ(status, 0) << ReadFile(mDir + "/start.err");
    mPort = static_cast<unsigned short>(std::stoi(ReadFile(mDir + "/port")));
    mClient.SetBlockMode(bmBlocking);
    mClient.SetRemoteHost("127.0.0.1");
    mClient.SetRemotePort(mPort);
  }
  void TearDown() override {
    if (mDir.empty())
      return;
    EXPECT_EQ(std::system((Script() + " stop " + mDir).c_str()), 0);
    std::system(("rm -rf " + mDir).c_str());
  }
  static std::string Script() { return TELLTRAIL_HTTPSERVER; }
  std::string Data(const char* name) const { return ReadFile(mDir + "/data/" + name); }

  std::string mDir;
  unsigned short mPort = 0;
  KTcpCanClient mClient;
};

TEST_P(RealServerTest, HalfAMegabytePutArrivesWhole) {
  // A batch as the logger builds it: a header line and insert statements,
  // each ended by CR LF, just under the 500000-byte batch buffer.
  std::string body = "REPLACE INTO can_log;\r\n";
  KCanFrame frame;
  frame.mLen = 8;
  char statement[cLineSize];
  for (uint32_t n = 0; body.size() < 499000; ++n) {
    frame.mCounter = n;
    frame.mId = 0x180 + n % 0x400;
    frame.mMs = static_cast<int32_t>(n);
    for (int i = 0; i < 8; ++i)
      frame.mData[i] = static_cast<unsigned char>(n >> i);
    frame.FormMySqlInsert(statement);
    body += statement;
    body += "\r\n";
  }
  body.erase(body.size() - 2); // the client adds the last CR LF
  testing::internal::CaptureStdout();
  bool put = mClient.PutHttpStream(body.c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(put);
  EXPECT_EQ(out, "result: stored " + std::to_string(body.size() + 2) + " bytes\n");
  EXPECT_TRUE(Data("put_can_log.txt") == body + "\r\n") << "the body arrived changed";
  EXPECT_FALSE(mClient.mOpen);
}

TEST_P(RealServerTest, TemplatedGetAndMissingPage) {
  KCanFrame frame;
  frame.mCounter = 17;
  frame.mId = 0x180;
  frame.mLen = 2;
  frame.mData[0] = 0x31;
  char variables[cLineSize];
  frame.FormHttpVariables(variables);
  std::string request = std::string("GET /log.php?") + variables + " HTTP/1.1";
  char* body = nullptr;
  int length = 0;
  testing::internal::CaptureStdout();
  bool got = mClient.ReadHttpStream(&body, length, request.c_str());
  bool missing = mClient.ReadHttpStream(nullptr, length, "GET /missing.php?a=1 HTTP/1.1");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(got);
  ASSERT_NE(body, nullptr);
  EXPECT_STREQ(body, "ok");
  EXPECT_EQ(length, 2);
  delete[] body;
  EXPECT_FALSE(missing) << "404 is a failed exchange";
  EXPECT_EQ(out, "");
  EXPECT_EQ(Data("log.txt"), std::string(variables) + "\n");
}

TEST_P(RealServerTest, ConnectionKeptOnlyWhereTheServerKeepsIt) {
  // nginx keeps HTTP/1.1 connections open; PHP's server answers
  // "Connection: close".
  const bool keeps = std::string(GetParam()) == "nginx";
  ASSERT_TRUE(mClient.Connect(1000));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    char* body = nullptr;
    int length = 0;
    EXPECT_TRUE(mClient.ReadHttpStream(&body, length, "GET /log.php?n=1 HTTP/1.1"));
    EXPECT_STREQ(body != nullptr ? body : "(none)", "ok");
    delete[] body;
    EXPECT_EQ(mClient.mConnected, keeps);
    if (!mClient.mConnected) {
      ASSERT_TRUE(mClient.Connect(1000));
    }
  }
  mClient.Disconnect();
  EXPECT_EQ(Data("log.txt"), "n=1\nn=1\nn=1\n");
}

// A server asked for a port that another one holds cannot bind it: the
// start fails, although something answers there.
TEST_P(RealServerTest, StartOnATakenPortFails) {
  std::string dir = mDir + "/second";
  int rc = std::system((Script() + " start " + GetParam() + " " + dir + " 127.0.0.1 " + std::to_string(mPort) +
                        " >/dev/null 2>" + mDir + "/second.err")
                           .c_str());
  EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 1) << ReadFile(mDir + "/second.err");
  EXPECT_EQ(std::system((Script() + " stop " + dir).c_str()), 0);
  EXPECT_TRUE(mClient.Connect(1000)) << "the first server is gone";
  mClient.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerTest, testing::Values("php", "nginx"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

} // namespace
