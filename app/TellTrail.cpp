#include "TellTrail.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "CanLinkMode.h"
#include "CaptureSettings.h"
#include "KCanServer.h"
#include "KDownsampler.h"
#include "KForwarder.h"
#include "KMySql.h"
#include "KRemoteOutputs.h"
#include "KSpool.h"
#include "KTcpCanClient.h"
#include "LogFileSettings.h"
#include "NCanUtils.h"
#include "RunSettings.h"
#include "SamplingLoop.h"
#include "StopSignal.h"
#include "XmlParser.h"

namespace {

const char cVersionLine[] = "telltrail 0.1.0 - one CAN bus to console, log file, database or web";

// Listen-only on SocketCAN is the interface's own mode: a controller that
// acknowledges frames is refused, a virtual interface accepted with a note.
bool ListenOnlyInterface(const char* dev) {
  char kind[32];
  switch (ReadLinkMode(dev, kind, sizeof(kind))) {
  case lmMissing:
    return true; // reported by the capture, as without listen-only
  case lmNoController:
    std::printf("listen-only: %s is no CAN controller (%s) and acknowledges nothing\n", dev,
                kind[0] != 0 ? kind : "no link kind");
    return true;
  case lmListenOnly:
    return true;
  case lmTransmits:
    std::printf("listen-only refused: %s acknowledges frames on the bus; set it listen-only:\n"
                "  ip link set %s down\n  ip link set %s type can listen-only on\n"
                "  ip link set %s up\n",
                dev, dev, dev, dev);
    return false;
  case lmUnknown:
    break;
  }
  std::printf("listen-only refused: the mode of %s cannot be read\n", dev);
  return false;
}

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
      std::printf("first parameter must begin with \"can\", \"tty\", \"/\" or end with \".xml\"\n\n");
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
  KCaptureSettings capture;
  if (s.mXml && !ReadCaptureSettings(root, capture))
    return -1;
  // Argument 3 is the database host in MySQL mode.
  if (!s.mXml && s.mMySql && s.mFileName != nullptr && !mySql.SetHost(s.mFileName))
    return -1;
  // A longer name would not fit the driver and silently become the default.
  if (s.mDevice != nullptr && std::strlen(s.mDevice) >= static_cast<std::size_t>(KCanDriver::cDevSize)) {
    std::printf("device name too long (more than %d characters)\n", KCanDriver::cDevSize - 1);
    return -1;
  }
  if (s.mSampleTimeText != nullptr && !ParseSampleTime(s.mSampleTimeText, s.mSampleTime)) {
    std::printf("not valid sample time: %s\n\n", s.mSampleTimeText);
    return -1;
  }
  long long spoolMegabytes = 0;
  if (s.mSpoolDir != nullptr && !ParseSpoolSize(s.mSpoolMaxMB, spoolMegabytes)) {
    std::printf("spool/MaxMB refused: a whole number of MB from 1 to %d: %s\n", KSpool::cMaxMaxMB,
                s.mSpoolMaxMB);
    return -1;
  }
  // Every remote output the settings name, each with its spool (beside a
  // log file alone a spool waits unused).
  KRemoteOutputs remotes;
  if (!remotes.Make(s, mySql, client.get(), s.mSpoolDir, spoolMegabytes << 20))
    return -1;
  KRemoteOutputs::KRemote* database = remotes.Database();
  const bool databaseSpooled = database != nullptr && database->mSpool != nullptr;
  KCanServer server;
  KCanFrame frame;
  // From here on a stop signal ends the run cleanly.
  KStopHandlers stopHandlers(&server);


  char logName[cLogNameSize] = "";
  int currentDay = 0;
  if (s.mFileLogging) {
    const char* suffix = LogFileSuffix(s.mCandump ? lfCandump : lfTrace);
    const int longest = cMaxFileNameLength - static_cast<int>(std::strlen(suffix));
    if (std::strlen(s.mFileName) > static_cast<std::size_t>(longest)) {
      std::printf("log file name too long (more than %d characters)\n", longest);
        return -1;
    }
    NCanUtils::ArtTime(frame.mDays, frame.mMs);
    currentDay = frame.mDays;
    SetLogFilename(s.mFileName, currentDay, logName, suffix);
  }

  const bool can232 = s.mDevice != nullptr && std::strstr(s.mDevice, "tty") != nullptr;
  if (capture.mListenOnly && !can232 && !ListenOnlyInterface(s.mDevice != nullptr ? s.mDevice : "can0")) {
    return -1;
  }
  server.SetFilter(capture.mFilter);
  server.SetListenOnly(capture.mListenOnly);
  // Without a spool the database is tested before the adapter is opened:
  // a failure ends the start (a settings file's test has run already).
  // With a spool the delivery thread tests it once the capture runs, so
  // that the far side never holds up or delays the capture.
  if (database != nullptr && !databaseSpooled && !s.mXml) {
    if (!mySql.Open())
      return -1;
    mySql.Close();
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
  PrintCaptureSettings(capture, can232);
  remotes.Connect(server, s.mSampleTime);
  std::printf("\n");
  for (KForwarder* f : remotes.Forwarders())
    f->PrintDestination();
  std::fflush(stdout);

  server.Resume();
  for (KForwarder* f : remotes.Forwarders())
    f->Start();

  KSamplingLoop loop(s, server, frame, currentDay, logName, remotes.Forwarders());
  std::unique_ptr<KDownsampler> downsampler;
  if (capture.mChanges) {
    downsampler.reset(new KDownsampler(capture.mEverySeconds));
    loop.SetDownsampler(downsampler.get());
  }
  loop.Run();
  // What the loop handed over last is delivered, or kept in the spool.
  for (KForwarder* f : remotes.Forwarders())
    f->Finish();
  // Wrong database settings, found by the delivery thread's first test:
  // the frames of the short run wait in the spool, the start failed.
  for (KForwarder* f : remotes.Forwarders())
    if (f->SettingsFailed())
      return -1;

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
  // A run that ended through a failure says so: service managers restart on
  // it. A stop by signal is a success.
  int status = loop.OutputFailed() || server.CaptureFailed() ? 1 : 0;
  // A delivery thread stuck in the database library cannot be waited for;
  // the process ends without running the destructors it might still use.
  for (KForwarder* f : remotes.Forwarders())
    if (f->Abandoned())
      _exit(status);
  return status;
}
