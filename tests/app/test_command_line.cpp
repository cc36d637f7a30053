#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KPutOutput.h"
#include "KMySql.h"
#include "KTcpCanClient.h"
#include "KXmlNodeList.h"
#include "PtyPeer.h"
#include "RunSettings.h"
#include "SamplingLoop.h"
#include "XmlParser.h"

namespace {

const std::string cBanner =
    "can-bus data logger\ntelltrail 0.1.0 - one CAN bus to console, log file, database or web\n\n";
const std::string cUsage =
    "usage:\n"
    "telltrail <can dev> <sample time in sec> [ (<filename> | <mysql host>) [ csv | candump | mysql ] ] [trace]\n"
    "  or\n"
    "telltrail <file.xml> [trace]\n"
    "\n"
    "example: telltrail can0 10 192.168.1.137 mysql\n"
    "or       telltrail can1 3600 canlog csv\n"
    "or       telltrail can0 1 canlog candump trace\n"
    "\n";

struct KRun {
  std::string out;
  int status = -1000; // exit status, or -signal
  double seconds = 0; // from the stop signal to the exit
  double total = 0;   // from the start to the exit
};

// A device name no host has: the capture cannot start, with or without
// SocketCAN in the kernel.
const char cNoSuchInterface[] = "cantelltrail9";

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Runs the logger (the program of this build) in a child process with the
// given arguments, its standard output captured. When `stopAfter` appears in
// the output (and `stopDelay` seconds more have passed), the child gets
// `stopSignal`; `limit` seconds after the start it is killed. The test
// process runs threads, so the child only rearranges descriptors and execs.
KRun RunTellTrail(std::vector<std::string> args, const std::string& stopAfter = "", double limit = 20,
                  double stopDelay = 0, int stopSignal = SIGTERM, int closeInChild = -1) {
  int pipeFds[2];
  EXPECT_EQ(pipe(pipeFds), 0);
  static char program[] = TELLTRAIL_PROGRAM;
  std::vector<char*> argv;
  argv.push_back(program);
  for (std::string& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (closeInChild >= 0)
      close(closeInChild);
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execv(program, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  KRun run;
  double start = Now(), stoppedAt = 0, seenAt = 0;
  for (;;) {
    pollfd p{pipeFds[0], POLLIN, 0};
    int ready = poll(&p, 1, 50);
    if (ready > 0) {
      char buffer[4096];
      ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
      if (n <= 0)
        break;
      run.out.append(buffer, static_cast<size_t>(n));
    }
    if (!stopAfter.empty() && seenAt == 0 && run.out.find(stopAfter) != std::string::npos)
      seenAt = Now();
    if (seenAt > 0 && stoppedAt == 0 && Now() - seenAt >= stopDelay) {
      stoppedAt = Now();
      kill(pid, stopSignal);
    }
    if (Now() - start > limit) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "telltrail did not end within " << limit << " s";
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  if (stoppedAt > 0)
    run.seconds = Now() - stoppedAt;
  run.total = Now() - start;
  return run;
}

// Lines reporting that this machine has no CAN support depend on the host.
std::string WithoutSocketErrors(const std::string& out) {
  std::string result;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    end = end == std::string::npos ? out.size() : end + 1;
    std::string line = out.substr(pos, end - pos);
    if (line.rfind("socket error", 0) != 0)
      result += line;
    pos = end;
  }
  return result;
}

// Compares the head of the output with the expected text.
std::string Head(const std::string& out, const std::string& expected) {
  return out.substr(0, expected.size());
}

bool EndsWithTermination(const std::string& out) {
  size_t last = out.rfind('\n', out.size() - 2);
  std::string line = out.substr(last == std::string::npos ? 0 : last + 1);
  return line.size() > 12 && line.compare(line.size() - 12, 12, " terminated\n") == 0;
}

TEST(CommandLine, NoArgumentsRunOnTheDefaults) {
  KRun run = RunTellTrail({}, "sample time: 10 sec\n\n");
  std::string head = cBanner + cUsage + "device: can0\nsample time: 10 sec\n\n";
  EXPECT_EQ(Head(WithoutSocketErrors(run.out), head), head);
  EXPECT_TRUE(EndsWithTermination(run.out)) << run.out;
  // 0 when the stop came first, 1 when this machine has no can0 to capture.
  EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status;
}

TEST(CommandLine, HexadecimalSampleTime) {
  // No usage text with two arguments; the database host line shows the
  // default host.
  KRun full = RunTellTrail({cNoSuchInterface, "0x3C"});
  std::string head = cBanner + "device: " + cNoSuchInterface +
                     "\nmysql host: localhost\nsample time: 60 sec\n\n";
  EXPECT_EQ(Head(WithoutSocketErrors(full.out), head), head);
  EXPECT_EQ(full.status, 1);
}

TEST(CommandLine, InvalidSampleTimesFailStartUp) {
  const char* texts[] = {"86401", "-5", "10s", "", "4294967306", "0x10000003C", "abc", "0x",
                         "+5", " 5", "99999999999999999999", "0x0000000000015181"};
  for (const char* text : texts) {
    SCOPED_TRACE(std::string("sample time \"") + text + "\"");
    KRun run = RunTellTrail({"can0", text});
    EXPECT_EQ(run.out, cBanner + "not valid sample time: " + text + "\n\n");
    EXPECT_EQ(run.status, 255);
  }
}

TEST(CommandLine, SampleTimeParsing) {
  struct {
    const char* text;
    bool ok;
    int seconds;
  } cases[] = {{"0", true, 0},          {"86400", true, 86400}, {"0x3C", true, 60},
               {"0x15180", true, 86400}, {"00000000010", true, 10}, {"0x00000000000003C", true, 60},
               {"-0", true, 0},          {"86401", false, 0},   {"0x15181", false, 0},
               {"4294967306", false, 0}, {"0x10000003C", false, 0}, {"-5", false, 0},
               {"10s", false, 0},        {"", false, 0},        {nullptr, false, 0}};
  for (const auto& c : cases) {
    int seconds = -1;
    EXPECT_EQ(ParseSampleTime(c.text, seconds), c.ok) << (c.text ? c.text : "(null)");
    EXPECT_EQ(seconds, c.ok ? c.seconds : -1) << (c.text ? c.text : "(null)");
  }
}

TEST(CommandLine, UnknownDevicePrefixComplainsAndRunsOn) {
  KRun run = RunTellTrail({"vcan0", "0"});
  std::string out = WithoutSocketErrors(run.out);
  std::string head = cBanner +
                     "first parameter must begin with \"can\", \"tty\", \"/\" or end with \".xml\"\n\n" +
                     cUsage + "device: vcan0\nsample time: 0 sec\n\n";
  EXPECT_EQ(Head(out, head), head);
  EXPECT_TRUE(EndsWithTermination(out));
  EXPECT_EQ(run.status, 1); // no such interface: the run failed
}

TEST(CommandLine, ArgumentCountIncludesTheProgramName) {
  // The usage text comes when no positional argument is left; the database
  // host line when two or more are and no file is logged.
  struct {
    std::vector<std::string> args;
    bool usage;
    bool hostLine;
  } cases[] = {
      {{"can0"}, false, false},
      {{"can0", "0"}, false, true},
      {{"can0", "0", "trace"}, false, true},
      {{"trace"}, true, false},
      {{"vcan0", "0", "more"}, true, false}, // the prefix complaint counts as one
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    KRun run = RunTellTrail(c.args, "sec\n\n");
    EXPECT_EQ(run.out.find(cUsage) != std::string::npos, c.usage) << run.out;
    EXPECT_EQ(run.out.find("\nmysql host: localhost\nsample time: ") != std::string::npos, c.hostLine)
        << run.out;
    EXPECT_TRUE(EndsWithTermination(run.out)) << run.out;
  }
}

TEST(CommandLine, OverlongDatabaseHostIsRefused) {
  KRun run = RunTellTrail({"can0", "1", std::string(300, 'h'), "mysql"});
  EXPECT_EQ(run.out, cBanner + "mysql host too long (more than 255 characters)\n");
  EXPECT_EQ(run.status, 255);
}

TEST(CommandLine, TraceAloneIsTheTraceSwitch) {
  KRun run = RunTellTrail({"trace"}, "sample time: 10 sec\n\n");
  EXPECT_EQ(Head(WithoutSocketErrors(run.out), cBanner + cUsage), cBanner + cUsage);
  EXPECT_NE(run.out.find("device: can0\n"), std::string::npos);
}

TEST(CommandLine, FileLoggingSettingsLines) {
  char dir[] = "/tmp/telltrail-cmd-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string base = std::string(dir) + "/canlog";
  int days, ms;
  NCanUtils::ArtTime(days, ms);
  char expectedName[cLogNameSize];
  testing::internal::CaptureStdout();
  SetLogFilename(base.c_str(), days, expectedName);
  std::string logLine = testing::internal::GetCapturedStdout();

  const std::string dev = cNoSuchInterface;
  const std::string device = "device: " + dev + "\n";
  struct {
    std::vector<std::string> args;
    std::string tail;
  } cases[] = {
      {{dev, "0", base}, device + "sample time: 0 sec\n\n"},
      {{dev, "0", base, "csv"}, device + "sample time: 0 sec\nuse comma separated values\n\n"},
      {{dev, "0", base, "other"}, device + "sample time: 0 sec\n\n"},
      {{dev, "0", base, "csv", "trace"},
       device + "sample time: 0 sec\nuse comma separated values\n\n"},
  };
  for (auto& c : cases) {
    KRun run = RunTellTrail(c.args);
    std::string head = cBanner + logLine + c.tail;
    EXPECT_EQ(Head(WithoutSocketErrors(run.out), head), head);
    EXPECT_EQ(run.out.find("mysql host"), std::string::npos);
    EXPECT_EQ(run.status, 1);
  }
  std::system((std::string("rm -rf ") + dir).c_str());
}

TEST(CommandLine, OverlongFileNameIsRefused) {
  std::string name(cMaxFileNameLength + 1, 'n');
  KRun run = RunTellTrail({"can0", "1", name});
  EXPECT_EQ(run.out, cBanner + "log file name too long (more than 1014 characters)\n");
  EXPECT_EQ(run.status, 255);
}

// A stop signal ends a run cleanly and at once, also with a whole day of
// sample time: the frames are written, the termination line printed, and
// the exit status is 0. SIGHUP (the terminal closed) stops like SIGTERM.
TEST(CommandLine, StopSignalsEndTheRunPromptlyAndCleanly) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    KPtyPeer adapter;
    if (!adapter.Ok())
      GTEST_SKIP() << "no pseudo-terminal or no writable /tmp for its link";
    KRun run = RunTellTrail({adapter.Device(), "86400"}, "sample time: 86400 sec\n\n", 20, 0.3,
                            signal);
    EXPECT_TRUE(EndsWithTermination(run.out)) << run.out;
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(run.seconds, 1.0);
  }
}

// A capture that cannot start or stops ends the run at once, not after the
// sample period (a day), and the exit status says that it failed. "At once"
// is about a second of lingering; the bound leaves room for a loaded
// machine, far below the period.
TEST(CommandLine, CaptureFailureEndsTheRunAtOnceWithStatus1) {
  KPtyPeer adapter;
  if (!adapter.Ok())
    GTEST_SKIP() << "no pseudo-terminal or no writable /tmp for its link";
  struct {
    std::string device;
    std::string message; // printed before the termination line
  } cases[] = {
      {cNoSuchInterface, ""},
      {"ttytelltrail-missing",
       "serial port /dev/ttytelltrail-missing not opened: ENOENT (No such file or directory)\n"},
      {adapter.Device(), "serial port /dev/" + adapter.Device() + " lost\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    if (c.device == adapter.Device()) {
      // The adapter goes away half a second into the run.
      std::thread unplug([&adapter] {
        NCanUtils::SleepMs(500);
        adapter.CloseMaster();
      });
      KRun run = RunTellTrail({c.device, "86400"}, "", 20, 0, SIGTERM, adapter.MasterFd());
      unplug.join();
      EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
      EXPECT_TRUE(EndsWithTermination(run.out)) << run.out;
      EXPECT_EQ(run.status, 1);
      EXPECT_LT(run.total, 10.0);
      continue;
    }
    KRun run = RunTellTrail({c.device, "86400"});
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    EXPECT_TRUE(EndsWithTermination(run.out)) << run.out;
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(run.total, 10.0);
  }
}

TEST(CommandLine, StopSignalDuringTheLastSecondStillEndsCleanly) {
  // The adapter cannot be opened, so the run ends by itself and lingers a
  // second before its termination line; a stop signal in that second must
  // cut it short, not kill the process. The run had failed all the same.
  KRun run = RunTellTrail({"ttytelltrail-missing", "86400"}, "(No such file or directory)\n", 20, 0.3);
  EXPECT_TRUE(EndsWithTermination(run.out)) << run.out;
  EXPECT_EQ(run.status, 1);
  EXPECT_LT(run.seconds, 0.5);
}

} // namespace

