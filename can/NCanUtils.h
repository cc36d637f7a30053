// CAN frame record, number parsers, day/ms time stamps and the text forms of
// a frame. Everything here is reentrant and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

// Capacity of the text buffers the callers hand in (characters including the
// terminating zero). Every formatter takes the size of its buffer and never
// writes beyond it; the defaults are the capacities the program uses.
enum : std::size_t {
  cLineSize = 256,   // frame line, SQL insert, HTTP variables
  cTimeTextSize = 64 // every time/date print form
};

// One CAN frame as it travels through the logger: running number, receive
// time (day/ms time stamp, UTC), identifier word with SocketCAN flag bits,
// length, flags byte and eight data bytes. A plain value type.
class KCanFrame {
public:
  enum : uint32_t {
    cExtendedFlag = 0x80000000u,
    cRemoteFlag = 0x40000000u,
    cErrorFlag = 0x20000000u,
    cIdMask = 0x1FFFFFFFu,
    cNoBit31Mask = 0x7FFFFFFFu,
    cRemoteOrErrorMask = 0x60000000u
  };

  uint32_t mCounter;
  int32_t mDays;
  int32_t mMs;
  uint32_t mId;
  int32_t mLen;
  uint32_t mFlags;
  unsigned char mData[8];

  KCanFrame() { Init(); }

  void Init();

  // Elster addressing carried in the data bytes.
  void InitElsterFrame(unsigned short sender, unsigned short receiver, unsigned short index);
  bool EqualData(const KCanFrame& other) const;
  bool IsAnswer(const KCanFrame& other) const;
  bool Changed(const KCanFrame& other) const;
  bool Supported() const;
  int Value() const;
  bool SetValue(unsigned short value);
  int Index() const;
  unsigned short ReceiverId() const;
  unsigned char ShortReceiverId() const;
  static unsigned char ShortId(unsigned short longId);
  unsigned char GetShortId() const;
  static unsigned short LongId(unsigned char shortId);
  void SetLongId(unsigned char shortId);

  // Reads up to eight data bytes from hexadecimal text ("31 00 fa", "31.00",
  // "3100fa"); true when the text ends after them (NUL, LF or CR).
  bool GetDataFromStream(const char* text);

  // "INSERT can_log(...) VALUES(...);" and "counter=..&timestamp=..&can_id=..".
  void FormMySqlInsert(char* out, std::size_t size = cLineSize) const;
  void FormHttpVariables(char* out, std::size_t size = cLineSize) const;

  // Number of data bytes that may be read: mLen clamped to 0..8.
  int SafeLen() const { return mLen < 0 ? 0 : (mLen > 8 ? 8 : mLen); }
};

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
void PrintDayTime(int ms, char* out, std::size_t size = cTimeTextSize);
void PrintTime(int days, int ms, char* out, bool sql, std::size_t size = cTimeTextSize);
void PrintTime(const KCanFrame& frame, char* out, bool sql, std::size_t size = cTimeTextSize);
void PrintMs(int days, int ms, char* out, std::size_t size = cTimeTextSize);
void PrintDateTime(int days, int ms, char* out, std::size_t size = cTimeTextSize);

// Trace line (csv false) or CSV line (csv true), ending in a line feed.
void FormatFrame(const KCanFrame& frame, bool csv, char* out, std::size_t size = cLineSize);

} // namespace NCanUtils

// An Elster CAN frame in the twelve-byte form the comfort relay exchanges:
//   0 sender group (identifier bits 7..10)   1 sender number (bits 0..3)
//   2 receiver group (high nibble of CAN data byte 0)
//   3 message type (low nibble of CAN data byte 0)
//   4..9 CAN data bytes 1..6
//   10, 11 checksum: the sum of bytes 0..9, high byte first
// Acknowledgements: bytes 0..9 all 0x55 (ok, optionally with a 16-bit value
// in bytes 8 and 9, low byte first) or all 0xAA (not ok).
class KComfortFrame {
public:
  enum : int { cSize = 12, cPayload = 10, cTextSize = 2 * cSize + 1 };
  // The init frame (sender 13/0, receiver group 13, type 1, index 0x0B) and
  // the value the ok frame answering it carries.
  static const KComfortFrame InitFrame;
  static const unsigned short InitId = 0x1BA5;

  int GetSum() const;
  int GetCheckSum() const;
  bool CheckSum() const;
  void SetCheckSum();

  // Comfort frame to a seven-byte CAN frame; the frame is filled in any
  // case, false when the checksum is wrong or the sender group's high
  // nibble is set.
  bool SetCanFrame(KCanFrame& frame) const;
  // CAN frame to comfort frame (a five-byte request gets the value bytes
  // 80 08); false unless the frame has 7 or 5 bytes and an 11-bit
  // identifier without flags. The bytes are filled in any case.
  bool GetCanFrame(const KCanFrame& frame);

  void SetOk(bool ok);
  void SetOkValue(unsigned int value);
  void SetInitOk();
  bool EqualData(const KComfortFrame& other) const;
  bool IsInitFrame() const;
  // 0 init frame, 1 read request, 2 write request, 3 anything else.
  int GetMsgType() const;

  // 24 lower-case hexadecimal digits (needs cTextSize bytes; a smaller
  // buffer gets as much as fits, terminated).
  void SetToString(char* out, std::size_t size) const;
  // Twelve byte pairs, blanks and dots between them skipped; with
  // checksumMayBeMissing a text that ends after ten bytes is taken and the
  // checksum computed. Bytes read before a failure stay in the frame.
  bool SetFromString(const char* text, bool checksumMayBeMissing);

  unsigned char mData[cSize];
};
static_assert(sizeof(KComfortFrame) == KComfortFrame::cSize, "twelve bytes and nothing else");

// One CAN frame in the ASCII line form of the CAN232 serial adapter:
//   t iii l dd..   standard data frame   (identifier 0..7FF)
//   T iiiiiiii l dd..  extended data frame (identifier 0..1FFFFFFF)
//   r / R          the same as remote frames: either with as many data pairs
//                  as the length says, or ending right after the length
//                  (as real adapters send them; the data bytes are then 0)
// The carriage return that ends a line on the wire is not part of mText.
class KCan232Frame {
public:
  enum : int { cTextSize = 32 };

  explicit KCan232Frame(const char* text = nullptr) { *this = text; }

  // Keeps the characters above 0x20 (blanks and control characters are
  // dropped), at most 31 of them; a null text gives an empty line.
  KCan232Frame& operator=(const char* text);

  // Decodes the line into `frame` (reset first; time and counter stay 0).
  // False for a line that breaks the form; `frame` may then be partly filled.
  bool SetCanFrame(KCanFrame& frame) const;
  // True when the line is a well-formed frame line.
  bool IsOk() const;
  // Encodes `frame` (length clamped to 0..8); always true.
  bool GetCanFrame(const KCanFrame& frame);

  char mText[cTextSize];
};
