#include "TellTrail.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include "XmlParser.h"

char HttpPut[cHttpPutSize];
uint32_t HttpLen = 0;

namespace {

const char cUsage[] =
    "usage:\n"
    "telltrail <can dev> <sample time in sec> [ (<filename> | <mysql host>) [ csv | mysql ] ]\n"
    "  or\n"
    "telltrail <file.xml>\n"
    "\n"
    "example: telltrail can0 10 192.168.1.137 mysql\n"
    "or       telltrail can1 3600 canlog csv\n";

const char cVersionLine[] = "telltrail 0.1.0 - one CAN bus to console, log file, database or web";

// The capture server that a stop signal terminates, and whether one came.
std::atomic<KCanServer*> SignalServer{nullptr};
volatile sig_atomic_t StopFlag = 0;

static_assert(std::atomic<KCanServer*>::is_always_lock_free, "used from a signal handler");

void OnStopSignal(int) { RequestStop(); }

void InstallStopHandlers(KCanServer* server) {
  SignalServer.store(server);
  if (StopFlag != 0)
    server->Terminate();
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void RemoveStopHandlers() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  SignalServer.store(nullptr);
}

void PrintUsage() { std::printf("%s\n", cUsage); }

// Significant digits of the number that starts the text (after an optional
// sign or "0x" prefix), leading zeros not counted.
int SignificantDigits(const char* text) {
  const char* p = text;
  bool hex = p[0] == '0' && p[1] == 'x';
  if (hex)
    p += 2;
  else if (*p == '-')
    ++p;
  while (*p == '0')
    ++p;
  int n = 0;
  while (hex ? NCanUtils::IsHexDigit(*p) : (*p >= '0' && *p <= '9')) {
    ++n;
    ++p;
  }
  return n;
}

} // namespace

void RequestStop() {
  StopFlag = 1;
  KCanServer* server = SignalServer.load();
  if (server != nullptr)
    server->Terminate();
}

bool StopRequested() { return StopFlag != 0; }

void ClearStopRequest() { StopFlag = 0; }

void SetLogFilename(const char* name, int day, char* out) {
  int d, m, y;
  NCanUtils::GetDateFromDays(day, d, m, y);
  std::snprintf(out, cLogNameSize, "%s_%4.4d%2.2d%2.2d", name, y, m, d);
  std::printf("log file: %s\n", out);
}

bool ParseSampleTime(const char* text, int& seconds) {
  if (text == nullptr)
    return false;
  const char* p = text;
  int value = 0;
  if (!NCanUtils::GetInt(p, value) || *p != 0)
    return false;
  // 86400 has five digits in either base; a longer number has wrapped.
  if (SignificantDigits(text) > 5 || value < 0 || value > 86400)
    return false;
  seconds = value;
  return true;
}

// ---------------------------------------------------------------------------
// KSamplingLoop

KSamplingLoop::KSamplingLoop(const KRunSettings& settings, KCanServer& server, KCanFrame& frame,
                             int currentDay, const char* logName)
    : mSettings(settings), mServer(server), mFrame(frame), mCurrentDay(currentDay),
      mLogFile(nullptr), mPending(false), mOutputFailed(false), mWriteFailed(false),
      mOverwrittenReported(0), mDroppedReported(0) {
  mLine[0] = 0;
  std::snprintf(mLogName, sizeof(mLogName), "%s", logName != nullptr ? logName : "");
}

bool KSamplingLoop::AnySink() const {
  return mSettings.mFileLogging || mSettings.mMySql || mSettings.mUrlTemplate != nullptr ||
         mSettings.mPutHeader != nullptr;
}

void KSamplingLoop::WriteToLogFile() {
  std::size_t length = std::strlen(mLine);
  if (std::fwrite(mLine, 1, length, mLogFile) != length && !mWriteFailed) {
    std::printf("log file \"%s\" not written\n", mLogName);
    mWriteFailed = true;
  }
}

