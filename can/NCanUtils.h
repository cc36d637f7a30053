// CAN frame record, number parsers, day/ms time stamps and the text forms of
// a frame: the one header of the can library. Everything here is reentrant
// and allocates nothing.
//
// The library's files, one concern each:
//   KTextOut.h        bounded text builder (internal)
//   KCanFrame.cpp     the frame record and its Elster accessors
//   Numbers.cpp       number parsing
//   Calendar.cpp      day/ms time stamps, calendar arithmetic, time texts
//   FrameText.cpp     the frame's text forms: trace, CSV, candump, SQL, HTTP
//   KComfortFrame.cpp the comfort frame
//   KCan232Frame.cpp  the CAN232 adapter's frame line
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

#include "KCan232Frame.h"
#include "KCanFrame.h"
#include "KComfortFrame.h"

namespace NCanUtils {

// Days before each month in a year that is not a leap year, and the total.
extern const int cMonthDays[13];
// Days from 1970-01-01 to 2000-01-01.
enum : int { cEpochOffsetDays = 10957, cMsPerDay = 86400000 };

// Number parsing. Never skips white space, never allocates.
bool IsHexDigit(char c);
int GetHexDigit(char c);
int GetHex(const char*& p);
bool GetHexByte(const char*& p, unsigned char& b);
bool GetInt(const char*& p, int& v);
int GetInt(int& v, const char* s);

// Time and date.
void SleepMs(int ms);
void ArtTime(const timeval& tv, int& days, int& ms);
void ArtTime(int& days, int& ms);
void GetDateFromDays(int days, int& day, int& month, int& year);
bool GetArtDays(int year, int month, int day, int& days);
// Milliseconds since 1970-01-01 UTC of a day/ms time stamp.
int64_t UnixMs(int days, int ms);
void PrintDayTime(int ms, char* out, std::size_t size = cTimeTextSize);
void PrintTime(int days, int ms, char* out, bool sql, std::size_t size = cTimeTextSize);
void PrintTime(const KCanFrame& frame, char* out, bool sql, std::size_t size = cTimeTextSize);
void PrintMs(int days, int ms, char* out, std::size_t size = cTimeTextSize);
void PrintDateTime(int days, int ms, char* out, std::size_t size = cTimeTextSize);

// Trace line (csv false) or CSV line (csv true), ending in a line feed.
void FormatFrame(const KCanFrame& frame, bool csv, char* out, std::size_t size = cLineSize);

// The frame as a line of the candump log format, ending in a line feed:
//   (SSSSSSSSSS.uuuuuu) IFACE FRAME
// Unix seconds in 10 digits, microseconds in 6 (the record has
// milliseconds; `microseconds` 0..999 adds what lies below them); IFACE the
// interface name (blanks and control characters become '_', an empty or
// null name "-"); FRAME "ID#DATA": a standard identifier in 3 upper-case
// hexadecimal digits, an extended one (or one above 0x7FF without the
// extended flag, which 3 digits would cut) in 8, then two digits per data
// byte; a remote frame "ID#R" with its length digit when the length is
// above 0; an error frame 8 digits with 0x20000000 set, then its data.
void FormatCandump(const KCanFrame& frame, const char* iface, char* out,
                   std::size_t size = cLineSize, int microseconds = 0);

// The database output's statement for `count` frames: "INSERT IGNORE
// can_log(counter,timestamp,can_id,d0,...,d7[,source]) VALUES(...),...;",
// every data column named (NULL where a frame has no byte), the column
// source when `source` is not empty; cut at `size`.
void FormInsertStatement(const KCanFrame* frames, int count, const char* source, char* out,
                         std::size_t size);

} // namespace NCanUtils
