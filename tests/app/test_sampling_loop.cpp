#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "SamplingLoop.h"
#include "StopSignal.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const int cDay = 9837; // 2026-12-07

KCanFrame Frame(uint32_t id, int day = cDay, int ms = 50709123) {
  KCanFrame f;
  f.mId = id;
  f.mDays = day;
  f.mMs = ms;
  f.mLen = 2;
  f.mData[0] = static_cast<unsigned char>(id);
  f.mData[1] = 0x41;
  return f;
}

std::string Line(const KCanFrame& f, bool csv) {
  char line[cLineSize];
  NCanUtils::FormatFrame(f, csv, line);
  return line;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class SamplingLoopTest : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/telltrail-loop-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    mDir = pattern;
    mBase = mDir + "/canlog";
    ClearStopRequest();
  }
  void TearDown() override { std::system(("rm -rf '" + mDir + "'").c_str()); }

  // Stores the frames with consecutive counters from 1, as the capture
  // thread would.
  std::vector<KCanFrame> Put(KCanServer& server, std::vector<KCanFrame> frames) {
    for (KCanFrame& f : frames) {
      f.mCounter = ++mCounter;
      server.PutFrame(f);
    }
    return frames;
  }

  void FileLogging(bool csv = false) {
    mSettings.mFileLogging = true;
    mSettings.mFileName = mBase.c_str();
    mSettings.mCsv = csv;
  }

  std::string DayFile(int day) {
    char name[cLogNameSize];
    CaptureStdout();
    SetLogFilename(mBase.c_str(), day, name);
    GetCapturedStdout();
    return name;
  }

  std::string mDir, mBase;
  KRunSettings mSettings;
  KCanFrame mFrame;
  uint32_t mCounter = 0;
};

TEST_F(SamplingLoopTest, ConsoleOnlyPrintsEveryLineOnce) {
  KCanServer server;
  auto frames = Put(server, {Frame(0x100), Frame(0x200), Frame(0x300)});
  KSamplingLoop loop(mSettings, server, mFrame, cDay, "");
  CaptureStdout();
  EXPECT_EQ(loop.RunPeriod(), 3);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out, Line(frames[0], false) + Line(frames[1], false) + Line(frames[2], false));
}

TEST_F(SamplingLoopTest, FileLoggingShowsOnlyRemoteErrorAndLastLine) {
  FileLogging();
  KCanServer server;
  auto frames = Put(server, {Frame(0x100), Frame(0x200 | KCanFrame::cRemoteFlag), Frame(0x300),
                             Frame(0x20000004), Frame(0x500)});
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  CaptureStdout();
  EXPECT_EQ(loop.RunPeriod(), 5);
  std::string out = GetCapturedStdout();
  // The error frame (controller: RX overflow) is also counted in the
  // period's bus error line.
  EXPECT_EQ(out, Line(frames[1], false) + Line(frames[3], false) + Line(frames[4], false) +
                     "bus errors: 1 RX overflow\n");
  std::string all;
  for (const KCanFrame& f : frames)
    all += Line(f, false);
  EXPECT_EQ(ReadFile(DayFile(cDay)), all);
}

TEST_F(SamplingLoopTest, LastLineOfPeriodIsPrintedOnceEvenWhenItWasShown) {
  FileLogging(true);
  KCanServer server;
  auto frames = Put(server, {Frame(0x100), Frame(0x200 | KCanFrame::cRemoteFlag)});
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  CaptureStdout();
  loop.RunPeriod();
  EXPECT_EQ(GetCapturedStdout(), Line(frames[1], true));
  EXPECT_EQ(ReadFile(DayFile(cDay)), Line(frames[0], true) + Line(frames[1], true));
}

TEST_F(SamplingLoopTest, TraceSwitchPrintsEveryLineAndRepeatsNothing) {
  FileLogging();
  mSettings.mTrace = true;
  KCanServer server;
  auto frames = Put(server, {Frame(0x100), Frame(0x200), Frame(0x300)});
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  CaptureStdout();
  loop.RunPeriod();
  std::string expected = Line(frames[0], false) + Line(frames[1], false) + Line(frames[2], false);
  EXPECT_EQ(GetCapturedStdout(), expected);
  EXPECT_EQ(ReadFile(DayFile(cDay)), expected);
}

