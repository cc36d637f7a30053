// Counts the CAN frames that arrive on a SocketCAN interface, per identifier,
// until the end frame (identifier 0x7FF, no data), then prints one line
// "<identifier in hex> <count>" per identifier. Used by the guest smoke test as
// a dynamically linked C++ receiver beside candump.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

int main(int argc, char** argv)
{
  const char* dev = argc > 1 ? argv[1] : "can0";
  int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
  if (s < 0) {
    std::printf("can_count: socket: %s\n", std::strerror(errno));
    return 2;
  }
  ifreq ifr {};
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", dev);
  sockaddr_can addr {};
  addr.can_family = AF_CAN;
  if (ioctl(s, SIOCGIFINDEX, &ifr) < 0) {
    std::printf("can_count: no interface %s: %s\n", dev, std::strerror(errno));
    return 2;
  }
  addr.can_ifindex = ifr.ifr_ifindex;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    std::printf("can_count: bind %s: %s\n", dev, std::strerror(errno));
    return 2;
  }
  std::map<canid_t, unsigned> counts;
  for (;;) {
    can_frame frame;
    ssize_t n = read(s, &frame, sizeof frame);
    if (n != static_cast<ssize_t>(sizeof frame)) {
      std::printf("can_count: read returned %zd: %s\n", n, std::strerror(errno));
      return 2;
    }
    if (frame.can_id == 0x7FF)
      break;
    ++counts[frame.can_id];
  }
  for (const auto& [id, count] : counts)
    std::cout << std::hex << id << std::dec << ' ' << count << '\n';
  close(s);
  return 0;
}
