// The spool on a real file system: frames survive a reopen in order, a
// crash's cut or damaged record is read up to the damage, a full spool drops
// its oldest frames, one process at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sched.h>
#include <sys/mount.h>
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

// Everything waiting (or the first `limit` frames), in order.
std::vector<uint32_t> Drain(KSpool& spool, long long limit = 1LL << 40) {
  std::vector<uint32_t> counters;
  KCanFrame buffer[700];
  for (int n; (n = spool.Peek(buffer, static_cast<int>(std::min<long long>(700, limit - counters.size())))) > 0;) {
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

// What a crash or a power cut leaves at the end of the newest segment (a
// cut record, a record whose bytes are not what was written) is cut off; a
// bad record before valid ones (bit rot) costs that record only.
TEST_F(SpoolTest, DamageIsReadUpToAndReported) {
  struct {
    const char* name;
    off_t cutBytes;   // taken off the end
    int garbled;      // record with one data byte changed (-1: none)
    const char* said; // after "spool file <segment>"
    uint32_t missing; // the counter not read back
  } cases[] = {
      {"cut record", 11, -1, " damaged after 99 frames: the rest (21 bytes) dropped\n", 99},
      {"garbled last record", 0, 99, " damaged after 99 frames: the rest (32 bytes) dropped\n", 99},
      {"garbled record in the middle", 0, 50, ": 1 damaged records skipped, their frames lost\n", 50},
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
    if (c.garbled >= 0) {
      int fd = open(segment.c_str(), O_WRONLY);
      ASSERT_EQ(pwrite(fd, "\x5A", 1, KSpool::cHeaderSize + c.garbled * KSpool::cRecordSize + 17), 1);
      close(fd);
    }
    KSpool spool;
    CaptureStdout();
    ASSERT_TRUE(spool.Open(mDir.c_str(), 8 << 20));
    std::vector<uint32_t> back = Drain(spool);
    EXPECT_EQ(GetCapturedStdout(), "spool file " + segment + c.said);
    std::vector<uint32_t> expected = Range(0, 99);
    expected.erase(expected.begin() + c.missing);
    EXPECT_EQ(back, expected);
    EXPECT_EQ(spool.Skipped(), c.missing != 99);
    // Appending goes on behind the damage.
    Append(spool, Frames(500, 3));
    EXPECT_EQ(Drain(spool), Range(500, 502));
  }
}

// Frames already delivered are not counted among those a full spool drops.
TEST_F(SpoolTest, FullSpoolDropsItsOldestFrames) {
  KSpool spool;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 1 << 20)); // segments of 128 KB
  CaptureStdout();
  std::vector<uint32_t> delivered;
  for (uint32_t first = 0; first < 60000; first += 5000) {
    Append(spool, Frames(first, 5000));
    if (first == 10000)
      delivered = Drain(spool, 7000);
  }
  std::string out = GetCapturedStdout();
  EXPECT_EQ(delivered, Range(0, 6999));
  EXPECT_GT(mDropped, 0);
  EXPECT_NE(out.find("oldest frames dropped"), std::string::npos) << out;
  EXPECT_LE(spool.Bytes(), 1 << 20);
  EXPECT_EQ(spool.Frames() + mDropped, 60000 - 7000);
  EXPECT_EQ(Drain(spool), Range(static_cast<uint32_t>(7000 + mDropped), 59999));
}

// Several segments waiting, the head in the middle of the oldest: a run that
// ends, and one that crashes (the folder as it was then), go on from the
// head, which reaches the disk within a second or so of delivered frames. A
// head from elsewhere, past what the spool holds, is ignored: all is sent.
TEST_F(SpoolTest, RestartsGoOnFromTheHead) {
  const std::string top = mDir.substr(0, mDir.rfind('/')), crashed = top + "/crashed", copy = top + "/copy";
  auto head = [this] {
    std::ifstream f(mDir + "/head");
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  long long waiting = 0;
  {
    KSpool spool;
    ASSERT_TRUE(spool.Open(mDir.c_str(), 1 << 20));
    Append(spool, Frames(0, 12000)); // three segments
    EXPECT_EQ(Drain(spool, 1000), Range(0, 999));
    // A frame delivered a millisecond, as by a slow far side.
    for (const std::string first = head(); head() == first && spool.Frames() > 0; usleep(1000))
      spool.Drop(1);
    ASSERT_GT(spool.Frames(), 0) << "the head written only when the spool ran empty";
    waiting = spool.Frames();
    ASSERT_EQ(std::system(("cp -a " + mDir + " " + crashed + " && cp -a " + mDir + " " + copy).c_str()), 0);
    EXPECT_EQ(Drain(spool, 500).size(), 500u);
  }
  struct {
    std::string dir;
    long long frames;
    const char* said;
  } cases[] = {{mDir, waiting - 500, ""}, {crashed, waiting, ""}, {copy, 12000, "is past the kept frames"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    if (c.dir == copy) { // with the head of the spool drained to its end
      ASSERT_EQ(std::system(("cp " + mDir + "/head " + copy).c_str()), 0);
    }
    KSpool spool;
    CaptureStdout();
    ASSERT_TRUE(spool.Open(c.dir.c_str(), 1 << 20));
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(*c.said ? out.find(c.said) != std::string::npos : out.empty()) << out;
    EXPECT_EQ(spool.Frames(), c.frames);
    EXPECT_EQ(Drain(spool), Range(static_cast<uint32_t>(12000 - c.frames), 11999));
  }
}

// A segment that cannot be read any more is counted and said, not passed
// over.
TEST_F(SpoolTest, AnUnreadableSegmentIsCounted) {
  KSpool spool;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 1 << 20));
  Append(spool, Frames(0, 9000)); // segments of 4095 frames
  const std::string second = mDir + "/000000000002.spool";
  ASSERT_EQ(unlink(second.c_str()), 0);
  CaptureStdout();
  std::vector<uint32_t> back = Drain(spool), expected = Range(0, 4094), third = Range(8190, 8999);
  expected.insert(expected.end(), third.begin(), third.end());
  EXPECT_EQ(back, expected);
  EXPECT_EQ(GetCapturedStdout(), "spool file " + second + " not readable: ENOENT (No such file or directory): 4095 frames lost\n");
  EXPECT_EQ(spool.Lost(), 4095);
}