TEST_F(SamplingLoopTest, FileFollowsTheFramesOwnDay) {
  FileLogging(true);
  KCanServer server;
  auto frames = Put(server, {Frame(0x100, cDay, 86399999), Frame(0x200, cDay + 1, 0),
                             Frame(0x300, cDay, 86399998), Frame(0x400, cDay + 1, 5)});
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  CaptureStdout();
  loop.RunPeriod();
  std::string out = GetCapturedStdout();
  std::string today = DayFile(cDay), tomorrow = DayFile(cDay + 1);
  EXPECT_EQ(tomorrow, mBase + "_20261208");
  EXPECT_EQ(out, "log file: " + tomorrow + "\nlog file: " + today + "\nlog file: " + tomorrow +
                     "\n" + Line(frames[3], true));
  EXPECT_EQ(ReadFile(today), Line(frames[0], true) + Line(frames[2], true));
  EXPECT_EQ(ReadFile(tomorrow), Line(frames[1], true) + Line(frames[3], true));
  EXPECT_EQ(loop.CurrentDay(), cDay + 1);
}

TEST_F(SamplingLoopTest, AppendsToAnExistingFileAcrossPeriods) {
  FileLogging();
  KCanServer server;
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  auto first = Put(server, {Frame(0x100)});
  CaptureStdout();
  loop.RunPeriod();
  auto second = Put(server, {Frame(0x200)});
  loop.RunPeriod();
  GetCapturedStdout();
  EXPECT_EQ(ReadFile(DayFile(cDay)), Line(first[0], false) + Line(second[0], false));
}

TEST_F(SamplingLoopTest, MissingDirectoryEndsTheRun) {
  mSettings.mFileLogging = true;
  std::string base = mDir + "/missing/canlog";
  mSettings.mFileName = base.c_str();
  KCanServer server;
  auto frames = Put(server, {Frame(0x100), Frame(0x200)});
  char name[cLogNameSize];
  CaptureStdout();
  SetLogFilename(base.c_str(), cDay, name);
  GetCapturedStdout();
  KSamplingLoop loop(mSettings, server, mFrame, cDay, name);
  CaptureStdout();
  loop.RunPeriod();
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out, "log file \"" + std::string(name) +
                     "\" not opened: ENOENT (No such file or directory)\n" + Line(frames[0], false));
  EXPECT_TRUE(server.Terminated());
  EXPECT_TRUE(loop.OutputFailed());
  EXPECT_EQ(server.RingCount(), 1); // the run ends; the rest is not drained
}

TEST_F(SamplingLoopTest, EmptyPeriodPrintsNothingAndOpensNoFile) {
  FileLogging();
  KCanServer server;
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  CaptureStdout();
  EXPECT_EQ(loop.RunPeriod(), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(Exists(DayFile(cDay)));
}

TEST_F(SamplingLoopTest, RingOverflowIsReported) {
  KCanServer server;
  for (int i = 0; i < KCanServer::cRingSize + 4; ++i)
    server.PutFrame(Frame(0x100));
  KSamplingLoop loop(mSettings, server, mFrame, cDay, "");
  CaptureStdout();
  EXPECT_EQ(loop.RunPeriod(), KCanServer::cRingSize - 1);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("ring buffer overflow: 5 frames lost\n"), std::string::npos);
  CaptureStdout();
  loop.RunPeriod();
  EXPECT_EQ(GetCapturedStdout(), ""); // reported once
}

TEST_F(SamplingLoopTest, PauseStepsTable) {
  struct {
    int sampleTime;
    long start, now;
    int steps;
  } cases[] = {
      {0, 100, 100, 1},    // sample time 0: a single 100 ms pause
      {10, 100, 100, 100}, // nothing took time
      {10, 100, 103, 70},  // the drain took 3 s
      {10, 100, 125, 1},   // the drain took longer than the period
      {10, 100, 90, 100},  // the clock went back
      {86400, 0, 1, 863990},
  };
  KCanServer server;
  for (const auto& c : cases) {
    mSettings.mSampleTime = c.sampleTime;
    KSamplingLoop loop(mSettings, server, mFrame, cDay, "");
    EXPECT_EQ(loop.PauseSteps(c.start, c.now), c.steps)
        << c.sampleTime << " " << c.start << " " << c.now;
  }
}

