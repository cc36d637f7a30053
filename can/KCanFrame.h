// The CAN frame record shared by every part of the logger.
#pragma once

#include <cstddef>
#include <cstdint>

// Capacity of the text buffers the callers hand in (characters including the
// terminating zero). Every formatter takes the size of its buffer and never
// writes beyond it; the defaults are the capacities the program uses.
enum : std::size_t {
  cLineSize = 256,   // frame line, SQL insert, HTTP variables, candump line
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

