#include "TellTrail.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "ForwardingSinks.h"
#include "KCanServer.h"
#include "KMySql.h"
#include "KTcpCanClient.h"
#include "LogFileSettings.h"
#include "NCanUtils.h"
#include "RunSettings.h"
#include "SamplingLoop.h"
#include "StopSignal.h"
#include "XmlParser.h"

char HttpPut[cHttpPutSize];
uint32_t HttpLen = 0;

namespace {

const char cVersionLine[] = "telltrail 0.1.0 - one CAN bus to console, log file, database or web";

} // namespace

int TellTrailMain(int argc, char** argv) {
  KRunSettings s;
  ReadArguments(argc, argv, s);

  std::printf("can-bus data logger\n%s\n\n", cVersionLine);

  KParser parser;
  KXmlNode root;

  if (s.mArgc >= 2) {
    if (s.mXml) {
      if (!parser.ParseFile(s.mDevice, &root))
        return -1;
      if (s.mArgc >= 3) {
        std::printf("too much parameters\n\n");
        s.mCsv = false;
        s.mMySql = false;
        s.mFileLogging = false;
        s.mArgc = 1;
      }
    } else if (!KnownDevicePrefix(s.mDevice)) {
      std::printf("first parameter must begin with \"can\", \"tty\" or end with \".xml\"\n\n");
      s.mArgc = 1;
    }
  }
  if (s.mArgc < 2)
    PrintUsage();

  KMySql mySql;
  // The HTTP client of the HTTP outputs, made by the settings file.
  std::unique_ptr<KTcpCanClient> client;
  if (s.mXml && !ReadXmlSettings(root, s, mySql, client))
    return -1;
  // Argument 3 is the database host in MySQL mode.
  if (!s.mXml && s.mMySql && s.mFileName != nullptr && !mySql.SetHost(s.mFileName))
    return -1;

  KCanServer server;
  KCanFrame frame;
  // From here on a stop signal ends the run cleanly.
  InstallStopHandlers(&server);

  if (s.mSampleTimeText != nullptr && !ParseSampleTime(s.mSampleTimeText, s.mSampleTime)) {
    std::printf("not valid sample time: %s\n\n", s.mSampleTimeText);
    RemoveStopHandlers();
    return -1;
  }

  char logName[cLogNameSize] = "";
  int currentDay = 0;
  if (s.mFileLogging) {
    const char* suffix = LogFileSuffix(s.mCandump ? lfCandump : lfTrace);
    const int longest = cMaxFileNameLength - static_cast<int>(std::strlen(suffix));
    if (std::strlen(s.mFileName) > static_cast<std::size_t>(longest)) {
      std::printf("log file name too long (more than %d characters)\n", longest);
      RemoveStopHandlers();
      return -1;
    }
    NCanUtils::ArtTime(frame.mDays, frame.mMs);
    currentDay = frame.mDays;
    SetLogFilename(s.mFileName, currentDay, logName, suffix);
  }

  if (s.mCan232BitRate >= 0)
    server.SetCan232BitRate(s.mCan232BitRate);
  server.Init(s.mDevice);

  std::printf("device: %s\n", server.GetDev());
  if (s.mArgc >= 3 && !s.mFileLogging)
    std::printf("mysql host: %s\n", mySql.mHost);
  std::printf("sample time: %d sec\n", s.mSampleTime);
  if (s.mCsv)
    std::printf("use comma separated values\n");
  if (s.mCandump && s.mFileLogging)
    std::printf("log file in candump log format\n");
  std::printf("\n");
  std::fflush(stdout);

  server.Resume();

  // The database is tried once before the run; the loop opens it per period.
  if (s.mMySql) {
    if (!mySql.Open()) {
      server.Halt();
      RemoveStopHandlers();
      return -1;
    }
    mySql.Close();
  }

  KForwardingSinks sinks(s, server, &mySql, client.get());
  KSamplingLoop loop(s, server, frame, currentDay, logName, &sinks);
  loop.Run();

  // A run that ended by itself lingers a second before it says so; a stop
  // signal (also one that comes during that second) cuts it short. The
  // handlers stay until the termination line is out, so a late signal
  // cannot kill the process without it.
  for (int slice = 0; slice < 100 && !StopRequested(); ++slice)
    NCanUtils::SleepMs(10);
  client.reset();

  char time[cTimeTextSize];
  NCanUtils::ArtTime(frame.mDays, frame.mMs);
  NCanUtils::PrintTime(frame, time, false);
  std::printf("%s terminated\n", time);
  std::fflush(stdout);
  RemoveStopHandlers();
  // A run that ended through a failure says so: service managers restart on
  // it. A stop by signal is a success.
  return loop.OutputFailed() || server.CaptureFailed() ? 1 : 0;
}
