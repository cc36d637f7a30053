#include "Report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// A line on standard output reaches the journal (or the pipe of a test)
// when it is complete, not when the buffer is full.
void WriteStdout(const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stdout);
  if (text[length - 1] == '\n')
    std::fflush(stdout);
}

std::atomic<NReport::TWriter> gWriter{WriteStdout};
thread_local int gSilenced = 0;

} // namespace

NReport::TWriter NReport::SetWriter(TWriter writer) {
  return gWriter.exchange(writer != nullptr ? writer : WriteStdout);
}

namespace {

__attribute__((format(printf, 1, 0))) void Format(const char* format, va_list args) {
  char text[NReport::cTextSize];
  const int n = std::vsnprintf(text, sizeof(text), format, args);
  if (n < 0)
    return;
  std::size_t length = static_cast<std::size_t>(n);
  if (length >= sizeof(text)) {
    static const char cCut[] = "...\n";
    std::memcpy(text + sizeof(text) - sizeof(cCut), cCut, sizeof(cCut));
    length = sizeof(text) - 1;
  }
  NReport::Write(text, length);
}

} // namespace

void NReport::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Format(format, args);
  va_end(args);
}

void NReport::Failure(const char* format, ...) {
  if (gSilenced > 0)
    return;
  va_list args;
  va_start(args, format);
  Format(format, args);
  va_end(args);
}

void NReport::Write(const char* text, std::size_t length) {
  if (length > 0)
    gWriter.load()(text, length);
}

NReport::KSilence::KSilence(bool silent) : mSilent(silent) {
  if (mSilent)
    ++gSilenced;
}

NReport::KSilence::~KSilence() {
  if (mSilent)
    --gSilenced;
}
