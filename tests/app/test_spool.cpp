// The spool on a real file system: frames survive a reopen in order, a
// crash's cut or damaged record is read up to the damage, a full spool drops
// its oldest frames, one process at a time.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "KSpool.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::vector<KCanFrame> Frames(uint32_t first, int count) {
  std::vector<KCanFrame> frames(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    KCanFrame& f = frames[static_cast<std::size_t>(i)];
    f.mCounter = first + static_cast<uint32_t>(i);
    f.mDays = 9837;
    f.mMs = 1000 + i;
    f.mId = 0x123u;
    if (i % 3 == 0)
      f.mId |= KCanFrame::cExtendedFlag;
    if (i % 5 == 0)
      f.mId |= KCanFrame::cRemoteFlag;
    f.mLen = i % 9;
    f.mFlags = static_cast<uint32_t>(i % 7);
    for (int b = 0; b < 8; ++b)
      f.mData[b] = static_cast<unsigned char>(i + b);
  }
  return frames;
}

// Everything waiting, in order.
std::vector<uint32_t> Drain(KSpool& spool) {
  std::vector<uint32_t> counters;
  KCanFrame buffer[700];
  for (int n; (n = spool.Peek(buffer, 700)) > 0;) {
    for (int i = 0; i < n; ++i)
      counters.push_back(buffer[i].mCounter);
    spool.Drop(n);
  }
  return counters;
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
  std::vector<uint32_t> v;
  for (uint32_t c = first; c <= last; ++c)
    v.push_back(c);
  return v;
}

class SpoolTest : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/telltrail-spool-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    mDir = std::string(pattern) + "/spool";
  }
  void TearDown() override { std::system(("rm -rf '" + mDir.substr(0, mDir.rfind('/')) + "'").c_str()); }
  void Append(KSpool& spool, const std::vector<KCanFrame>& frames) {
    long long dropped = 0, lost = 0;
    EXPECT_TRUE(spool.Append(frames.data(), static_cast<int>(frames.size()), dropped, lost));
    mDropped += dropped;
  }
  std::string mDir;
  long long mDropped = 0;
};

TEST_F(SpoolTest, FramesSurviveAReopenWholeAndInOrder) {
  {
    KSpool spool;
    ASSERT_TRUE(spool.Open(mDir.c_str(), 8 << 20));
    Append(spool, Frames(0, 1500));
    KCanFrame some[200];
    ASSERT_EQ(spool.Peek(some, 200), 200);
    spool.Drop(200); // delivered before the end of the run
    KSpool second;
    CaptureStdout();
    EXPECT_FALSE(second.Open(mDir.c_str(), 8 << 20)) << "one process at a time";
    EXPECT_EQ(GetCapturedStdout(), "spool " + mDir + " is in use by another telltrail\n");
  }
  KSpool spool;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 8 << 20));
  EXPECT_EQ(spool.Frames(), 1300);
  std::vector<KCanFrame> sent = Frames(0, 1500);
  KCanFrame back[1];
  ASSERT_EQ(spool.Peek(back, 1), 1);
  const KCanFrame& f = sent[200];
  EXPECT_TRUE(back[0].mCounter == f.mCounter && back[0].mId == f.mId && back[0].mLen == f.mLen &&
              back[0].mFlags == f.mFlags && back[0].mDays == f.mDays && back[0].mMs == f.mMs &&
              back[0].EqualData(f));
  EXPECT_EQ(Drain(spool), Range(200, 1499));
  EXPECT_EQ(spool.Frames(), 0);
}

// What a crash or a power cut leaves at the end of the newest segment: a
// cut record, or a record whose bytes are not what was written.
TEST_F(SpoolTest, DamageIsReadUpToAndReported) {
  struct {
    const char* name;
    off_t cutBytes;   // taken off the end
    off_t garbleAt;   // from the end: one byte changed there (0: none)
    uint32_t last;    // last counter read back
  } cases[] = {
      {"cut record", 11, 0, 98},
      {"garbled record", 0, 40, 97},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + mDir + "'").c_str());
    {
      KSpool spool;
      ASSERT_TRUE(spool.Open(mDir.c_str(), 8 << 20));
      Append(spool, Frames(0, 100));
    }
    std::string segment = mDir + "/000000000001.spool";
    struct stat st;
    ASSERT_EQ(stat(segment.c_str(), &st), 0);
    if (c.cutBytes > 0) {
      ASSERT_EQ(truncate(segment.c_str(), st.st_size - c.cutBytes), 0);
    }
    if (c.garbleAt > 0) {
      int fd = open(segment.c_str(), O_WRONLY);
      ASSERT_EQ(pwrite(fd, "\xFF", 1, st.st_size - c.garbleAt), 1);
      close(fd);
    }
    KSpool spool;
    CaptureStdout();
    ASSERT_TRUE(spool.Open(mDir.c_str(), 8 << 20));
    std::string out = GetCapturedStdout();
    const std::string damage =
        "spool file " + segment + " damaged after " + std::to_string(c.last + 1) + " frames: the rest (";
    EXPECT_EQ(out.rfind(damage, 0), 0u) << out;
    EXPECT_EQ(Drain(spool), Range(0, c.last));
    // Appending goes on behind the damage.
    Append(spool, Frames(500, 3));
    EXPECT_EQ(Drain(spool), Range(500, 502));
  }
}

TEST_F(SpoolTest, FullSpoolDropsItsOldestFrames) {
  KSpool spool;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 1 << 20)); // segments of 128 KB
  CaptureStdout();
  for (uint32_t first = 0; first < 60000; first += 5000)
    Append(spool, Frames(first, 5000));
  std::string out = GetCapturedStdout();
  EXPECT_GT(mDropped, 0);
  EXPECT_NE(out.find("oldest frames dropped"), std::string::npos) << out;
  EXPECT_LE(spool.Bytes(), 1 << 20);
  EXPECT_EQ(spool.Frames() + mDropped, 60000);
  EXPECT_EQ(Drain(spool), Range(static_cast<uint32_t>(mDropped), 59999));
}

} // namespace
