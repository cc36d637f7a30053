#include "KCanDriver.h"

#include <cstring>

bool KCanDriver::Init(const char* dev) {
  mDev[0] = 0;
  if (dev == nullptr || std::strlen(dev) >= sizeof(mDev))
    return false;
  std::memcpy(mDev, dev, std::strlen(dev) + 1);
  return true;
}
