// The SQL forms of frames, both in one place: the statement of one frame
// that a PUT batch carries to the receiver, and the multi-row statement the
// database output sends (and that rejected.sql keeps).
#include <cstdio>

#include "KTextOut.h"
#include "NCanUtils.h"

using NCanUtils::UnixMs;

void KCanFrame::FormMySqlInsert(char* out, std::size_t size) const {
  KTextOut t(out, size);
  int len = SafeLen();
  t.Str("INSERT can_log(counter,timestamp,can_id");
  for (int i = 0; i < len; ++i) {
    t.Str(",d");
    t.Signed(i);
  }
  t.Str(") VALUES(");
  t.Unsigned(mCounter & cNoBit31Mask);
  t.Char(',');
  t.Signed(UnixMs(mDays, mMs));
  t.Char(',');
  t.Unsigned(mId & cNoBit31Mask);
  for (int i = 0; i < len; ++i) {
    t.Char(',');
    t.Signed(mData[i]);
  }
  t.Str(");");
}

namespace NCanUtils {

void FormInsertStatement(const KCanFrame* frames, int count, const char* source, char* out, std::size_t size) {
  // "INSERT IGNORE can_log(<all columns>) VALUES(<row 1>),(<row 2>),...;":
  // one column list for every frame, so that the rows keep the frames'
  // order. A statement that does not fit `size` is cut there: once a piece
  // is cut, nothing more is written.
  if (size == 0)
    return;
  std::size_t used = 0;
  auto took = [&](int n) {
    used = n < 0 || used + static_cast<std::size_t>(n) >= size ? size : used + static_cast<std::size_t>(n);
  };
  took(std::snprintf(out, size, "INSERT IGNORE can_log(counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7%s) VALUES",
                     source[0] != 0 ? ",source" : ""));
  for (int i = 0; i < count && used < size; ++i) {
    const KCanFrame& f = frames[i];
    char time[cTimeTextSize];
    PrintMs(f.mDays, f.mMs, time);
    took(std::snprintf(out + used, size - used, "%s(%u,%s,%u", i > 0 ? "," : "",
                       f.mCounter & KCanFrame::cNoBit31Mask, time, f.mId & KCanFrame::cNoBit31Mask));
    const int len = f.SafeLen();
    for (int b = 0; b < 8 && used < size; ++b)
      took(b < len ? std::snprintf(out + used, size - used, ",%d", f.mData[b])
                   : std::snprintf(out + used, size - used, ",NULL"));
    if (used < size)
      took(source[0] != 0 ? std::snprintf(out + used, size - used, ",'%s')", source)
                          : std::snprintf(out + used, size - used, ")"));
  }
  if (used < size)
    std::snprintf(out + used, size - used, ";");
}

} // namespace NCanUtils
