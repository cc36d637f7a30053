#include "RunSettings.h"

#include <cstdio>
#include <cstring>

#include <arpa/inet.h>

#include "AdapterSettings.h"
#include "KPutOutput.h"
#include "KSpool.h"
#include "KTemplateOutput.h"
#include "KMySql.h"
#include "KTcpCanClient.h"
#include "KXmlNodeList.h"
#include "LogFileSettings.h"
#include "MqttSettings.h"
#include "NCanUtils.h"

namespace {

const char cUsage[] =
    "usage:\n"
    "telltrail <can dev> <sample time in sec> [ (<filename> | <mysql host>) [ csv | candump | mysql ] ] [trace]\n"
    "  or\n"
    "telltrail <file.xml> [trace]\n"
    "\n"
    "example: telltrail can0 10 192.168.1.137 mysql\n"
    "or       telltrail can1 3600 canlog csv\n"
    "or       telltrail can0 1 canlog candump trace\n";

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

void ReadArguments(int argc, char** argv, KRunSettings& s) {
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
  s.mCandump = !s.mXml && s.mOutputKind != nullptr && std::strcmp(s.mOutputKind, "candump") == 0;
  s.mFileLogging = s.mFileName != nullptr && !s.mMySql && !s.mXml;
  s.mSampleTime = 10;
  s.mArgc = argc;
}

bool KnownDevicePrefix(const char* device) {
  return std::strncmp(device, "can", 3) == 0 || std::strncmp(device, "tty", 3) == 0 ||
         device[0] == '/';
}

void PrintUsage() { std::printf("%s\n", cUsage); }

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

bool ParseSpoolSize(const char* text, long long& megabytes) {
  if (text == nullptr) {
    megabytes = KSpool::cDefaultMaxMB;
    return true;
  }
  long long value = 0;
  const char* p = text;
  while (*p >= '0' && *p <= '9' && value <= KSpool::cMaxMaxMB)
    value = value * 10 + (*p++ - '0');
  if (p == text || *p != 0 || value < 1 || value > KSpool::cMaxMaxMB)
    return false;
  megabytes = value;
  return true;
}

bool AddressOrName(const char* host) {
  if (host == nullptr || host[0] == 0)
    return false;
  if (std::strspn(host, "0123456789.") != std::strlen(host))
    return true;
  in_addr address;
  return inet_pton(AF_INET, host, &address) == 1;
}

namespace {

const unsigned short cHttpPort = 80;

// Settings values are cut to cAttrValueSize - 1 characters by the settings
// tree, so a PUT header from the file always fits the batch; the length
// check below guards the batch should that ever change.
static_assert(KXmlNodeList::cAttrValueSize - 1 <= cMaxPutHeaderLength,
              "a PUT header from the settings file fits in HttpPut");

// The HTTP output's texts, checked before the client is made.
bool HttpSettingsUsable(const KRunSettings& s) {
  if (std::strlen(s.mServerAddress) > static_cast<std::size_t>(KIpSocket::cHostSize - 2)) {
    std::printf("ip_address/Name too long (more than %d characters)\n", KIpSocket::cHostSize - 2);
    return false;
  }
  // A mistyped address would otherwise be taken for a name that never
  // resolves.
  if (!AddressOrName(s.mServerAddress)) {
    std::printf("ip_address/Name is not a valid IPv4 address: %s\n", s.mServerAddress);
    return false;
  }
  if (s.mPutHeader != nullptr &&
      std::strlen(s.mPutHeader) > static_cast<std::size_t>(cMaxPutHeaderLength)) {
    std::printf("mysql_put/Name too long (more than %d characters)\n", cMaxPutHeaderLength);
    return false;
  }
  if (s.mUrlTemplate != nullptr) {
    if (std::strlen(s.mUrlTemplate) > static_cast<std::size_t>(cRequestSize - 1)) {
      std::printf("template/Name too long (more than %d characters)\n", cRequestSize - 1);
      return false;
    }
    if (!UrlTemplateValid(s.mUrlTemplate)) {
      std::printf("template/Name refused: it must hold exactly one \"%%s\" for the frame's "
                  "variables and no other conversion (\"%%%%\" for a percent sign): %s\n",
                  s.mUrlTemplate);
      return false;
    }
  }
  return true;
}

} // namespace

std::unique_ptr<KTcpCanClient> MakeHttpClient(const KRunSettings& s) {
  // No connection yet: every exchange makes its own.
  std::unique_ptr<KTcpCanClient> client(new KTcpCanClient);
  client->mTrace = s.mTrace;
  client->SetBlockMode(bmBlocking);
  client->SetRemoteHost(s.mServerAddress);
  client->SetRemotePort(cHttpPort);
  return client;
}

bool ReadXmlSettings(const KXmlNode& root, KRunSettings& s, KMySql& mySql,
                     std::unique_ptr<KTcpCanClient>& client) {
  s.mSpoolDir = root.FindNodeAttr("spool", "Name");
  s.mSpoolMaxMB = root.FindNodeAttr("spool", "MaxMB");
  // Every output the file names runs: database, PUT batches, requests per
  // frame and the log file, side by side.
  s.mMySql = root.Find("mysql") != nullptr;
  // With a spool the connection is tested later: a database that cannot be
  // reached now is no reason not to start.
  if (s.mMySql && !(s.mSpoolDir != nullptr ? mySql.ReadXmlParams(&root) : mySql.GetXmlParams(&root)))
    return false;
  s.mDevice = root.FindNodeAttr("device", "Name");
  s.mPutHeader = root.FindNodeAttr("mysql_put", "Name");
  s.mUrlTemplate = root.FindNodeAttr("template", "Name");
  if (s.mPutHeader != nullptr || s.mUrlTemplate != nullptr) {
    s.mServerAddress = root.FindNodeAttr("ip_address", "Name");
    if (s.mServerAddress == nullptr || s.mServerAddress[0] == 0) {
      std::printf("ip_address is missing in xml\n");
      return false;
    }
    if (!HttpSettingsUsable(s))
      return false;
    client = MakeHttpClient(s);
  }
  s.mSampleTimeText = root.FindNodeAttr("sleep", "Name");
  std::shared_ptr<KMqttSettings> mqtt(new KMqttSettings);
  bool mqttPresent = false;
  if (!ReadMqttSettings(root, *mqtt, mqttPresent))
    return false;
  if (mqttPresent)
    s.mMqtt = mqtt;
  s.mFileName = root.FindNodeAttr("log_file", "Name");
  s.mFileLogging = s.mFileName != nullptr;
  s.mCsv = false;
  s.mSampleTime = 104;
  // Keys beyond the log file's name and the device's: the line form (and
  // the retention values, checked here, used by telltrail-retention), the
  // CAN232 adapter's bit rate.
  if (s.mFileLogging) {
    KLogFileSettings log;
    if (!ReadLogFileSettings(root, log))
      return false;
    s.mCsv = log.mForm == lfCsv;
    s.mCandump = log.mForm == lfCandump;
  }
  return ReadAdapterBitRate(root, s.mDevice, s.mCan232BitRate);
}
