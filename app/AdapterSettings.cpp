#include "AdapterSettings.h"

#include <cstdio>
#include <cstring>

#include "KCan232.h"
#include "KXmlNodeList.h"

bool ParseBitRate(const char* text, long& bitsPerSecond) {
  if (text == nullptr || *text < '0' || *text > '9')
    return false;
  long value = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 100000000)
      return false;
  }
  if (*p == 'k' || *p == 'K') {
    value *= 1000;
    ++p;
  } else if (*p == 'M') {
    value *= 1000000;
    ++p;
  }
  if (*p != 0)
    return false;
  bitsPerSecond = value;
  return true;
}

bool ReadAdapterBitRate(const KXmlNode& root, const char* device, int& code) {
  const char* text = root.FindNodeAttr("bitrate", "Name");
  if (text == nullptr)
    return true;
  long rate = 0;
  const int found = ParseBitRate(text, rate) ? KCan232::BitRateCode(rate) : -1;
  if (found < 0) {
    std::printf("bitrate/Name refused: \"%s\" (a CAN232 adapter has 10k 20k 50k 100k 125k "
                "250k 500k 800k 1M)\n",
                text);
    return false;
  }
  code = found;
  if (KComm::IsSerialName(device))
    std::printf("CAN232 bit rate: %ld kbit/s (S%d)\n", rate / 1000, code);
  else
    std::printf("bitrate/Name ignored: the bit rate of a SocketCAN interface is set with "
                "\"ip link\"\n");
  return true;
}
