#include "KSpool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ErrnoText.h"

namespace {

const char cMagic[8] = {'T', 'T', 'S', 'P', 'O', 'O', 'L', '1'};
const char cSuffix[] = ".spool";
// Records read or written in one system call.
enum : int { cIoRecords = 1024, cHeadSize = 20, cHeadSyncMs = 1000 };

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// CRC-32 (the polynomial of zip and Ethernet), table built once.
uint32_t Crc32(const unsigned char* data, std::size_t length) {
  static uint32_t table[256];
  static bool built = false;
  if (!built) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    built = true;
  }
  uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < length; ++i)
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// A record: counter, days, ms, identifier word, data, length, flags, and
// the checksum of the 28 bytes before it. Host byte order: a spool is read
// by the machine that wrote it.
void Encode(const KCanFrame& f, unsigned char* r) {
  std::memcpy(r, &f.mCounter, 4);
  std::memcpy(r + 4, &f.mDays, 4);
  std::memcpy(r + 8, &f.mMs, 4);
  std::memcpy(r + 12, &f.mId, 4);
  std::memcpy(r + 16, f.mData, 8);
  r[24] = static_cast<unsigned char>(f.SafeLen());
  r[25] = 0;
  uint16_t flags = static_cast<uint16_t>(f.mFlags & 0xFFFF);
  std::memcpy(r + 26, &flags, 2);
  uint32_t crc = Crc32(r, 28);
  std::memcpy(r + 28, &crc, 4);
}

bool Decode(const unsigned char* r, KCanFrame& f) {
  uint32_t crc;
  std::memcpy(&crc, r + 28, 4);
  if (crc != Crc32(r, 28) || r[24] > 8)
    return false;
  f.Init();
  std::memcpy(&f.mCounter, r, 4);
  std::memcpy(&f.mDays, r + 4, 4);
  std::memcpy(&f.mMs, r + 8, 4);
  std::memcpy(&f.mId, r + 12, 4);
  std::memcpy(f.mData, r + 16, 8);
  f.mLen = r[24];
  uint16_t flags;
  std::memcpy(&flags, r + 26, 2);
  f.mFlags = flags;
  return true;
}

void Header(unsigned char* h) {
  std::memcpy(h, cMagic, 8);
  uint32_t size = KSpool::cRecordSize, zero = 0;
  std::memcpy(h + 8, &size, 4);
  std::memcpy(h + 12, &zero, 4);
}

bool WriteAll(int fd, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      if (n == 0)
        errno = ENOSPC;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

void PrintFailure(const char* what, const std::string& path, int err) {
  char reason[128];
  NCanUtils::ErrnoText(err, reason, sizeof(reason));
  std::printf("spool %s %s: %s\n", path.c_str(), what, reason);
}

} // namespace

KSpool::KSpool()
    : mOpen(false), mBroken(false), mDirDev(0), mDirIno(0), mLockFd(-1), mDirFd(-1), mAppendFd(-1),
      mReadFd(-1), mReadSeq(0), mMaxBytes(0), mSegmentBytes(0), mHead(0), mFrames(0), mBytes(0),
      mNextSeq(1), mHeadSyncedMs(0), mHeadDirty(false), mGoneToDrop(0), mLost(0),
      mSkipped(0), mBrokenErr(0), mHeadErr(0) {}

KSpool::~KSpool() { Close(); }

std::string KSpool::SegmentName(uint64_t seq) const {
  char name[32];
  std::snprintf(name, sizeof(name), "%012" PRIu64 "%s", seq, cSuffix);
  return name;
}

std::string KSpool::SegmentPath(uint64_t seq) const { return mDir + "/" + SegmentName(seq); }

bool KSpool::Open(const char* dir, long long maxBytes) {
  Close();
  mDir = dir != nullptr ? dir : "";
  while (mDir.size() > 1 && mDir.back() == '/')
    mDir.pop_back();
  mMaxBytes = maxBytes;
  // Segments of an eighth of the size, so that a full spool drops an eighth
  // of its frames at a time.
  mSegmentBytes = std::min<long long>(std::max<long long>(maxBytes / 8, 64 * 1024), 16 << 20);
  mSegmentBytes = cHeaderSize + (mSegmentBytes - cHeaderSize) / cRecordSize * cRecordSize;
  mNextSeq = 1;
  mLost = 0;
  mSkipped = 0;
  mGoneToDrop = 0;
  mBroken = false;
  mHeadErr = 0;
  mOpen = OpenFolder(true);
  return mOpen;
}

