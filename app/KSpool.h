// The spool: frames that a database or web server could not take, kept on
// disk in arrival order until it takes them, across runs, crashes and power
// cuts.
//
// A directory of its own holds segment files of fixed-size records
// ("000000000001.spool" ...), each record one frame with a checksum, a small
// file "head" with the position of the oldest frame not yet delivered, and a
// "lock" file that one telltrail at a time holds. Frames are appended to the
// newest segment and synced to the disk before Append returns; delivered
// frames are dropped from the head, and segments that hold none are removed.
// A segment whose end was cut (a crash in the middle of a write) is read up
// to the damage, which is reported; a damaged record elsewhere costs that
// record only: it is skipped, counted and reported. A spool that would grow
// beyond its size drops its oldest frames and says how many. A folder removed,
// replaced (unmounted) or made read-only during the run is noticed at the
// next Append, Peek or head write: the frames lost with it are reported and
// counted, and the folder is made again where possible.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <sys/types.h>

#include "NCanUtils.h"

class KSpool {
public:
  enum : int {
    cRecordSize = 32,
    cHeaderSize = 16,
    cDefaultMaxMB = 256,
    cMaxMaxMB = 1024 * 1024 // 1 TB
  };

  KSpool();
  ~KSpool();
  KSpool(const KSpool&) = delete;
  KSpool& operator=(const KSpool&) = delete;

  // Creates the directory when it is missing (its parent must exist), takes
  // the lock and reads what an earlier run left. False, with the reason
  // printed, when the directory cannot be used or another process holds it.
  bool Open(const char* dir, long long maxBytes);
  void Close();
  bool IsOpen() const { return mOpen; }
  const char* Dir() const { return mDir.c_str(); }
  long long MaxBytes() const { return mMaxBytes; }

  // Frames waiting.
  long long Frames() const { return mFrames; }
  // Bytes the spool's files take.
  long long Bytes() const { return mBytes; }
  // Since Open: frames lost with a removed folder or an unreadable file, or
  // not written (all reported when it happened), and damaged records
  // skipped.
  long long Lost() const { return mLost; }
  long long Skipped() const { return mSkipped; }

  // Adds the frames at the end and syncs them to the disk. Oldest frames
  // dropped to stay within the size, and frames that could not be written
  // (a full disk), are reported and counted in `dropped` and `lost`; so are
  // the frames that were waiting in a folder removed since. False when
  // frames were lost.
  bool Append(const KCanFrame* frames, int count, long long& dropped, long long& lost);
  // Copies up to `max` frames from the head, without removing them; 0 when
  // none is waiting. Damaged records at the head are skipped (reported and
  // counted); the frames returned are the valid run after them, which the
  // next Drop removes.
  int Peek(KCanFrame* frames, int max);
  // Removes `count` frames from the head: they have been delivered. The
  // head's position reaches the disk at least once a second and when the
  // spool runs empty; after a crash at most that second's frames are
  // delivered again. Frames read (or appended) before their folder was lost
  // are not taken again from the frames that came after.
  void Drop(long long count);
  // Writes the head's position now; false (reported once) when it could
  // not.
  bool SyncHead();

private:
  struct KSegment {
    uint64_t mSeq;
    long long mRecords; // whole, valid records in the file
  };

  // The file name of a segment, and its path for messages.
  std::string SegmentName(uint64_t seq) const;
  std::string SegmentPath(uint64_t seq) const;
  bool ReadHead(uint64_t& seq, long long& index);
  // Drops the oldest segment; returns the frames that were waiting in it.
  long long DropOldestSegment();
  // Makes or opens the folder, takes the lock and reads what it holds.
  bool OpenFolder(bool report);
  // False when the folder was removed or replaced since it was opened (or
  // the newest segment was removed): the frames waiting in it are reported,
  // counted as lost (returned in `lost`) and the folder is opened again.
  bool CheckFolder(long long* lost);
  void CloseFiles();
  // Reads the valid records from the head on into `frames`, skipping the
  // damaged records before them.
  int ReadHeadRecords(KCanFrame* frames, int max);
  // Starts a new newest segment.
  bool NewSegment();
  bool OpenAppend();
  // Cuts what follows the last valid record of a segment (a torn tail,
  // reported); returns the records kept.
  long long CheckSegment(KSegment& segment);
  void RemoveEmptyHead();
  void Recount();

  std::string mDir;
  bool mOpen;
  bool mBroken;      // the folder could not be made again: tried at each call
  dev_t mDirDev;     // the folder opened, to notice it removed or replaced
  ino_t mDirIno;
  int mLockFd;
  int mDirFd;
  int mAppendFd;   // the newest segment, open for appending
  int mReadFd;     // the head segment
  uint64_t mReadSeq;
  long long mMaxBytes;
  long long mSegmentBytes; // a segment's largest size
  std::deque<KSegment> mSegments;
  long long mHead;   // index of the oldest waiting record in mSegments.front()
  long long mFrames;
  long long mBytes;
  uint64_t mNextSeq;
  long long mHeadSyncedMs; // steady time of the last head write; 0 never
  bool mHeadDirty;
  // Frames that were waiting when the folder was lost: what is dropped before
  // the next Peek (frames read or sent before the loss) is of them.
  long long mGoneToDrop;
  long long mLost;
  long long mSkipped;
  int mBrokenErr;   // why the folder could not be made again
  int mHeadErr;     // why the head could not be written last time; 0 written
};
