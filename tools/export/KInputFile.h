// One input file of telltrail-export, read line by line: plain text, or
// compressed with gzip or zstd (told by its first bytes, not by its name)
// and read through the decompressor program (gzip -dc, zstd -dcq), so that
// a daily file compressed by telltrail-retention reads like the day it was.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

class KInputFile {
public:
  KInputFile() = default;
  ~KInputFile();
  KInputFile(const KInputFile&) = delete;
  KInputFile& operator=(const KInputFile&) = delete;

  // Opens the file; false, with a message on stderr, when it cannot be
  // read or its decompressor cannot be started.
  bool Open(const char* path);
  // The next line without its line feed (NUL bytes included); false at the
  // end. `whole` is false for a last line that has no line feed: one cut
  // by a crash or a power loss, not a line.
  bool ReadLine(std::string& line, bool& whole);
  // Ends the reading; false, with a message, when the decompressor failed
  // (a cut or damaged file) or a read failed.
  bool Close();
  // "plain", "gzip" or "zstd".
  const char* Kind() const { return mKind; }

private:
  std::string mPath;
  const char* mKind = "plain";
  FILE* mIn = nullptr;
  pid_t mChild = -1;
  char* mBuffer = nullptr;
  size_t mBufferSize = 0;
};