bool KSpool::OpenFolder(bool report) {
  if (mkdir(mDir.c_str(), 0750) != 0 && errno != EEXIST) {
    mBrokenErr = errno;
    if (report)
      PrintFailure("not created", mDir, errno);
    return false;
  }
  struct stat st;
  mDirFd = open(mDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mDirFd < 0 || fstat(mDirFd, &st) != 0) {
    mBrokenErr = errno;
    if (report)
      PrintFailure("not usable", mDir, errno);
    CloseFiles();
    return false;
  }
  mDirDev = st.st_dev;
  mDirIno = st.st_ino;
  mLockFd = openat(mDirFd, "lock", O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (mLockFd < 0 || flock(mLockFd, LOCK_EX | LOCK_NB) != 0) {
    mBrokenErr = errno;
    if (report && mLockFd >= 0 && errno == EWOULDBLOCK)
      std::printf("spool %s is in use by another telltrail\n", mDir.c_str());
    else if (report)
      PrintFailure("not usable", mDir, errno);
    CloseFiles();
    return false;
  }

  // The segments an earlier run left, oldest first.
  DIR* d = fdopendir(dup(mDirFd));
  if (d == nullptr) {
    mBrokenErr = errno;
    if (report)
      PrintFailure("not readable", mDir, errno);
    CloseFiles();
    return false;
  }
  std::vector<uint64_t> seqs;
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    std::size_t len = std::strlen(name);
    if (len != 12 + sizeof(cSuffix) - 1 || std::strcmp(name + 12, cSuffix) != 0 ||
        std::strspn(name, "0123456789") != 12)
      continue;
    seqs.push_back(std::strtoull(name, nullptr, 10));
  }
  closedir(d);
  std::sort(seqs.begin(), seqs.end());
  for (uint64_t seq : seqs) {
    std::string name = SegmentName(seq);
    int fd = openat(mDirFd, name.c_str(), O_RDONLY | O_CLOEXEC);
    unsigned char header[cHeaderSize], expected[cHeaderSize];
    Header(expected);
    bool valid = fd >= 0 && fstat(fd, &st) == 0 && st.st_size >= cHeaderSize &&
                 pread(fd, header, cHeaderSize, 0) == cHeaderSize &&
                 std::memcmp(header, expected, cHeaderSize) == 0;
    if (fd >= 0)
      close(fd);
    if (!valid) {
      // Not one of ours, or cut before its header was whole: nothing to read.
      std::printf("spool file %s holds no frames: removed\n", SegmentPath(seq).c_str());
      unlinkat(mDirFd, name.c_str(), 0);
      continue;
    }
    mSegments.push_back({seq, (st.st_size - cHeaderSize) / cRecordSize});
    mNextSeq = std::max(mNextSeq, seq + 1);
  }

  uint64_t headSeq = 0;
  long long headIndex = 0;
  const bool headExists = faccessat(mDirFd, "head", F_OK, 0) == 0;
  bool headRead = headExists && ReadHead(headSeq, headIndex);
  // New segments come after the head's, even when none is left.
  if (headRead && mSegments.empty() && headSeq > mNextSeq)
    mNextSeq = headSeq;
  mHead = 0;
  if (headRead && !mSegments.empty()) {
    auto at = std::find_if(mSegments.begin(), mSegments.end(),
                           [headSeq](const KSegment& s) { return s.mSeq == headSeq; });
    if (headSeq > mSegments.back().mSeq || (at != mSegments.end() && headIndex > at->mRecords)) {
      // Not a position this spool has had: nothing is taken as delivered.
      std::printf("spool %s: the position of the oldest frame (file %llu, frame %lld) is past "
                  "the kept frames: ignored, all are sent\n",
                  mDir.c_str(), static_cast<unsigned long long>(headSeq), headIndex);
      mHeadDirty = true;
    } else {
      // Segments wholly before the head were delivered already.
      while (mSegments.front().mSeq < headSeq) {
        unlinkat(mDirFd, SegmentName(mSegments.front().mSeq).c_str(), 0);
        mSegments.pop_front();
      }
      if (mSegments.front().mSeq == headSeq)
        mHead = headIndex;
    }
  } else if (headExists && !headRead && !mSegments.empty()) {
    std::printf("spool %s: no position of the oldest frame; all kept frames are sent\n",
                mDir.c_str());
  }
  // A crash can cut the newest segment's last write.
  if (!mSegments.empty())
    CheckSegment(mSegments.back());
  if (!mSegments.empty())
    mHead = std::min(mHead, mSegments.front().mRecords);
  RemoveEmptyHead();
  Recount();
  if (mHeadDirty)
    SyncHead();
  return true;
}

