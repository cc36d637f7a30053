// Failure reporting of KIpSocket: the printed lines and mError.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "KIpSocket.h"

namespace {

// Runs ErrorCheck(-1, op) with errno set to value; returns what it printed.
std::string Report(KIpSocket& s, int value, const char* op) {
  testing::internal::CaptureStdout();
  errno = value;
  long r = s.ErrorCheck(-1, op);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  return out;
}

// The platform's description of an errno value (the tests run in the C
// locale), or "" for a value it does not know.
std::string Description(int value) {
  std::string text = std::strerror(value);
  return text.rfind("Unknown error", 0) == 0 ? std::string() : text;
}

// Names as this platform's <errno.h> spells them: among them the values the
// socket calls meet and those that other systems number differently.
#define NAMED(e) {e, #e}
const struct {
  int mValue;
  const char* mName;
} cNamed[] = {
    NAMED(EPERM),      NAMED(EINTR),      NAMED(EIO),          NAMED(EBADF),
    NAMED(EAGAIN),     NAMED(ENOMEM),     NAMED(EACCES),       NAMED(ENODEV),
    NAMED(EINVAL),     NAMED(EMFILE),     NAMED(ENOSPC),       NAMED(EPIPE),
    NAMED(EDEADLK),    NAMED(ENAMETOOLONG), NAMED(ENOLCK),     NAMED(EBADMSG),
    NAMED(EOVERFLOW),  NAMED(ENOTUNIQ),   NAMED(ELIBACC),      NAMED(ELIBEXEC),
    NAMED(EILSEQ),     NAMED(ERESTART),   NAMED(EUSERS),       NAMED(ENOTSOCK),
    NAMED(EDESTADDRREQ), NAMED(EMSGSIZE), NAMED(ENOPROTOOPT),  NAMED(EAFNOSUPPORT),
    NAMED(EADDRINUSE), NAMED(ENETDOWN),   NAMED(ENETUNREACH),  NAMED(ECONNRESET),
    NAMED(ENOBUFS),    NAMED(ETIMEDOUT),  NAMED(ECONNREFUSED), NAMED(EHOSTUNREACH),
    NAMED(EALREADY),   NAMED(EINPROGRESS), NAMED(EOWNERDEAD),  NAMED(ENOTRECOVERABLE),
};
#undef NAMED

TEST(KIpSocketErrorCheck, NamesAndTextsAreThePlatforms) {
  for (const auto& e : cNamed) {
    KIpSocket s;
    EXPECT_EQ(Report(s, e.mValue, "send"), "socket error (send) " + std::to_string(e.mValue) +
                                               ": " + e.mName + " (" + Description(e.mValue) +
                                               ")\n");
    EXPECT_EQ(s.mError, e.mValue);
  }
}

TEST(KIpSocketErrorCheck, EveryValueTheLibraryKnowsHasNameAndText) {
  int named = 0;
  for (int v = -1; v <= 4200; ++v) {
    if (v == 0)
      continue; // errno 0 never follows a failure
    KIpSocket s;
    std::string out = Report(s, v, "recv");
    std::string head = "socket error (recv) " + std::to_string(v);
    std::string text = Description(v);
    EXPECT_EQ(s.mError, v);
    if (text.empty()) {
      EXPECT_EQ(out, head + "\n");
      continue;
    }
    ++named;
    // head, ": ", a symbolic name E..., " (", the description, ")".
    std::string tail = " (" + text + ")\n";
    ASSERT_GT(out.size(), head.size() + 3 + tail.size()) << out;
    EXPECT_EQ(out.compare(0, head.size() + 3, head + ": E"), 0) << out;
    EXPECT_EQ(out.compare(out.size() - tail.size(), tail.size(), tail), 0) << out;
    std::string name = out.substr(head.size() + 2, out.size() - tail.size() - head.size() - 2);
    for (char c : name)
      EXPECT_TRUE((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) << out;
  }
  EXPECT_GT(named, 120); // Linux names some 130 values
}

TEST(KIpSocketErrorCheck, SpecialCases) {
  struct Case {
    int err;
    const char* op;
    const char* printed;
    int error;
  } cases[] = {
      {11, "accept", "", 0},
      {EAGAIN, "recv", "socket error (recv) 11: EAGAIN (Resource temporarily unavailable)\n",
       EAGAIN},
      {ECONNREFUSED, "connect", "socket error (connect) 111: ECONNREFUSED (Connection refused)\n",
       ECONNREFUSED},
      {EINVAL, nullptr, "socket error (?) 22: EINVAL (Invalid argument)\n", EINVAL},
      {200, "bind", "socket error (bind) 200\n", 200},
  };
  for (const Case& c : cases) {
    KIpSocket s;
    s.mError = 77;
    EXPECT_EQ(Report(s, c.err, c.op), c.printed) << c.err << " " << (c.op ? c.op : "null");
    EXPECT_EQ(s.mError, c.error);
  }
}

TEST(KIpSocketErrorCheck, OnlyMinusOneIsAFailure) {
  for (long result : {0L, 5L, -2L, 65536L}) {
    KIpSocket s;
    s.mError = 13;
    errno = EPERM;
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.ErrorCheck(result, "recv"), result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(s.mError, 0);
  }
}

} // namespace
