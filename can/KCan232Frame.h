// The CAN232 serial adapter's ASCII frame line: the decoder of what the
// adapter sends and the encoder of what it is sent.
#pragma once

#include "KCanFrame.h"

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
  // The same; returns the number of characters the frame took (0 for a line
  // that breaks the form), so that a caller can refuse characters after it.
  int Decode(KCanFrame& frame) const;
  // True when the line is a well-formed frame line.
  bool IsOk() const;
  // Encodes `frame` (length clamped to 0..8); always true.
  bool GetCanFrame(const KCanFrame& frame);
  // Ends an encoded remote frame's line after its length, as adapters send
  // them ("r1232" rather than "r12320000"); other lines stay as they are.
  void DropRemoteData();

  char mText[cTextSize];
};
