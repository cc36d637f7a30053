// Bytes per day of a candump-form log of a cyclic bus, every frame against
// logging on change (downsample Name="changes", Every 10 s and changes only),
// and what the down-sampler costs per frame. The bus: 40 identifiers with
// cycles of 10 ms to 1 s; 32 send the same bytes every cycle, 6 change
// their value every few seconds, 2 carry a counter that changes every frame.
// One simulated hour, scaled to a day.
//
//   downsample_bytes
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "KDownsampler.h"
#include "NCanUtils.h"

namespace {

struct KCyclic {
  uint32_t mId;
  int mCycleMs;
  int mChangeMs; // 0: never; 1: every frame; else the value's period
};

std::vector<KCyclic> Bus() {
  const int cycles[] = {10, 10, 10, 10, 20, 20, 20, 20, 20, 20, 20, 20, 50, 50,
                        50, 50, 50, 50, 50, 50, 100, 100, 100, 100, 100, 100, 100, 100,
                        100, 100, 500, 500, 500, 500, 500, 500, 1000, 1000, 1000, 1000};
  std::vector<KCyclic> bus;
  for (int i = 0; i < 40; ++i) {
    int change = 0;
    if (i == 25 || i == 38)
      change = 1;
    else if (i % 7 == 3)
      change = 3000 + 1000 * i;
    uint32_t id = i < 30 ? 0x100u + static_cast<uint32_t>(i) * 0x10u
                         : (KCanFrame::cExtendedFlag | (0x18FEF000u + static_cast<uint32_t>(i)));
    bus.push_back({id, cycles[i], change});
  }
  return bus;
}

} // namespace

int main() {
  const long long hourMs = 3600LL * 1000;
  const int day = 9837;
  const std::vector<KCyclic> bus = Bus();
  KDownsampler every10(10);
  KDownsampler changes(0);
  long long frames = 0, allBytes = 0, every10Bytes = 0, changesBytes = 0, every10Frames = 0,
            changesFrames = 0;
  double keepNs = 0;
  char line[cLineSize];
  KCanFrame f;
  f.mDays = day;
  f.mLen = 8;
  for (long long t = 0; t < hourMs; ++t) {
    for (const KCyclic& c : bus) {
      if (t % c.mCycleMs != 0)
        continue;
      long long value = c.mChangeMs == 0 ? 0 : c.mChangeMs == 1 ? t / c.mCycleMs : t / c.mChangeMs;
      f.mId = c.mId;
      f.mMs = static_cast<int32_t>(t);
      f.mCounter = static_cast<uint32_t>(frames++);
      for (int i = 0; i < 8; ++i)
        f.mData[i] = static_cast<unsigned char>(i == 0 ? value : (value >> 8) + 0x11 * i);
      NCanUtils::FormatCandump(f, "can0", line, sizeof(line));
      const long long bytes = static_cast<long long>(std::strlen(line));
      allBytes += bytes;
      auto start = std::chrono::steady_clock::now();
      const bool keep10 = every10.Keep(f);
      const bool keepChanges = changes.Keep(f);
      keepNs += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
      if (keep10) {
        every10Bytes += bytes;
        ++every10Frames;
      }
      if (keepChanges) {
        changesBytes += bytes;
        ++changesFrames;
      }
    }
  }
  const double perDay = 24.0 / (1024.0 * 1024.0);
  std::printf("cyclic bus: 40 identifiers, %lld frames per hour (%.0f frames/s)\n", frames,
              frames / 3600.0);
  std::printf("every frame:            %9.1f MB/day  (%lld frames/h)\n", allBytes * perDay, frames);
  std::printf("changes, Every=10:      %9.1f MB/day  (%lld frames/h)  %.1fx less\n",
              every10Bytes * perDay, every10Frames, static_cast<double>(allBytes) / every10Bytes);
  std::printf("changes only:           %9.1f MB/day  (%lld frames/h)  %.1fx less\n",
              changesBytes * perDay, changesFrames, static_cast<double>(allBytes) / changesBytes);
  std::printf("down-sampler: %.0f ns per frame (both rules, with the clock reads)\n",
              keepNs / frames);
  return 0;
}