// The folder removed, its segments removed, its file system unmounted, a
// read-only one in its place, then writable again, under a running spool:
// noticed at the next Append or Peek, the frames lost with it counted and
// said, the folder made again (and locked) as soon as it can be; the frames
// in flight then delivered are not taken off the frames that follow.
TEST_F(SpoolTest, AFolderGoneIsNoticedAndMadeAgain) {
  const std::string top = mDir.substr(0, mDir.rfind('/'));
  const bool mounts = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      mount("tmpfs", top.c_str(), "tmpfs", 0, "size=1m") == 0;
  const std::string gone = " during the run: 10 waiting frames lost with it|", ro = ": EROFS (Read-only file system)";
  struct {
    std::string action; // in the folder, or to its file system
    bool byPeek;        // noticed by Peek (or by Append)
    bool writable;      // after the action
    long long lost;
    std::string said;   // lines after "spool <folder> ", split by '|'
  } steps[] = {
      {"rm -rf ../spool", false, true, 10, "removed or replaced" + gone + "in use again|"},
      {"rm -rf ../spool", true, true, 10, "removed or replaced" + gone + "in use again|"},
      {"rm *.spool", false, true, 10, "lost its newest file" + gone + "in use again|"},
      {"umount", false, true, 10, "removed or replaced" + gone + "in use again|"},
      {"read-only", false, false, 20, "removed or replaced" + gone + "not made again" + ro + "|not written" + ro +
                                          ": 5 frames lost|not written" + ro + ": 5 frames lost|"},
      {"writable", false, true, 10, "not written" + ro + ": 10 frames lost|in use again|"},
  };
  KSpool spool;
  ASSERT_TRUE(spool.Open(mDir.c_str(), 8 << 20));
  for (const auto& st : steps) {
    if (!mounts && st.action[0] != 'r')
      GTEST_SKIP() << "the rest needs root and a mount namespace of its own to mount file systems";
    SCOPED_TRACE(st.action);
    CaptureStdout();
    long long dropped = 0, lost = 0, lostHere = 0, before = spool.Lost();
    spool.Append(Frames(0, 10).data(), 10, dropped, lost);
    KCanFrame inFlight[4];
    const int peeked = spool.Peek(inFlight, 4);
    int done = st.action == "umount"      ? umount2(top.c_str(), MNT_DETACH)
               : st.action == "read-only" ? mount("tmpfs", top.c_str(), "tmpfs", MS_RDONLY, "size=1m")
               : st.action == "writable"  ? mount(nullptr, top.c_str(), nullptr, MS_REMOUNT, "size=1m")
                                          : std::system(("cd " + mDir + " && " + st.action).c_str());
    ASSERT_EQ(done, 0);
    lostHere += lost;
    if (st.byPeek) {
      EXPECT_EQ(Drain(spool), std::vector<uint32_t>());
    } else {
      const bool written = spool.Append(Frames(100, 5).data(), 5, dropped, lost);
      EXPECT_EQ(written, lost == 0);
      lostHere += lost;
    }
    spool.Drop(peeked);
    spool.Append(Frames(200, 5).data(), 5, dropped, lost);
    lostHere += lost;
    std::string said = GetCapturedStdout(), expected;
    for (std::size_t at = 0, bar; (bar = st.said.find('|', at)) != std::string::npos; at = bar + 1)
      expected += "spool " + mDir + " " + st.said.substr(at, bar - at) + "\n";
    EXPECT_EQ(said, expected);
    EXPECT_EQ(spool.Lost() - before, st.lost);
    EXPECT_EQ(lostHere, st.byPeek ? 0 : st.lost) << "told by Append";
    std::vector<uint32_t> delivered = st.writable && !st.byPeek ? Range(100, 104) : std::vector<uint32_t>();
    if (st.writable)
      delivered.insert(delivered.end(), {200, 201, 202, 203, 204});
    EXPECT_EQ(Drain(spool), delivered);
    KSpool second;
    EXPECT_FALSE(second.Open(mDir.c_str(), 8 << 20)) << "locked again";
  }
  umount2(top.c_str(), MNT_DETACH);
}

} // namespace
