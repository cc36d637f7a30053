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
    : mLockFd(-1), mDirFd(-1), mAppendFd(-1), mReadFd(-1), mReadSeq(0), mMaxBytes(0),
      mSegmentBytes(0), mHead(0), mFrames(0), mBytes(0), mNextSeq(1), mHeadSyncedMs(0),
      mHeadDirty(false) {}

KSpool::~KSpool() { Close(); }

std::string KSpool::SegmentPath(uint64_t seq) const {
  char name[32];
  std::snprintf(name, sizeof(name), "/%012" PRIu64 "%s", seq, cSuffix);
  return mDir + name;
}

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

  if (mkdir(mDir.c_str(), 0750) != 0 && errno != EEXIST) {
    PrintFailure("not created", mDir, errno);
    return false;
  }
  mDirFd = open(mDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mDirFd < 0) {
    PrintFailure("not usable", mDir, errno);
    return false;
  }
  std::string lock = mDir + "/lock";
  mLockFd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (mLockFd < 0) {
    PrintFailure("not usable", mDir, errno);
    Close();
    return false;
  }
  if (flock(mLockFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      std::printf("spool %s is in use by another telltrail\n", mDir.c_str());
    else
      PrintFailure("not usable", mDir, errno);
    close(mLockFd);
    mLockFd = -1;
    Close();
    return false;
  }

  // The segments an earlier run left, oldest first.
  DIR* d = fdopendir(dup(mDirFd));
  if (d == nullptr) {
    PrintFailure("not readable", mDir, errno);
    Close();
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
    std::string path = SegmentPath(seq);
    struct stat st;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    unsigned char header[cHeaderSize], expected[cHeaderSize];
    Header(expected);
    bool valid = fd >= 0 && fstat(fd, &st) == 0 && st.st_size >= cHeaderSize &&
                 pread(fd, header, cHeaderSize, 0) == cHeaderSize &&
                 std::memcmp(header, expected, cHeaderSize) == 0;
    if (fd >= 0)
      close(fd);
    if (!valid) {
      // Not one of ours, or cut before its header was whole: nothing to read.
      std::printf("spool file %s holds no frames: removed\n", path.c_str());
      unlink(path.c_str());
      continue;
    }
    mSegments.push_back({seq, (st.st_size - cHeaderSize) / cRecordSize});
    mNextSeq = seq + 1;
  }

  uint64_t headSeq = 0;
  long long headIndex = 0;
  std::string headPath = mDir + "/head";
  const bool headExists = access(headPath.c_str(), F_OK) == 0;
  bool headRead = headExists && ReadHead(headSeq, headIndex);
  // New segments come after the head's, even when none is left.
  if (headRead && headSeq > mNextSeq)
    mNextSeq = headSeq;
  // Segments wholly before the head were delivered already.
  while (headRead && !mSegments.empty() && mSegments.front().mSeq < headSeq) {
    unlink(SegmentPath(mSegments.front().mSeq).c_str());
    mSegments.pop_front();
  }
  mHead = 0;
  if (headRead && !mSegments.empty() && mSegments.front().mSeq == headSeq)
    mHead = std::min(headIndex, mSegments.front().mRecords);
  else if (headExists && !headRead && !mSegments.empty())
    std::printf("spool %s: no position of the oldest frame; all kept frames are sent\n",
                mDir.c_str());
  // A crash can cut the newest segment's last write.
  if (!mSegments.empty())
    CheckSegment(mSegments.back(), mSegments.size() == 1 ? mHead : 0);
  RemoveEmptyHead();
  Recount();
  return true;
}

void KSpool::Close() {
  if (mLockFd >= 0 && mHeadDirty)
    SyncHead();
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
}

bool KSpool::ReadHead(uint64_t& seq, long long& index) {
  std::string path = mDir + "/head";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

void KSpool::SyncHead() {
  if (mDirFd < 0)
    return;
  unsigned char h[cHeadSize];
  uint64_t seq = mSegments.empty() ? mNextSeq : mSegments.front().mSeq;
  int64_t index = mSegments.empty() ? 0 : mHead;
  std::memcpy(h, &seq, 8);
  std::memcpy(h + 8, &index, 8);
  uint32_t crc = Crc32(h, 16);
  std::memcpy(h + 16, &crc, 4);
  std::string path = mDir + "/head";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
  // Twenty bytes at the start of the file are written whole or not at all
  // on the file systems in use; the checksum catches the rest.
  if (fd >= 0) {
    if (pwrite(fd, h, cHeadSize, 0) == cHeadSize)
      fdatasync(fd);
    close(fd);
  }
  mHeadDirty = false;
  mHeadSyncedMs = NowMs();
}

long long KSpool::CheckSegment(KSegment& segment, long long from) {
  std::string path = SegmentPath(segment.mSeq);
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0)
    return segment.mRecords;
  struct stat st;
  long long fileRecords = fstat(fd, &st) == 0 ? (st.st_size - cHeaderSize) / cRecordSize : 0;
  long long valid = from;
  unsigned char buffer[cIoRecords * cRecordSize];
  bool damaged = false;
  while (valid < fileRecords && !damaged) {
    long long n = std::min<long long>(cIoRecords, fileRecords - valid);
    ssize_t got = pread(fd, buffer, static_cast<std::size_t>(n * cRecordSize),
                        cHeaderSize + valid * cRecordSize);
    if (got != n * cRecordSize)
      break;
    for (long long i = 0; i < n; ++i) {
      KCanFrame f;
      if (!Decode(buffer + i * cRecordSize, f)) {
        damaged = true;
        break;
      }
      ++valid;
    }
  }
  long long cut = st.st_size - (cHeaderSize + valid * cRecordSize);
  if (cut > 0) {
    std::printf("spool file %s damaged after %lld frames: the rest (%lld bytes) dropped\n",
                path.c_str(), valid, cut);
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
    unlink(SegmentPath(mSegments.front().mSeq).c_str());
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
    unlink(SegmentPath(mSegments.front().mSeq).c_str());
    mSegments.clear();
    mHead = 0;
    mHeadDirty = true;
  }
}