TEST_F(SamplingLoopTest, PaceIsCutShortByAFillingRingOrAStop) {
  KCanServer server;
  mSettings.mSampleTime = 0;
  KSamplingLoop loop(mSettings, server, mFrame, cDay, "");
  EXPECT_EQ(loop.Pace(std::time(nullptr)), 1);
  mSettings.mSampleTime = 3600;
  for (int i = 0; i < 7681; ++i)
    server.PutFrame(Frame(0x1));
  EXPECT_EQ(loop.Pace(std::time(nullptr)), 0);

  // The ring fills while the pause runs: noticed at once.
  KCanServer filling;
  KSamplingLoop waiting(mSettings, filling, mFrame, cDay, "");
  std::thread bus([&filling] {
    NCanUtils::SleepMs(300);
    for (int i = 0; i < 7681; ++i)
      filling.PutFrame(Frame(0x2));
  });
  int steps = waiting.Pace(std::time(nullptr));
  bus.join();
  EXPECT_GE(steps, 2);
  EXPECT_LE(steps, 20);

  // A stop signal during the pause.
  KCanServer quiet;
  KSamplingLoop stopped(mSettings, quiet, mFrame, cDay, "");
  InstallStopHandlers(&quiet);
  std::thread stopper([] {
    NCanUtils::SleepMs(200);
    kill(getpid(), SIGTERM);
  });
  steps = stopped.Pace(std::time(nullptr));
  stopper.join();
  RemoveStopHandlers();
  ClearStopRequest();
  EXPECT_GE(steps, 1);
  EXPECT_LE(steps, 10);
}

// A driver whose device works for a few frames, then fails as `mHow` says.
class KFailingDriver : public KCanDriver {
public:
  enum TFailEnum { fThrow, fLost } mHow = fLost;
  int mFrames = 3;

  void Close() override {}
  bool Connect() override { return true; }
  bool ReceiveData(KCanFrame& frame) override {
    if (mFrames == 0) {
      if (mHow == fThrow)
        throw std::runtime_error("driver failure");
      mLost = true;
      return false;
    }
    --mFrames;
    frame = Frame(0x100 + static_cast<uint32_t>(mFrames));
    return true;
  }
  bool ReadData(KCanFrame&) override { return false; }
  bool SendData(const KCanFrame&) override { return false; }
  bool Lost() const override { return mLost; }

private:
  bool mLost = false;
};

// However the capture thread ends, the loop notices it at once, not at the
// end of the period, and what was captured before is written.
TEST_F(SamplingLoopTest, CaptureThreadThatStopsEndsTheRunAtOnce) {
  for (auto how : {KFailingDriver::fLost, KFailingDriver::fThrow}) {
    SCOPED_TRACE(how == KFailingDriver::fLost ? "device lost" : "exception");
    FileLogging();
    mSettings.mSampleTime = 3600;
    std::string file = DayFile(cDay);
    std::remove(file.c_str());
    KCanServer server;
    KFailingDriver* driver = new KFailingDriver; // owned by the server
    driver->mHow = how;
    server.mRecvDriver.reset(driver);
    KSamplingLoop loop(mSettings, server, mFrame, cDay, file.c_str());
    CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    server.Resume();
    loop.Run();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string out = GetCapturedStdout();
    EXPECT_LT(seconds, 1.0);
    EXPECT_TRUE(server.CaptureFailed());
    EXPECT_FALSE(loop.OutputFailed());
    // Three frames, whether they came in the first period or the last drain.
    std::string log = ReadFile(file);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    if (how == KFailingDriver::fThrow) {
      EXPECT_NE(out.find("exception caught in \"ThreadProc\"\n"), std::string::npos);
    }
  }
}

// A quiet bus: the loop waits for the first frame and writes it within one
// sample period of its arrival, however long the quiet lasted.
TEST_F(SamplingLoopTest, FirstFrameAfterAQuietSpellIsWrittenWithinAPeriod) {
  FileLogging();
  mSettings.mSampleTime = 1;
  KCanServer server;
  std::string file = DayFile(cDay);
  KSamplingLoop loop(mSettings, server, mFrame, cDay, file.c_str());
  CaptureStdout();
  std::thread run([&loop] { loop.Run(); });
  NCanUtils::SleepMs(2500); // two and a half empty periods
  auto frames = Put(server, {Frame(0x100)});
  auto put = std::chrono::steady_clock::now();
  while (!Exists(file) && std::chrono::steady_clock::now() - put < std::chrono::seconds(5))
    NCanUtils::SleepMs(10);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - put).count();
  server.Terminate();
  run.join();
  GetCapturedStdout();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 2.2);
  EXPECT_EQ(ReadFile(file), Line(frames[0], false));
}

TEST_F(SamplingLoopTest, StoppedCaptureIsNoFailure) {
  KCanServer server;
  server.Terminate();
  server.Resume();
  server.WaitFor();
  EXPECT_FALSE(server.CaptureFailed());
}

TEST_F(SamplingLoopTest, RunDrainsWhatWasCapturedBeforeTheStop) {
  FileLogging();
  KCanServer server;
  auto frames = Put(server, {Frame(0x100), Frame(0x200)});
  server.Terminate(); // stopped before the loop ever ran a period
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  CaptureStdout();
  loop.Run();
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out, Line(frames[1], false));
  EXPECT_EQ(ReadFile(DayFile(cDay)), Line(frames[0], false) + Line(frames[1], false));
}

