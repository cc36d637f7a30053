// Frames a far side refuses on their own (not because it is away): kept in
// a file of the spool's folder, in candump form, from where they can be sent
// again once the cause is mended; an output with a form of its own for
// sending them again exactly (SQL statements, PUT lines) gets a second file
// in that form. Each frame is on the disk before it leaves the spool.
#pragma once

#include <string>

#include "KFrameOutput.h"
#include "NCanUtils.h"

class KRejectedFrames {
public:
  static constexpr const char* cFileName = "rejected.log";

  // `dir`: the spool's folder; `dev`: the interface named in the candump
  // lines. The output must outlive this.
  KRejectedFrames(const char* dir, const char* dev, const KFrameOutput& output);

  // Appends the frame to the files and syncs them; false (errno set) when
  // it could not be written.
  bool Keep(const KCanFrame& frame) const;
  // The candump file, for messages.
  const char* Path() const { return mPath.c_str(); }

private:
  bool AppendResendForm(const KCanFrame& frame) const;

  std::string mDir;
  std::string mPath;
  std::string mDev;
  const KFrameOutput& mOutput;
};
