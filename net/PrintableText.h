// Text that came from a server, made fit for the console and the journal:
// one line of printable characters, whatever the server sent.
#pragma once

#include <cstddef>

// Collects the bytes of a server's answer text, keeping the first cKept of
// them, and writes them as one printable line.
class KPrintableText {
public:
  enum : int {
    cKept = 200,
    // Room for the longest line Format writes: every byte escaped, the note.
    cLineSize = 4 * cKept + 48
  };

  KPrintableText() { Clear(); }
  void Clear();
  void Add(const char* data, std::size_t length);
  bool Empty() const { return mTotal == 0; }

  // Writes the kept bytes into `out` (at most `size` bytes with the NUL):
  // characters 0x20..0x7E as they are (a backslash doubled), every other
  // byte as \xHH; line ends and blanks at the end left out. An answer longer
  // than cKept gets " ... (<n> more bytes)".
  void Format(char* out, std::size_t size) const { Format(out, size, true); }

private:
  friend void PrintableText(const char*, std::size_t, char*, std::size_t);
  void Format(char* out, std::size_t size, bool trimEnd) const;

  char mKept[cKept];
  std::size_t mLength;
  std::size_t mTotal;
};

// One printable line of the `length` bytes at `data`, escaped as
// KPrintableText does (no more than cKept of them), blanks and line ends at
// the end included.
void PrintableText(const char* data, std::size_t length, char* out, std::size_t size);
