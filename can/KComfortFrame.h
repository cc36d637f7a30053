// The comfort frame: an Elster CAN frame in the relay's twelve-byte form.
#pragma once

#include <cstddef>

#include "KCanFrame.h"

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