int KSamplingLoop::RunPeriod() {
  mLogFile = nullptr;
  mPending = false;
  mWriteFailed = false;
  HttpLen = 0;
  int count = 0;
  while (mServer.GetFrame(mFrame)) {
    ++count;
    mPending = true;
    NCanUtils::FormatFrame(mFrame, mSettings.mCsv, mLine);
    if (mSettings.mFileLogging) {
      // The file follows the frame's own receive day, not the clock.
      if (mFrame.mDays != mCurrentDay) {
        mCurrentDay = mFrame.mDays;
        SetLogFilename(mSettings.mFileName, mCurrentDay, mLogName);
        if (mLogFile != nullptr) {
          if (std::fclose(mLogFile) != 0 && !mWriteFailed)
            std::printf("log file \"%s\" not written\n", mLogName);
          mLogFile = nullptr;
        }
      }
      if (mLogFile == nullptr) {
        mLogFile = std::fopen(mLogName, "ab+");
        if (mLogFile == nullptr) {
          std::printf("log file \"%s\" not opened\n", mLogName);
          mServer.Terminate();
          mOutputFailed = true;
          break;
        }
      }
      WriteToLogFile();
    }
    if ((mFrame.mId & KCanFrame::cRemoteOrErrorMask) != 0 || !AnySink() || mSettings.mTrace) {
      std::printf("%s", mLine);
      mPending = false;
    }
  }
  ClosePeriod();
  return count;
}

void KSamplingLoop::ClosePeriod() {
  if (mLogFile != nullptr) {
    if (std::fclose(mLogFile) != 0 && !mWriteFailed)
      std::printf("log file \"%s\" not written\n", mLogName);
    mLogFile = nullptr;
  }
  if (mPending) {
    std::printf("%s", mLine);
    mPending = false;
  }
  uint32_t overwritten = mServer.Overwritten();
  if (overwritten != mOverwrittenReported) {
    std::printf("ring buffer overflow: %u frames lost\n", overwritten - mOverwrittenReported);
    mOverwrittenReported = overwritten;
  }
  uint32_t dropped = mServer.DriverDropped();
  if (dropped != mDroppedReported) {
    std::printf("receive queue overflow: %u frames lost\n", dropped - mDroppedReported);
    mDroppedReported = dropped;
  }
  std::fflush(stdout);
}

int KSamplingLoop::PauseSteps(time_t start, time_t now) const {
  long long steps = static_cast<long long>(start) - static_cast<long long>(now) + mSettings.mSampleTime;
  if (steps > mSettings.mSampleTime)
    steps = mSettings.mSampleTime; // the clock went back
  steps *= 10;
  if (steps < 1)
    steps = 1;
  return static_cast<int>(steps);
}

int KSamplingLoop::Pace(time_t periodStart) {
  int steps = PauseSteps(periodStart, std::time(nullptr));
  int made = 0;
  while (steps > 0 && !mServer.RingBufferFull() && !StopRequested()) {
    // One 100 ms step, looked at every 10 ms: a busy bus fills the ring's
    // last quarter in a fraction of a second.
    for (int slice = 0; slice < 10 && !mServer.RingBufferFull() && !StopRequested(); ++slice)
      NCanUtils::SleepMs(10);
    --steps;
    ++made;
  }
  return made;
}

void KSamplingLoop::Run() {
  while (!mServer.Terminated()) {
    time_t start = std::time(nullptr);
    RunPeriod();
    Pace(start);
  }
  // Whatever the capture thread stored before it stopped is still written,
  // unless the outputs have failed.
  mServer.WaitFor();
  if (!mOutputFailed && mServer.RingCount() > 0)
    RunPeriod();
}

// ---------------------------------------------------------------------------
// Entry point

bool ReadXmlSettings(const KXmlNode& root, KRunSettings& s) {
  s.mMySql = root.Find("mysql") != nullptr;
  s.mDevice = root.FindNodeAttr("device", "Name");
  if (!s.mMySql) {
    s.mPutHeader = root.FindNodeAttr("mysql_put", "Name");
    if (s.mPutHeader == nullptr)
      s.mUrlTemplate = root.FindNodeAttr("template", "Name");
  }
  if (s.mPutHeader != nullptr || s.mUrlTemplate != nullptr) {
    s.mFileLogging = false;
    s.mServerAddress = root.FindNodeAttr("ip_address", "Name");
    if (s.mServerAddress == nullptr) {
      std::printf("ip_address is missing in xml\n");
      return false;
    }
    std::printf("http output is not supported yet\n");
    return false;
  }
  s.mSampleTimeText = root.FindNodeAttr("sleep", "Name");
  if (!s.mMySql) {
    s.mFileName = root.FindNodeAttr("log_file", "Name");
    s.mFileLogging = s.mFileName != nullptr;
  }
  s.mCsv = false;
  s.mSampleTime = 104;
  return true;
}

