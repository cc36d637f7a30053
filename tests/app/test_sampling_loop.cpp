#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
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
  EXPECT_EQ(out, Line(frames[1], false) + Line(frames[3], false) + Line(frames[4], false));
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
  EXPECT_EQ(out, "log file \"" + std::string(name) + "\" not opened\n" + Line(frames[0], false));
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
  KCanServer quiet;
  KSamplingLoop stopped(mSettings, quiet, mFrame, cDay, "");
  RequestStop();
  EXPECT_EQ(stopped.Pace(std::time(nullptr)), 0);
  ClearStopRequest();
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

} // namespace