// A daily file whose last line was cut (a crash, a power loss) loses that
// part of a line, which would read as a shorter, wrong frame, and the
// console says how many bytes went; the lines before it stay, the new lines
// are whole. A file that ends properly is appended to as it is.
TEST_F(SamplingLoopTest, CutLastLineIsRemoved) {
  FileLogging(true);
  const std::string whole = "17,'2026-12-07',50709123,384,0\n";
  const struct {
    std::string before;
    std::string kept;
    std::string said;
  } cases[] = {
      {"17,'2026-12-07',5070", "", "cut last line removed (20 bytes)"},
      {whole + whole + "18,'20", whole + whole, "cut last line removed (6 bytes)"},
      {whole + std::string(5000, 'x'), whole, "cut last line removed (5000 bytes)"},
      {whole, whole, ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    std::string file = DayFile(cDay);
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << c.before;
    }
    KCanServer server;
    auto frames = Put(server, {Frame(0x100), Frame(0x200)});
    KSamplingLoop loop(mSettings, server, mFrame, cDay, file.c_str());
    CaptureStdout();
    loop.RunPeriod();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(ReadFile(file), c.kept + Line(frames[0], true) + Line(frames[1], true))
        << "before: " << c.before;
    EXPECT_EQ(out.find("cut last line"), c.said.empty() ? std::string::npos : out.find(c.said))
        << out;
  }
}

// A full ring holds far more lines than one write takes: every line reaches
// the file whole and in order.
TEST_F(SamplingLoopTest, FullRingIsWrittenWhole) {
  FileLogging();
  KCanServer server;
  std::vector<KCanFrame> frames;
  for (int i = 0; i < KCanServer::cRingSize - 1; ++i) {
    KCanFrame f = Frame(static_cast<uint32_t>(i) | KCanFrame::cExtendedFlag);
    f.mLen = 8;
    frames.push_back(f);
  }
  frames = Put(server, frames);
  std::string expected;
  for (const KCanFrame& f : frames)
    expected += Line(f, false);
  ASSERT_GT(expected.size(), static_cast<size_t>(2 * cLogBufferSize));
  KSamplingLoop loop(mSettings, server, mFrame, cDay, DayFile(cDay).c_str());
  CaptureStdout();
  EXPECT_EQ(loop.RunPeriod(), KCanServer::cRingSize - 1);
  GetCapturedStdout();
  EXPECT_TRUE(ReadFile(DayFile(cDay)) == expected);
}

TEST(SetLogFilename, NameAndMessage) {
  char name[cLogNameSize];
  int day = 0;
  ASSERT_TRUE(NCanUtils::GetArtDays(2014, 3, 21, day));
  CaptureStdout();
  SetLogFilename("canlog", day, name);
  EXPECT_EQ(GetCapturedStdout(), "log file: canlog_20140321\n");
  EXPECT_STREQ(name, "canlog_20140321");
  // The longest name the start-up accepts still fits with its date.
  std::string longest(cMaxFileNameLength, 'x');
  CaptureStdout();
  SetLogFilename(longest.c_str(), day, name);
  GetCapturedStdout();
  EXPECT_EQ(std::string(name), longest + "_20140321");
}

// The logger names a day's file and the retention tool reads the day back
// from the name: both ends of the one format agree, and the reader takes
// nothing else.
TEST(DailyName, WrittenDayReadsBack) {
  for (int date : {20000101, 20000229, 20140321, 20991231}) {
    int day = 0;
    ASSERT_TRUE(NCanUtils::GetArtDays(date / 10000, date / 100 % 100, date % 100, day)) << date;
    char name[cLogNameSize];
    ASSERT_TRUE(FormatDailyName("logs/can", day, ".log", name, sizeof(name)));
    const std::string digits = std::string(name).substr(std::strlen("logs/can_"), 8);
    int read = -1;
    EXPECT_TRUE(ParseDailyDate(digits.c_str(), read)) << name;
    EXPECT_EQ(read, day) << name;
    EXPECT_EQ(digits, std::to_string(date));
  }
  int day = 0;
  for (const char* bad : {"2014032", "201403211", "2014-321", "20140230", "20141301", ""})
    EXPECT_FALSE(ParseDailyDate(bad, day)) << bad;
  char small[16];
  EXPECT_FALSE(FormatDailyName("canlog", 16150, ".log", small, sizeof(small)));
}

} // namespace