void KSpool::CloseFiles() {
  for (int* fd : {&mAppendFd, &mReadFd, &mDirFd, &mLockFd}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
  mSegments.clear();
  mHead = 0;
  mFrames = 0;
  mBytes = 0;
  mReadSeq = 0;
  mHeadDirty = false;
}

void KSpool::Close() {
  if (mOpen && mLockFd >= 0 && mHeadDirty)
    SyncHead();
  CloseFiles();
  mOpen = false;
}

bool KSpool::CheckFolder(long long* lost) {
  struct stat now, opened;
  bool replaced = false, segmentGone = false;
  if (!mBroken) {
    replaced = stat(mDir.c_str(), &now) != 0 || fstat(mDirFd, &opened) != 0 || opened.st_nlink == 0 ||
               now.st_dev != mDirDev || now.st_ino != mDirIno;
    segmentGone = !replaced && mAppendFd >= 0 && fstat(mAppendFd, &opened) == 0 && opened.st_nlink == 0;
    if (!replaced && !segmentGone)
      return true;
  }
  const long long before = mFrames;
  if (!mBroken) {
    // What was read or sent before is at the head no more: dropping it
    // must not take the frames that follow.
    mGoneToDrop = before;
    CloseFiles();
  }
  const bool wasBroken = mBroken;
  mBroken = !OpenFolder(false);
  if (!wasBroken) {
    // A folder replaced holds none of the frames; one whose newest segment
    // was removed may still hold the older ones.
    long long gone = replaced ? before : std::max(0LL, before - mFrames);
    mLost += gone;
    if (lost != nullptr)
      *lost += gone;
    std::printf("spool %s %s during the run: %lld waiting frames lost with it\n", mDir.c_str(),
                replaced ? "removed or replaced" : "lost its newest file", gone);
    if (mBroken)
      PrintFailure("not made again", mDir, mBrokenErr);
  }
  if (!mBroken)
    std::printf("spool %s in use again\n", mDir.c_str());
  std::fflush(stdout);
  return false;
}

bool KSpool::ReadHead(uint64_t& seq, long long& index) {
  int fd = openat(mDirFd, "head", O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  unsigned char h[cHeadSize];
  bool ok = pread(fd, h, cHeadSize, 0) == cHeadSize;
  close(fd);
  uint32_t crc = 0;
  std::memcpy(&crc, h + 16, 4);
  if (!ok || crc != Crc32(h, 16))
    return false;
  std::memcpy(&seq, h, 8);
  int64_t i;
  std::memcpy(&i, h + 8, 8);
  index = i < 0 ? 0 : i;
  return true;
}

bool KSpool::SyncHead() {
  if (mDirFd < 0)
    return false;
  unsigned char h[cHeadSize];
  // The position within the oldest segment: the one that is read next.
  uint64_t seq = mSegments.empty() ? mNextSeq : mSegments.front().mSeq;
  int64_t index = mSegments.empty() ? 0 : mHead;
  std::memcpy(h, &seq, 8);
  std::memcpy(h + 8, &index, 8);
  uint32_t crc = Crc32(h, 16);
  std::memcpy(h + 16, &crc, 4);
  int fd = openat(mDirFd, "head", O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
  // Twenty bytes at the start of the file are written whole or not at all
  // on the file systems in use; the checksum catches the rest.
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (pwrite(fd, h, cHeadSize, 0) != cHeadSize || fdatasync(fd) != 0)
      err = errno != 0 ? errno : EIO;
    close(fd);
  }
  if (err != 0 && err != mHeadErr) {
    char reason[128];
    NCanUtils::ErrnoText(err, reason, sizeof(reason));
    std::printf("spool %s: position of the oldest frame not written: %s\n", mDir.c_str(), reason);
  }
  mHeadErr = err;
  mHeadDirty = err != 0;
  mHeadSyncedMs = NowMs();
  return err == 0;
}

long long KSpool::CheckSegment(KSegment& segment) {
  std::string name = SegmentName(segment.mSeq);
  int fd = openat(mDirFd, name.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0)
      close(fd);
    return segment.mRecords;
  }
  const long long fileRecords = (st.st_size - cHeaderSize) / cRecordSize;
  long long valid = 0; // just after the last valid record
  unsigned char buffer[cIoRecords * cRecordSize];
  for (long long at = 0; at < fileRecords;) {
    long long n = std::min<long long>(cIoRecords, fileRecords - at);
    ssize_t got = pread(fd, buffer, static_cast<std::size_t>(n * cRecordSize),
                        cHeaderSize + at * cRecordSize);
    if (got != n * cRecordSize)
      break;
    for (long long i = 0; i < n; ++i) {
      KCanFrame f;
      if (Decode(buffer + i * cRecordSize, f))
        valid = at + i + 1;
    }
    at += n;
  }
  long long cut = st.st_size - (cHeaderSize + valid * cRecordSize);
  if (cut > 0) {
    std::printf("spool file %s damaged after %lld frames: the rest (%lld bytes) dropped\n",
                SegmentPath(segment.mSeq).c_str(), valid, cut);
    if (ftruncate(fd, cHeaderSize + valid * cRecordSize) == 0)
      fdatasync(fd);
  }
  close(fd);
  segment.mRecords = valid;
  return valid;
}

void KSpool::Recount() {
  mFrames = 0;
  mBytes = 0;
  for (const KSegment& s : mSegments) {
    mFrames += s.mRecords;
    mBytes += cHeaderSize + s.mRecords * cRecordSize;
  }
  mFrames -= mHead;
}

// Removes segments that hold nothing waiting, except the newest, which
// takes the next frames.
void KSpool::RemoveEmptyHead() {
  while (mSegments.size() > 1 && mHead >= mSegments.front().mRecords) {
    if (mReadFd >= 0 && mReadSeq == mSegments.front().mSeq) {
      close(mReadFd);
      mReadFd = -1;
    }
    unlinkat(mDirFd, SegmentName(mSegments.front().mSeq).c_str(), 0);
    mSegments.pop_front();
    mHead = 0;
    mHeadDirty = true;
  }
  if (mSegments.size() == 1 && mHead >= mSegments.front().mRecords && mHead > 0) {
    // Everything delivered: the spool starts afresh.
    if (mAppendFd >= 0)
      close(mAppendFd);
    mAppendFd = -1;
    if (mReadFd >= 0)
      close(mReadFd);
    mReadFd = -1;
    unlinkat(mDirFd, SegmentName(mSegments.front().mSeq).c_str(), 0);
    mSegments.clear();
    mHead = 0;
    mHeadDirty = true;
  }
}

long long KSpool::DropOldestSegment() {
  if (mSegments.empty())
    return 0;
  const KSegment& oldest = mSegments.front();
  // Only what is still waiting: the frames before the head were delivered.
  long long waiting = std::max(0LL, oldest.mRecords - mHead);
  if (mReadFd >= 0 && mReadSeq == oldest.mSeq) {
    close(mReadFd);
    mReadFd = -1;
  }
  if (mAppendFd >= 0 && mSegments.size() == 1) {
    close(mAppendFd);
    mAppendFd = -1;
  }
  unlinkat(mDirFd, SegmentName(oldest.mSeq).c_str(), 0);
  mSegments.pop_front();
  mHead = 0;
  mHeadDirty = true;
  Recount();
  return waiting;
}

bool KSpool::NewSegment() {
  if (mAppendFd >= 0) {
    fdatasync(mAppendFd);
    close(mAppendFd);
    mAppendFd = -1;
  }
  uint64_t seq = mNextSeq;
  std::string name = SegmentName(seq);
  int fd = openat(mDirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0)
    return false;
  unsigned char header[cHeaderSize];
  Header(header);
  if (!WriteAll(fd, header, cHeaderSize)) {
    int err = errno;
    close(fd);
    unlinkat(mDirFd, name.c_str(), 0);
    errno = err;
    return false;
  }
  // The new name must survive a power cut as well as its contents.
  fsync(mDirFd);
  mAppendFd = fd;
  mSegments.push_back({seq, 0});
  mNextSeq = seq + 1;
  mBytes += cHeaderSize;
  return true;
}

bool KSpool::OpenAppend() {
  if (mAppendFd >= 0)
    return true;
  if (mSegments.empty())
    return NewSegment();
  mAppendFd = openat(mDirFd, SegmentName(mSegments.back().mSeq).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  return mAppendFd >= 0;
}

bool KSpool::Append(const KCanFrame* frames, int count, long long& dropped, long long& lost) {
  dropped = 0;
  lost = 0;
  if (!mOpen || count <= 0)
    return mOpen;
  CheckFolder(&lost);
  const long long lostWithFolder = lost;
  // More frames than the whole spool holds: the newest of them.
  long long room = (mMaxBytes - 2 * cHeaderSize) / cRecordSize;
  if (room < 1)
    room = 1;
  if (count > room) {
    dropped += count - room;
    frames += count - room;
    count = static_cast<int>(room);
  }
  // Room within the size: the oldest segments go.
  while (!mBroken && !mSegments.empty() &&
         mBytes + static_cast<long long>(count) * cRecordSize + cHeaderSize > mMaxBytes)
    dropped += DropOldestSegment();

  unsigned char buffer[cIoRecords * cRecordSize];
  int done = 0;
  int err = mBroken ? mBrokenErr : 0;
  while (done < count && !mBroken) {
    if (!OpenAppend() ||
        (mSegments.back().mRecords > 0 &&
         cHeaderSize + (mSegments.back().mRecords + 1) * cRecordSize > mSegmentBytes && !NewSegment())) {
      err = errno;
      // A full disk: older frames make room for newer ones.
      if ((err == ENOSPC || err == EDQUOT) && mSegments.size() > 1) {
        dropped += DropOldestSegment();
        continue;
      }
      break;
    }
    KSegment& segment = mSegments.back();
    long long fits = (mSegmentBytes - cHeaderSize) / cRecordSize - segment.mRecords;
    int n = static_cast<int>(std::min<long long>({count - done, cIoRecords, fits > 0 ? fits : 1}));
    for (int i = 0; i < n; ++i)
      Encode(frames[done + i], buffer + i * cRecordSize);
    if (!WriteAll(mAppendFd, buffer, static_cast<std::size_t>(n) * cRecordSize)) {
      err = errno;
      // Back to whole records, so that the next write lines up.
      if (ftruncate(mAppendFd, cHeaderSize + segment.mRecords * cRecordSize) != 0) {
        close(mAppendFd);
        mAppendFd = -1;
      }
      if ((err == ENOSPC || err == EDQUOT) && mSegments.size() > 1) {
        dropped += DropOldestSegment();
        continue;
      }
      break;
    }
    segment.mRecords += n;
    mFrames += n;
    mBytes += static_cast<long long>(n) * cRecordSize;
    done += n;
  }
  if (done > 0 && mAppendFd >= 0 && fdatasync(mAppendFd) != 0) {
    char reason[128];
    NCanUtils::ErrnoText(errno, reason, sizeof(reason));
    std::printf("spool %s not synced to the disk: %s: the last %d frames may not survive a power cut\n",
                mDir.c_str(), reason, done);
  }
  if (dropped > 0)
    std::printf("spool %s full (%lld MB): %lld oldest frames dropped\n", mDir.c_str(),
                mMaxBytes >> 20, dropped);
  if (done < count) {
    lost += count - done;
    mLost += count - done;
    char reason[128];
    NCanUtils::ErrnoText(err, reason, sizeof(reason));
    std::printf("spool %s not written: %s: %lld frames lost\n", mDir.c_str(), reason,
                lost - lostWithFolder);
  }
  if (mHeadDirty)
    SyncHead();
  return lost == 0;
}

int KSpool::ReadHeadRecords(KCanFrame* frames, int max) {
  unsigned char buffer[cIoRecords * cRecordSize];
  while (!mSegments.empty()) {
    KSegment& segment = mSegments.front();
    if (mHead >= segment.mRecords) {
      if (mSegments.size() == 1)
        return 0;
      RemoveEmptyHead();
      continue;
    }
    const std::string path = SegmentPath(segment.mSeq);
    if (mReadFd < 0 || mReadSeq != segment.mSeq) {
      if (mReadFd >= 0)
        close(mReadFd);
      mReadSeq = segment.mSeq;
      mReadFd = openat(mDirFd, SegmentName(segment.mSeq).c_str(), O_RDONLY | O_CLOEXEC);
      if (mReadFd < 0) {
        // Its frames cannot be had: counted and reported, never passed over
        // in silence.
        char reason[128];
        NCanUtils::ErrnoText(errno, reason, sizeof(reason));
        long long gone = segment.mRecords - mHead;
        std::printf("spool file %s not readable: %s: %lld frames lost\n", path.c_str(), reason, gone);
        mLost += gone;
        mHead = segment.mRecords;
        mHeadDirty = true;
        Recount();
        if (mSegments.size() == 1)
          RemoveEmptyHead();
        continue;
      }
    }
    // The valid run from the head, after the damaged records before it; a
    // record that cannot be read (short file, read error) counts as damaged.
    int got = 0;
    long long at = mHead, skipped = 0;
    while (got < max && at < segment.mRecords) {
      long long n = std::min<long long>(cIoRecords, segment.mRecords - at);
      if (got > 0)
        n = std::min<long long>(n, max - got);
      ssize_t read = pread(mReadFd, buffer, static_cast<std::size_t>(n * cRecordSize),
                           cHeaderSize + at * cRecordSize);
      if (read < 0 && n > 1)
        n = 1, read = pread(mReadFd, buffer, cRecordSize, cHeaderSize + at * cRecordSize);
      long long i = 0;
      for (; i < n && got < max; ++i) {
        if ((i + 1) * cRecordSize <= read && Decode(buffer + i * cRecordSize, frames[got]))
          ++got;
        else if (got == 0)
          ++skipped;
        else
          break;
      }
      at += i;
      if (i < n)
        break;
    }
    if (skipped > 0) {
      mHead += skipped;
      mFrames -= skipped;
      mSkipped += skipped;
      mHeadDirty = true;
      std::printf("spool file %s: %lld damaged records skipped, their frames lost\n", path.c_str(),
                  skipped);
    }
    if (got > 0)
      return got;
  }
  return 0;
}

int KSpool::Peek(KCanFrame* frames, int max) {
  if (!mOpen || max <= 0)
    return 0;
  CheckFolder(nullptr);
  // What is dropped from now on is of what this returns.
  mGoneToDrop = 0;
  if (mBroken)
    return 0;
  return ReadHeadRecords(frames, max);
}

void KSpool::Drop(long long count) {
  // Frames lost with the folder since they were read are not here to drop.
  long long gone = std::min(std::max(count, 0LL), mGoneToDrop);
  mGoneToDrop -= gone;
  count -= gone;
  while (count > 0 && !mSegments.empty()) {
    long long n = std::min(count, mSegments.front().mRecords - mHead);
    mHead += n;
    mFrames -= n;
    count -= n;
    mHeadDirty = true;
    if (mHead < mSegments.front().mRecords)
      break;
    if (mSegments.size() == 1) {
      RemoveEmptyHead();
      break;
    }
    RemoveEmptyHead();
  }
  Recount();
  if (mHeadDirty && mOpen && !mBroken && (mFrames == 0 || NowMs() - mHeadSyncedMs >= cHeadSyncMs) &&
      CheckFolder(nullptr))
    SyncHead();
}
