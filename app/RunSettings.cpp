#include "RunSettings.h"

#include <cstdio>
#include <cstring>

#include "KMySql.h"
#include "KXmlNodeList.h"
#include "NCanUtils.h"

namespace {

const char cUsage[] =
    "usage:\n"
    "telltrail <can dev> <sample time in sec> [ (<filename> | <mysql host>) [ csv | mysql ] ]\n"
    "  or\n"
    "telltrail <file.xml>\n"
    "\n"
    "example: telltrail can0 10 192.168.1.137 mysql\n"
    "or       telltrail can1 3600 canlog csv\n";

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
  s.mFileLogging = s.mFileName != nullptr && !s.mMySql && !s.mXml;
  s.mSampleTime = 10;
  s.mArgc = argc;
}

bool KnownDevicePrefix(const char* device) {
  return std::strncmp(device, "can", 3) == 0 || std::strncmp(device, "tty", 3) == 0;
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

bool ReadXmlSettings(const KXmlNode& root, KRunSettings& s, KMySql& mySql) {
  s.mMySql = root.Find("mysql") != nullptr;
  if (s.mMySql && !mySql.GetXmlParams(&root))
    return false;
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
