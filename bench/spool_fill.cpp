// Fills a spool as a long outage on a saturated bus would: eight-byte frames
// stamped at 9009 frames/s going back from now, appended one sample period
// (9009 frames) at a time, each append synced to the disk as telltrail does.
// Prints what a spooled frame costs to write; with "drain", then delivers it
// as the forwarder does (a peek of BATCH frames, then a drop of them) and
// prints what reading costs and what the head's writes add per frame.
//
//   spool_fill DIR FRAMES [MAXMB [drain [BATCH]]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "KSpool.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: spool_fill DIR FRAMES [MAXMB [drain [BATCH]]]\n");
    return 2;
  }
  const long long total = std::atoll(argv[2]);
  const long long maxMB = argc > 3 ? std::atoll(argv[3]) : 4096;
  const int period = 9009;
  KSpool spool;
  if (total <= 0 || !spool.Open(argv[1], maxMB << 20))
    return 1;
  // Frames of the last total/9009 seconds, with running numbers from 1.
  int days, ms;
  NCanUtils::ArtTime(days, ms);
  long long startMs = static_cast<long long>(days) * 86400000LL + ms - total * 1000 / period;
  std::vector<KCanFrame> frames(period);
  auto start = std::chrono::steady_clock::now();
  for (long long done = 0; done < total;) {
    int n = static_cast<int>(total - done < period ? total - done : period);
    for (int i = 0; i < n; ++i) {
      KCanFrame& f = frames[static_cast<std::size_t>(i)];
      long long k = done + i;
      long long t = startMs + k * 1000 / period;
      f.mCounter = static_cast<uint32_t>(k + 1);
      f.mDays = static_cast<int>(t / 86400000LL);
      f.mMs = static_cast<int>(t % 86400000LL);
      f.mId = (k % 2 != 0) ? (KCanFrame::cExtendedFlag | static_cast<uint32_t>(k % 0x1FFFFFFF))
                           : static_cast<uint32_t>(k % 0x800);
      f.mLen = 8;
      for (int b = 0; b < 8; ++b)
        f.mData[b] = static_cast<unsigned char>(k >> (b * 4));
    }
    long long dropped = 0, lost = 0;
    if (!spool.Append(frames.data(), n, dropped, lost))
      return 1;
    done += n;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("spool write: %lld frames in %.2f s, %.0f ns per frame (%.0f frames/s), a sync per %d "
              "frames; %lld bytes on disk\n",
              total, seconds, seconds * 1e9 / static_cast<double>(total), total / seconds, period,
              spool.Bytes());
  if (argc < 5 || std::strcmp(argv[4], "drain") != 0)
    return 0;
  // Bytes this process handed to write(2): the head's writes while draining.
  auto written = [] {
    long long bytes = -1;
    if (FILE* f = std::fopen("/proc/self/io", "r")) {
      char line[128];
      while (std::fgets(line, sizeof(line), f) != nullptr)
        if (std::sscanf(line, "wchar: %lld", &bytes) == 1)
          break;
      std::fclose(f);
    }
    return bytes;
  };
  const int batch = argc > 5 ? std::atoi(argv[5]) : 1000;
  frames.resize(static_cast<std::size_t>(batch > 0 ? batch : 1));
  const long long before = written();
  long long drained = 0;
  start = std::chrono::steady_clock::now();
  for (int n; (n = spool.Peek(frames.data(), static_cast<int>(frames.size()))) > 0; drained += n)
    spool.Drop(n);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("spool drain: %lld frames in %.2f s, %.0f ns per frame (%.0f frames/s), peeks of %d; "
              "%.6f bytes written per frame\n",
              drained, seconds, seconds * 1e9 / static_cast<double>(drained > 0 ? drained : 1),
              drained / seconds, batch,
              static_cast<double>(written() - before) / static_cast<double>(drained > 0 ? drained : 1));
  return drained == total ? 0 : 1;
}
