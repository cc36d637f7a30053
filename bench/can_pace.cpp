// can_pace: sends CAN frames on a SocketCAN interface at a steady average
// rate, for the capture benchmarks. Frames go out in bursts every 10 ms
// (rate / 100 frames each, against absolute deadlines, so the average is
// exact even where single sleeps are coarse), with counting identifiers
// (0..0x7FF) and eight data bytes holding the frame's number. A full
// transmit queue is waited out, never skipped: every frame counted is sent.
//
//   can_pace IFACE FRAMES_PER_SECOND SECONDS
//
// Prints "sent N frames in S s (R frames/s)".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: can_pace IFACE FRAMES_PER_SECOND SECONDS\n");
    return 2;
  }
  const double rate = std::atof(argv[2]);
  const double seconds = std::atof(argv[3]);
  int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
  if (s < 0) {
    std::perror("can_pace: socket");
    return 2;
  }
  ifreq ifr;
  std::memset(&ifr, 0, sizeof(ifr));
  std::snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", argv[1]);
  if (ioctl(s, SIOCGIFINDEX, &ifr) < 0) {
    std::perror("can_pace: interface");
    return 2;
  }
  sockaddr_can addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.can_family = AF_CAN;
  addr.can_ifindex = ifr.ifr_ifindex;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
    std::perror("can_pace: bind");
    return 2;
  }

  timespec start, deadline;
  clock_gettime(CLOCK_MONOTONIC, &start);
  deadline = start;
  const long ticks = static_cast<long>(seconds * 100);
  unsigned long long sent = 0;
  for (long tick = 1; tick <= ticks; ++tick) {
    // Frames due by the end of this tick.
    unsigned long long due = static_cast<unsigned long long>(rate * tick / 100.0);
    while (sent < due) {
      can_frame f;
      std::memset(&f, 0, sizeof(f));
      f.can_id = static_cast<canid_t>(sent & 0x7FF);
      f.can_dlc = 8;
      std::memcpy(f.data, &sent, sizeof(f.data));
      if (write(s, &f, sizeof(f)) == static_cast<ssize_t>(sizeof(f))) {
        ++sent;
      } else if (errno == ENOBUFS || errno == EAGAIN) {
        pollfd p{s, POLLOUT, 0};
        poll(&p, 1, 1);
      } else {
        std::perror("can_pace: write");
        return 1;
      }
    }
    deadline.tv_nsec += 10000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_nsec -= 1000000000;
      ++deadline.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
  }
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  double took = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  std::printf("sent %llu frames in %.1f s (%.0f frames/s)\n", sent, took, sent / took);
  close(s);
  return 0;
}