namespace {

class XmlSettingsTest : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/telltrail-xml-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    mDir = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + mDir + "'").c_str()); }

  std::string Write(const std::string& name, const std::string& text) {
    std::string path = mDir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return path;
  }
  std::string mDir;
};

TEST_F(XmlSettingsTest, DeviceAndSleepGiveConsoleOutput) {
  std::string path = Write("a.xml", "<?xml version=\"1.0\"?>\n<telltrail>\n"
                                    "  <device Name=\"can7\"/>\n  <device Name=\"can8\"/>\n"
                                    "  <sleep Name=\"0\"/>\n</telltrail>\n");
  // The file name alone is a complete command line: no usage text.
  KRun run = RunTellTrail({path});
  std::string head = cBanner + "device: can7\nsample time: 0 sec\n\n";
  EXPECT_EQ(Head(WithoutSocketErrors(run.out), head), head);
  EXPECT_EQ(run.status, 1); // no interface can7 here
}

TEST_F(XmlSettingsTest, LogFileWithoutSleepLogsTraceEvery104Seconds) {
  std::string base = mDir + "/canlog";
  std::string path = Write("b.xml", "<s><device Name=\"" + std::string(cNoSuchInterface) +
                                        "\"/><log_file Name=\"" + base + "\"/></s>");
  KRun run = RunTellTrail({path});
  std::string out = WithoutSocketErrors(run.out);
  std::string head = cBanner + "log file: " + base + "_";
  EXPECT_EQ(Head(out, head), head);
  EXPECT_NE(out.find("device: " + std::string(cNoSuchInterface) + "\nsample time: 104 sec\n\n"),
            std::string::npos);
  EXPECT_EQ(out.find("use comma separated values"), std::string::npos);
  EXPECT_EQ(run.status, 1);
}