int TellTrailMain(int argc, char** argv) {
  KRunSettings s;

  // A last argument "trace" is the trace switch, never a positional argument.
  if (argc > 0 && std::strcmp(argv[argc - 1], "trace") == 0) {
    s.mTrace = true;
    --argc;
  }
  int count = argc > 1 ? argc - 1 : 0;
  auto arg = [&](int i) -> const char* { return i <= count ? argv[i] : nullptr; };
  s.mDevice = arg(1);
  s.mSampleTimeText = arg(2);
  s.mFileName = arg(3);
  s.mOutputKind = arg(4);

  std::size_t firstLength = s.mDevice != nullptr ? std::strlen(s.mDevice) : 0;
  s.mXml = count >= 1 && firstLength > 4 && std::strcmp(s.mDevice + firstLength - 4, ".xml") == 0;
  s.mCsv = !s.mXml && s.mOutputKind != nullptr && std::strcmp(s.mOutputKind, "csv") == 0;
  s.mMySql = !s.mXml && s.mOutputKind != nullptr && std::strcmp(s.mOutputKind, "mysql") == 0;
  s.mFileLogging = s.mFileName != nullptr && !s.mMySql && !s.mXml;
  s.mSampleTime = 10;

  std::printf("can-bus data logger\n%s\n\n", cVersionLine);

  KParser parser;
  KXmlNode root;

  if (count >= 1) {
    if (s.mXml) {
      if (!parser.ParseFile(s.mDevice, &root))
        return -1;
      if (count >= 2) {
        std::printf("too much parameters\n\n");
        s.mCsv = false;
        s.mMySql = false;
        s.mFileLogging = false;
        count = 1;
      }
    } else
if (std::strncmp(s.mDevice, "can", 3) != 0 && std::strncmp(s.mDevice, "tty", 3) != 0) {
      std::printf("first parameter must begin with \"can\", \"tty\" or end with \".xml\"\n\n");
      count = 1;
    }
  }
  s.mArgCount = count;
  if (count < 2)
    PrintUsage();

  if (s.mXml && !ReadXmlSettings(root, s))
    return -1;
  if (s.mMySql) {
    std::printf("mysql output is not supported yet\n");
    return -1;
  }
  const char* mySqlHost = "localhost";

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
    if (std::strlen(s.mFileName) > static_cast<std::size_t>(cMaxFileNameLength)) {
      std::printf("log file name too long (more than %d characters)\n", cMaxFileNameLength);
      RemoveStopHandlers();
      return -1;
    }
    NCanUtils::ArtTime(frame.mDays, frame.mMs);
    currentDay = frame.mDays;
    SetLogFilename(s.mFileName, currentDay, logName);
  }

  server.Init(s.mDevice);

  std::printf("device: %s\n", server.GetDev());
  if (s.mArgCount >= 3 && !s.mFileLogging)
    std::printf("mysql host: %s\n", mySqlHost);
  std::printf("sample time: %d sec\n", s.mSampleTime);
  if (s.mCsv)
    std::printf("use comma separated values\n");
  std::printf("\n");
  std::fflush(stdout);

  server.Resume();

  KSamplingLoop loop(s, server, frame, currentDay, logName);
  loop.Run();

  // A run that ended by itself lingers a second before it says so; a stop
  // signal (also one that comes during that second) cuts it short. The
  // handlers stay until the termination line is out, so a late signal
  // cannot kill the process without it.
  for (int slice = 0; slice < 100 && !StopRequested(); ++slice)
    NCanUtils::SleepMs(10);

  char time[cTimeTextSize];
  NCanUtils::ArtTime(frame.mDays, frame.mMs);
  NCanUtils::PrintTime(frame, time, false);
  std::printf("%s terminated\n", time);
  std::fflush(stdout);
  RemoveStopHandlers();
  return 0;
}
