// The run settings: what the command line (or the XML settings file) asks
// the logger to do.
#pragma once

#include <memory>

class KMySql;
struct KMqttSettings;
class KTcpCanClient;
class KXmlNode;

// Texts point into the argument vector or the settings tree; they are not
// copied.
struct KRunSettings {
  bool mTrace = false;
  bool mXml = false;
  bool mCsv = false;
  bool mMySql = false;
  bool mFileLogging = false;
  // Log file lines in the candump log format (the console keeps the trace
  // form): output kind "candump", or log_file Format="candump".
  bool mCandump = false;
  // The CAN232 adapter's bit rate command (0..8) from the bitrate key; -1:
  // the adapter's default.
  int mCan232BitRate = -1;
  const char* mDevice = nullptr;
  const char* mSampleTimeText = nullptr;
  const char* mFileName = nullptr;
  const char* mOutputKind = nullptr;
  const char* mPutHeader = nullptr;
  const char* mUrlTemplate = nullptr;
  const char* mServerAddress = nullptr;
  // The spool directory and its size in MB (text), from the settings file.
  const char* mSpoolDir = nullptr;
  const char* mSpoolMaxMB = nullptr;
  // The MQTT output's settings, when the settings file has <mqtt>.
  std::shared_ptr<const KMqttSettings> mMqtt;
  int mSampleTime = 10;
  // The argument count in effect, as C counts it: the program name included,
  // a trailing "trace" not. One means no positional argument.
  int mArgc = 0;
};

// Trailing "trace", the positional arguments and the switches they give.
void ReadArguments(int argc, char** argv, KRunSettings& s);

// True when argument 1 may name the device: it begins with "can", "tty" or
// "/" (a serial device named by its path).
bool KnownDevicePrefix(const char* device);

void PrintUsage();

// Sample time text: a decimal or 0x-hexadecimal number of seconds, 0 to
// 86400, with nothing after it. Numbers too large to be read without
// wrapping are refused.
bool ParseSampleTime(const char* text, int& seconds);

// The spool's size in MB: a decimal number from 1 to KSpool::cMaxMaxMB; absent
// gives KSpool::cDefaultMaxMB.
bool ParseSpoolSize(const char* text, long long& megabytes);

// Text made of digits and dots only is meant as an IPv4 address: true when
// it is one, or when the text is a name (anything else).
bool AddressOrName(const char* host);

// A client for the HTTP outputs: port 80 of the settings' ip_address,
// blocking, tracing with the trace switch.
std::unique_ptr<KTcpCanClient> MakeHttpClient(const KRunSettings& s);

// Takes the run settings from a parsed settings file: database (its
// parameters go into `mySql`, whose connection is tested unless there is a
// spool: then the entry point tests it), HTTP PUT batch or
// URL template with the server address (`client` is then created for port
// 80 of that address, blocking, tracing with the trace switch), device,
// sample time, log file. Every output the file names is taken (several run
// side by side). False, with the reason printed, when start-up must
// fail: a missing or too long ip_address, a PUT header too long for the
// batch, a URL template that is not one request line with exactly one "%s",
// an ip_address that is neither an IPv4 address nor a name.
bool ReadXmlSettings(const KXmlNode& root, KRunSettings& s, KMySql& mySql,
                     std::unique_ptr<KTcpCanClient>& client);
