// The text forms of a frame: the trace and CSV lines of the console and the
// log file, the candump log line and the HTTP variables (its SQL forms are
// in FrameSql.cpp).
#include "NCanUtils.h"

#include "CalendarText.h"
#include "KTextOut.h"

using NCanUtils::UnixMs;

void KCanFrame::FormHttpVariables(char* out, std::size_t size) const {
  KTextOut t(out, size);
  t.Str("counter=");
  t.Signed(static_cast<int32_t>(mCounter & cNoBit31Mask));
  t.Str("&timestamp=");
  t.Signed(UnixMs(mDays, mMs));
  t.Str("&can_id=");
  t.Signed(static_cast<int32_t>(mId & cNoBit31Mask));
  for (int i = 0; i < SafeLen(); ++i) {
    t.Str("&d");
    t.Signed(i);
    t.Char('=');
    t.Signed(mData[i]);
  }
}

namespace NCanUtils {

void FormatFrame(const KCanFrame& frame, bool csv, char* out, std::size_t size) {
  KTextOut t(out, size);
  const int len = frame.SafeLen();
  if (csv) {
    // counter,'date',ms,id,flags,d0..d7 (NULL where the frame has no byte)
    t.Unsigned(frame.mCounter);
    t.Char(',');
    PutTime(t, frame.mDays, frame.mMs, true);
    t.Char(',');
    t.Unsigned(frame.mId);
    t.Char(',');
    t.Signed(frame.mFlags & 0xFF);
    for (int i = 0; i < 8; ++i) {
      t.Char(',');
      if (i < len)
        t.Signed(frame.mData[i]);
      else
        t.Str("NULL");
    }
    t.Char('\n');
    return;
  }
  // A frame that was never stamped (counter and day both 0) gets the short head.
  if (frame.mCounter != 0 || frame.mDays != 0) {
    t.Unsigned(frame.mCounter, 3);
    t.Str("  ");
    PutTime(t, frame.mDays, frame.mMs, false);
    t.Str("  ");
  }
  t.Unsigned(frame.mId & KCanFrame::cIdMask, 8, 1, 16);
  t.Char(' ');
  t.Unsigned(frame.mFlags & 0xFF, 0, 2, 16);
  t.Str(" [");
  t.Signed(frame.mLen);
  t.Str("] ");
  for (int i = 0; i < 8; ++i) {
    if (i < len) {
      t.Unsigned(frame.mData[i], 0, 2, 16);
      t.Char(' ');
    } else {
      t.Str("   ");
    }
  }
  t.Char(' ');
  for (int i = 0; i < len; ++i) {
    unsigned char c = frame.mData[i];
    t.Char(c >= 32 && c <= 126 ? static_cast<char>(c) : '.');
  }
  t.Char('\n');
}


void FormatCandump(const KCanFrame& frame, const char* iface, char* out, std::size_t size,
                   int microseconds) {
  KTextOut t(out, size);
  int64_t ms = UnixMs(frame.mDays, frame.mMs);
  if (ms < 0)
    ms = 0; // before 1970: no candump time
  t.Char('(');
  t.Unsigned(static_cast<uint64_t>(ms / 1000), 0, 10);
  t.Char('.');
  const int below = microseconds < 0 ? 0 : (microseconds > 999 ? 999 : microseconds);
  t.Unsigned(static_cast<uint64_t>(ms % 1000) * 1000 + static_cast<uint64_t>(below), 0, 6);
  t.Str(") ");
  if (iface == nullptr || *iface == 0)
    t.Char('-');
  for (const char* p = iface; p != nullptr && *p != 0; ++p)
    t.Char(static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7F ? '_' : *p);
  t.Char(' ');
  const uint32_t id = frame.mId;
  const int len = frame.SafeLen();
  if ((id & KCanFrame::cErrorFlag) != 0) {
    t.Hex(id & (KCanFrame::cErrorFlag | KCanFrame::cIdMask), 8);
  } else if ((id & KCanFrame::cExtendedFlag) != 0 || (id & KCanFrame::cIdMask) > 0x7FF) {
    t.Hex(id & KCanFrame::cIdMask, 8);
  } else {
    t.Hex(id, 3);
  }
  t.Char('#');
  if ((id & (KCanFrame::cRemoteFlag | KCanFrame::cErrorFlag)) == KCanFrame::cRemoteFlag) {
    t.Char('R');
    if (len > 0)
      t.Char(static_cast<char>('0' + len));
  } else {
    for (int i = 0; i < len; ++i)
      t.Hex(frame.mData[i], 2);
  }
  t.Char('\n');
}

} // namespace NCanUtils