TEST_F(XmlSettingsTest, ExtraArgumentsAreReported) {
  std::string path = Write("c.xml", "<s><Device Name=\"can5\"/><sleep Name=\"0\"/></s>");
  KRun run = RunTellTrail({path, "5"});
  // A key in other letter case is not found: the default device is used.
  std::string head = cBanner + "too much parameters\n\n" + cUsage + "device: can0\nsample time: 0 sec\n\n";
  EXPECT_EQ(Head(WithoutSocketErrors(run.out), head), head);
}

TEST_F(XmlSettingsTest, EveryNamedOutputRuns) {
  // Log file, PUT batches and requests per frame side by side, each remote
  // output with a spool folder of its own.
  std::string base = mDir + "/canlog";
  std::string path = Write("p.xml", "<s><device Name=\"" + std::string(cNoSuchInterface) +
                                        "\"/><log_file Name=\"" + base +
                                        "\"/><template Name=\"GET /x?%s HTTP/1.0\"/>"
                                        "<mysql_put Name=\"USE canlog\"/><ip_address Name=\"h\"/>"
                                        "<spool Name=\"" + mDir + "/sp\"/></s>");
  KRun run = RunTellTrail({path});
  std::string out = WithoutSocketErrors(run.out);
  for (std::string line : {"log file: " + base + "_", std::string("\noutput: HTTP PUT batches to http://h/"),
                           "\nspool: " + mDir + "/sp/put (up to 256 MB)\n",
                           std::string("\noutput: one HTTP request per frame to h port 80: GET /x?%s"),
                           "\nspool: " + mDir + "/sp/requests (up to 256 MB)\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
  EXPECT_EQ(run.status, 1);
}

TEST_F(XmlSettingsTest, StartUpFailures) {
  struct {
    std::string document;
    std::string message;
  } cases[] = {
      {"<s><mysql_put Name=\"INSERT\"/></s>", "ip_address is missing in xml\n"},
      {"<s><template Name=\"GET /x?%s HTTP/1.0\"/></s>", "ip_address is missing in xml\n"},
      {"<s><sleep Name=\"86401\"/></s>", "not valid sample time: 86401\n\n"},
      {"<s><sleep Name=\"1\"></s>", "xml-parser error pos: s>"},
      // refused before any connection is tried, the value never printed
      {"<s><mysql Host=\"localhost\" PW=\"" + std::string(300, 'p') + "\"/></s>",
       "mysql/PW too long (more than 255 characters)\n"},
      {"<s><ip_address Name=\"" + std::string(256, 'i') + "\"/><mysql/></s>",
       "ip_address/Name too long (more than 255 characters)\n"},
      // the HTTP outputs' texts
      {"<s><mysql_put Name=\"USE canlog\"/><ip_address Name=\"\"/></s>",
       "ip_address is missing in xml\n"},
      {"<s><template Name=\"GET /x?%s HTTP/1.1\"/><ip_address Name=\"" + std::string(255, 'i') +
           "\"/></s>",
       "ip_address/Name too long (more than 254 characters)\n"},
      {"<s><template Name=\"GET /x?%s " + std::string(510, 'p') + "\"/><ip_address Name=\"h\"/></s>",
       "template/Name too long (more than 511 characters)\n"},
      {"<s><template Name=\"GET /x HTTP/1.1\"/><ip_address Name=\"h\"/></s>",
       "template/Name refused: it must hold exactly one \"%s\" for the frame's variables and no "
       "other conversion (\"%%\" for a percent sign): GET /x HTTP/1.1\n"},
      // a mistyped address would send the frames nowhere (or here)
      {"<s><mysql_put Name=\"USE canlog\"/><ip_address Name=\"192.168.1.300\"/></s>",
       "ip_address/Name is not a valid IPv4 address: 192.168.1.300\n"},
      {"<s><device Name=\"can" + std::string(197, 'x') + "\"/></s>",
       "device name too long (more than 127 characters)\n"},
      {"<s><spool Name=\"/tmp\" MaxMB=\"0\"/></s>",
       "spool/MaxMB refused: a whole number of MB from 1 to 1048576: 0\n"},
      // the choice of what to keep
      {"<s><filter Name=\"123:7FF,12:7FF\"/></s>", "filter/Name refused at \"12:7FF\""},
      {"<s><downsample Name=\"average\"/></s>", "downsample/Name refused: \"average\" (changes)\n"},
      {"<s><downsample Name=\"changes\" Every=\"-1\"/></s>", "downsample/Every refused: \"-1\""},
      {"<s><listen_only Name=\"yes\"/></s>", "listen_only/Name refused: \"yes\" (1 or 0)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    std::string path = Write("d.xml", c.document);
    KRun run = RunTellTrail({path});
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("device:"), std::string::npos);
    EXPECT_EQ(run.out.find("pppppppppp"), std::string::npos);
    EXPECT_EQ(run.out.find("iiiiiiiiii"), std::string::npos);
    EXPECT_EQ(run.status, 255);
  }
  KRun missing = RunTellTrail({mDir + "/none.xml"});
  EXPECT_EQ(missing.out, cBanner + "file \"" + mDir + "/none.xml\" not found\n");
  EXPECT_EQ(missing.status, 255);
}

} // namespace

namespace {

// The example settings files of the source tree: one output each. The
// database example's connection is not tried here, only its choice.
TEST(ExampleSettings, EachChoosesItsOutput) {
  for (const char* name : {"log_file", "candump_log", "mysql", "mysql_put", "template"}) {
    SCOPED_TRACE(name);
    std::string path = std::string(TELLTRAIL_EXAMPLES_DIR) + "/" + name + ".xml";
    KParser parser;
    KXmlNode root;
    ASSERT_TRUE(parser.ParseFile(path.c_str(), &root));
    std::string output = name;
    // The forwarding outputs keep what their server cannot take.
    EXPECT_EQ(root.FindNodeAttr("spool", "Name") != nullptr,
              output != "log_file" && output != "candump_log");
    if (output == "mysql") {
      EXPECT_NE(root.Find("mysql"), nullptr);
      continue;
    }
    KRunSettings s;
    s.mXml = true;
    s.mTrace = output == "template"; // the client echoes with the trace switch
    KMySql mySql;
    std::unique_ptr<KTcpCanClient> client;
    ASSERT_TRUE(ReadXmlSettings(root, s, mySql, client));
    EXPECT_STREQ(s.mDevice, "can0");
    EXPECT_STREQ(s.mSampleTimeText, "10");
    EXPECT_EQ(s.mFileLogging, output == "log_file" || output == "candump_log");
    EXPECT_EQ(s.mCandump, output == "candump_log");
    EXPECT_EQ(s.mPutHeader != nullptr, output == "mysql_put");
    EXPECT_EQ(s.mUrlTemplate != nullptr, output == "template");
    EXPECT_EQ(client != nullptr, output == "mysql_put" || output == "template");
    if (client != nullptr) {
      EXPECT_STREQ(client->mRemoteHost, "192.168.1.10");
      EXPECT_EQ(client->mRemotePort, 80);
      EXPECT_EQ(client->mBlockMode, bmBlocking);
      EXPECT_EQ(client->mTrace, s.mTrace);
    }
  }
}

} // namespace
