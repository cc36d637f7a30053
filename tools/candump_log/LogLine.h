// Reader of every line form a telltrail log may hold, for telltrail-export
// and candump-compare:
//   candump   (1796652309.123000) can0 180#3100FA000C
//   CSV       17,'2026-12-07',50709123,384,0,49,0,250,0,12,NULL,NULL,NULL
//   trace      17  7.12.2026 14:05:09.123       180 00 [5] 31 00 fa 00 0c   1....
//   table row 17<TAB>1796652309123<TAB>384<TAB>49<TAB>0 ... NULL (mariadb -B)
// Each form carries a different part of the frame: CSV and candump lines
// the whole identifier word; trace lines no flag bits at all (extended,
// remote and error frames look like standard data frames); table rows no
// extended flag (bit 31).
#pragma once

#include "CandumpLog.h"
#include "NCanUtils.h"

enum TCarriesEnum {
  caAll,       // candump and CSV lines
  caNoFlags,   // trace lines: identifier without flag bits
  caNoExtended // table rows: bit 31 dropped
};

struct KLogLine {
  KCanFrame mFrame;     // identifier word, length, data, receive time, counter
  int mMicro = 0;       // microseconds below mFrame's millisecond (candump lines)
  bool mHasCounter = false;
  TCarriesEnum mCarries = caAll;
  char mIface[KCandumpFrame::cIfaceSize] = ""; // candump lines: their interface
};

// Reads one line of any form; `why` says what is wrong with a clBad line,
// or why a clSkip line holds no frame (empty, CAN FD).
TCandumpLineEnum ParseLogLine(const char* line, KLogLine& out, const char*& why);

// One row of the table can_log: counter, timestamp (ms since 1970),
// can_id, d0 .. d7 as texts, null for SQL NULL. False when a field is not
// a number in its range or the data bytes do not end in NULLs.
bool ParseTableRow(const char* const fields[11], KLogLine& out);
