// Where the libraries' lines for the person at the console go: their
// failures ("socket error (connect) 111: ...", "mysql_query: ...", "serial
// port ... lost"), the HTTP trace and the server's answers. The libraries
// form the text; the application decides where it is written (SetWriter)
// and when a caller's failures are dropped (KSilence). The default writer, which telltrail's
// console is, puts the text on standard output, flushed at the end of
// every line.
#pragma once

#include <cstddef>

namespace NReport {

using TWriter = void (*)(const char* text, std::size_t length);

enum : int { cTextSize = 1024 }; // one formatted piece, at most

// Installs `writer` (nullptr: standard output) and returns the one before.
// Set before the threads that report start; safe to read from any thread.
TWriter SetWriter(TWriter writer);
// Formats and writes. A text longer than cTextSize - 1 characters is cut
// and ends in "...\n".
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// As Print, for a failure: dropped while the thread is silenced.
void Failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes `length` bytes as they are.
void Write(const char* text, std::size_t length);

// While one lives, the failures the thread that made it reports are
// dropped: the caller has said it already in its own words (a far side
// known to be away, whose every retry would repeat it). Results and the
// trace still show. Nests; other threads go on.
class KSilence {
public:
  explicit KSilence(bool silent = true);
  ~KSilence();
  KSilence(const KSilence&) = delete;
  KSilence& operator=(const KSilence&) = delete;

private:
  bool mSilent;
};

} // namespace NReport