long long KSpool::DropOldestSegment() {
  if (mSegments.empty())
    return 0;
  const KSegment& oldest = mSegments.front();
  long long waiting = oldest.mRecords - mHead;
  if (mReadFd >= 0 && mReadSeq == oldest.mSeq) {
    close(mReadFd);
    mReadFd = -1;
  }
  if (mAppendFd >= 0 && mSegments.size() == 1) {
    close(mAppendFd);
    mAppendFd = -1;
  }
  unlink(SegmentPath(oldest.mSeq).c_str());
  mSegments.pop_front();
  mHead = 0;
  mHeadDirty = true;
  Recount();
  return waiting > 0 ? waiting : 0;
}

bool KSpool::NewSegment() {
  if (mAppendFd >= 0) {
    fdatasync(mAppendFd);
    close(mAppendFd);
    mAppendFd = -1;
  }
  uint64_t seq = mNextSeq;
  std::string path = SegmentPath(seq);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0)
    return false;
  unsigned char header[cHeaderSize];
  Header(header);
  if (!WriteAll(fd, header, cHeaderSize)) {
    int err = errno;
    close(fd);
    unlink(path.c_str());
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
  std::string path = SegmentPath(mSegments.back().mSeq);
  mAppendFd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  return mAppendFd >= 0;
}

bool KSpool::Append(const KCanFrame* frames, int count, long long& dropped, long long& lost) {
  dropped = 0;
  lost = 0;
  if (!IsOpen() || count <= 0)
    return IsOpen();
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
  while (!mSegments.empty() && mBytes + static_cast<long long>(count) * cRecordSize + cHeaderSize > mMaxBytes)
    dropped += DropOldestSegment();

  unsigned char buffer[cIoRecords * cRecordSize];
  int done = 0;
  int err = 0;
  while (done < count) {
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
  if (mAppendFd >= 0 && fdatasync(mAppendFd) != 0 && err == 0 && done > 0)
    err = errno;
  if (dropped > 0)
    std::printf("spool %s full (%lld MB): %lld oldest frames dropped\n", mDir.c_str(),
                mMaxBytes >> 20, dropped);
  if (done < count) {
    lost = count - done;
    char reason[128];
    NCanUtils::ErrnoText(err, reason, sizeof(reason));
    std::printf("spool %s not written: %s: %lld frames lost\n", mDir.c_str(), reason, lost);
  }
  if (mHeadDirty)
    SyncHead();
  return lost == 0;
}

int KSpool::Peek(KCanFrame* frames, int max) {
  while (!mSegments.empty()) {
    KSegment& segment = mSegments.front();
    if (mHead >= segment.mRecords) {
      if (mSegments.size() == 1)
        return 0;
      RemoveEmptyHead();
      continue;
    }
    if (mReadFd < 0 || mReadSeq != segment.mSeq) {
      if (mReadFd >= 0)
        close(mReadFd);
      mReadSeq = segment.mSeq;
      mReadFd = open(SegmentPath(segment.mSeq).c_str(), O_RDONLY | O_CLOEXEC);
    }
    // Whole valid records from the head, up to `max`, within this segment.
    int valid = 0;
    const int wanted = static_cast<int>(std::min<long long>(max, segment.mRecords - mHead));
    unsigned char buffer[cIoRecords * cRecordSize];
    bool damaged = mReadFd < 0;
    while (valid < wanted && !damaged) {
      int n = std::min(wanted - valid, static_cast<int>(cIoRecords));
      ssize_t got = pread(mReadFd, buffer, static_cast<std::size_t>(n) * cRecordSize,
                          cHeaderSize + (mHead + valid) * cRecordSize);
      int i = 0;
      while (i < n && (i + 1) * cRecordSize <= got && Decode(buffer + i * cRecordSize, frames[valid + i]))
        ++i;
      valid += i;
      damaged = i < n;
    }
    if (valid > 0)
      return valid;
    // Damaged (or unreadable) from the head on: the rest of this segment is
    // dropped, with a message.
    long long before = segment.mRecords;
    CheckSegment(segment, mHead);
    if (segment.mRecords > mHead)
      segment.mRecords = mHead; // unreadable, not damaged: no use either
    mFrames -= before - segment.mRecords;
    mBytes -= (before - segment.mRecords) * cRecordSize;
  }
  return 0;
}

void KSpool::Drop(long long count) {
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
  if (mHeadDirty && (mFrames == 0 || NowMs() - mHeadSyncedMs >= cHeadSyncMs))
    SyncHead();
}
