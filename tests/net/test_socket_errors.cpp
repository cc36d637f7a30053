// Failure reporting of KIpSocket: the printed lines and mError.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>

#include "KIpSocket.h"

namespace {

// The text printed for each errno value that has one.
const std::map<int, std::string> cTexts = {
    {1, "EPERM (Not super-user)"}, {2, "ENOENT (No such file or directory)"},
    {3, "ESRCH (No such process)"}, {4, " (Interrupted system call)"}, {5, " (I/O error)"},
    {6, " (No such device or address)"}, {7, " (Arg list too long)"},
    {8, " (Exec format error)"}, {9, " (Bad file number)"}, {10, " (No children)"},
    {11, " (No more processes)"}, {12, " (Not enough core)"}, {13, " (Permission denied)"},
    {14, " (Bad address)"}, {15, " (Block device required)"}, {16, " (Mount device busy)"},
    {17, " (File exists)"}, {18, " (Cross-device link)"}, {19, " (No such device)"},
    {20, " (Not a directory)"}, {21, " (Is a directory)"}, {22, " (Invalid argument)"},
    {23, " (Too many open files in system)"}, {24, " (Too many open files)"},
    {25, " (Not a typewriter)"}, {26, " (Text file busy)"}, {27, " (File too large)"},
    {28, " (No space left on device)"}, {29, " (Illegal seek)"},
    {30, " (Read only file system)"}, {31, " (Too many links)"}, {32, " (Broken pipe)"},
    {33, " (Math arg out of domain of func)"}, {34, " (Math result not representable)"},
    {36, "ENAMETOOLONG (File or path name too long)"},
    {38, "ENOSYS (Function not implemented)"}, {39, "ENOTEMPTY (Directory not empty)"},
    {40, "ELOOP (Too many symbolic links)"}, {42, " (No message of desired type)"},
    {43, " (Identifier removed)"}, {44, " (Channel number out of range)"},
    {70, "ECOMM (Communication error on send)"}, {71, "EPROTO (Protocol error)"},
    {72, "EMULTIHOP (Multihop attempted)"},
    {73, "EDOTDOT (Cross mount point (not really error))"},
    {74, "EBADMSG (Trying to read unreadable message)"},
    {75, "ELBIN (Inode is remote (not really error))"},
    {76, "ENOTUNIQ (Given log. name not unique)"},
    {77, "EBADFD (f.d. invalid for this operation)"}, {78, "EREMCHG (Remote address changed)"},
    {79, "EFTYPE (Inappropriate file type or format)"},
    {80, "ELIBBAD (Accessing a corrupted shared lib)"},
    {81, "ELIBSCN (.lib section in a.out corrupted)"},
    {82, "ELIBMAX (Attempting to link in too many libs)"},
    {83, "ELIBACC (Can't access a needed shared lib)"}, {84, "EILSEQ"},
    {87, "ELIBEXEC Attempting to exec a shared library)"},
    {88, "ENOTSOCK (Socket operation on non-socket)"}, {89, "ENMFILE (No more files)"},
    {90, "EMSGSIZE (Message too long)"}, {91, "EPROTOTYPE (Protocol wrong type for socket)"},
    {92, "ENOPROTOOPT (Protocol not available)"}, {93, "EPROTONOSUPPORT (Unknown protocol)"},
    {94, "ESOCKTNOSUPPORT (Socket type not supported)"},
    {95, "EOPNOTSUPP (Operation not supported on transport endpoint)"},
    {96, "EPFNOSUPPORT (Protocol family not supported)"},
    {97, "EAFNOSUPPORT (Address family not supported by protocol family)"},
    {98, "EADDRINUSE (Address already in use)"}, {99, "EADDRNOTAVAIL (Address not available)"},
    {100, "ENETDOWN (Network interface is not configured)"},
    {101, "ENETUNREACH (Network is unreachable)"}, {102, "ENETRESET"},
    {103, "ECONNABORTED (Connection aborted)"}, {104, "ECONNRESET (Connection reset by peer)"},
    {105, "ENOBUFS (No buffer space available)"},
    {106, "EISCONN (Socket is already connected)"},
    {107, "ENOTCONN (Socket is not connected)"},
    {108, "ESHUTDOWN (Can't send after socket shutdown)"}, {109, "ETOOMANYREFS"},
    {110, "ETIMEDOUT (Connection timed out)"}, {111, "ECONNREFUSED (Connection refused)"},
    {112, "EHOSTDOWN (Host is down)"}, {113, "EHOSTUNREACH (Host is unreachable)"},
    {114, "EALREADY (Socket already connected)"},
    {115, "EINPROGRESS (Connection already in progress)"}, {116, "ESTALE"}, {122, "EDQUOT"},
    {123, "ENOMEDIUM (No medium (in tape drive))"}, {130, "EPROCLIM"},
    {136, "ENOSHARE (No such host or network path)"}};

// Runs ErrorCheck(-1, op) with errno set to value; returns what it printed.
std::string Report(KIpSocket& s, int value, const char* op) {
  testing::internal::CaptureStdout();
  errno = value;
  long r = s.ErrorCheck(-1, op);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  return out;
}

TEST(KIpSocketErrorCheck, EveryErrnoValuePrintsItsLine) {
  ASSERT_EQ(cTexts.size(), 90u);
  for (int v = -1; v <= 140; ++v) {
    if (v == 0)
      continue; // errno 0 never follows a failure
    KIpSocket s;
    std::string expected = "socket error (send) " + std::to_string(v);
    auto it = cTexts.find(v);
    if (it != cTexts.end())
      expected += ": " + it->second;
    expected += "\n";
    EXPECT_EQ(Report(s, v, "send"), expected) << "errno " << v;
    EXPECT_EQ(s.mError, v);
  }
}

TEST(KIpSocketErrorCheck, SpecialCases) {
  struct Case {
    int err;
    const char* op;
    const char* printed;
    int error;
  } cases[] = {
      {11, "accept", "", 0},
      {11, "recv", "socket error (recv) 11:  (No more processes)\n", 11},
      {11, "send", "socket error (send) 11:  (No more processes)\n", 11},
      {111, "connect", "socket error (connect) 111: ECONNREFUSED (Connection refused)\n", 111},
      {115, "connect", "socket error (connect) 115: EINPROGRESS (Connection already in progress)\n",
       115},
      {22, nullptr, "socket error (?) 22:  (Invalid argument)\n", 22},
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
