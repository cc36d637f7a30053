// The backlog's bookkeeping of a delivery in progress whose frames move to
// the spool under it, against a real spool, with and without the spool
// dropping its oldest frames to stay within its size: afterwards the spool
// holds exactly what was not delivered, in order (the newest part of it
// when frames had to be dropped), never a delivered frame and never fewer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "KBacklog.h"
#include "KSpool.h"

namespace {

std::vector<KCanFrame> Frames(uint32_t first, int count) {
  std::vector<KCanFrame> v(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    v[i].mCounter = first + static_cast<uint32_t>(i);
    v[i].mId = 0x100;
    v[i].mLen = 1;
  }
  return v;
}

std::vector<uint32_t> Counters(const std::vector<KCanFrame>& frames, std::size_t from) {
  std::vector<uint32_t> v;
  for (std::size_t i = from; i < frames.size(); ++i)
    v.push_back(frames[i].mCounter);
  return v;
}

// The spool's content, taken out of it.
std::vector<uint32_t> Held(KSpool& spool) {
  std::vector<uint32_t> v;
  KCanFrame piece[1000];
  for (int n; (n = spool.Peek(piece, 1000)) > 0; spool.Drop(n))
    for (int i = 0; i < n; ++i)
      v.push_back(piece[i].mCounter);
  return v;
}

// The last `n` of `v`.
std::vector<uint32_t> Newest(const std::vector<uint32_t>& v, std::size_t n) {
  return std::vector<uint32_t>(v.end() - static_cast<long>(std::min(n, v.size())), v.end());
}

struct KCase {
  long long spoolBytes;
  int live, handedOverAt, delivered, behind;
};

TEST(Backlog, DeliveredFramesLeaveTheSpoolOnceWhateverItDropped) {
  const KCase cases[] = {
      {64 << 20, 100, 30, 70, 50},       // nothing dropped
      {256 << 10, 6000, 1000, 3000, 6000}, // part of the handed-over rest dropped
      {256 << 10, 6000, 0, 6000, 9000},    // all of it, and older behind-frames
  };
  for (const KCase& c : cases) {
    SCOPED_TRACE(c.live);
    char dir[] = "/tmp/telltrail-backlog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    {
      KSpool spool;
      ASSERT_TRUE(spool.Open((std::string(dir) + "/spool").c_str(), c.spoolBytes));
      KBacklog backlog(&spool);
      auto chunk = std::make_unique<KBacklog::KChunk>();
      chunk->mFrames = Frames(1, c.live);
      backlog.Queue(std::move(chunk));
      std::unique_ptr<KBacklog::KChunk> live = backlog.StartLive();
      EXPECT_EQ(backlog.LiveProgress(c.handedOverAt), c.handedOverAt);
      const std::vector<KCanFrame> behind = Frames(c.live + 1, c.behind);
      backlog.SpoolBehind(behind.data(), c.behind);
      const long long held = spool.Frames();
      backlog.LiveProgress(c.delivered);
      EXPECT_EQ(backlog.EndLive(c.delivered), 0);

      // The spool held the newest `held` of the rest handed over and the
      // frames behind it; of those, the delivered ones are gone.
      std::vector<uint32_t> handed = Counters(live->mFrames, static_cast<std::size_t>(c.handedOverAt));
      const std::vector<uint32_t> after = Counters(behind, 0);
      handed.insert(handed.end(), after.begin(), after.end());
      std::vector<uint32_t> expect;
      for (uint32_t counter : Newest(handed, static_cast<std::size_t>(held)))
        if (counter > static_cast<uint32_t>(c.delivered))
          expect.push_back(counter);
      EXPECT_EQ(Held(spool), expect);
    }
    std::system((std::string("rm -rf '") + dir + "'").c_str());
  }
}

} // namespace
