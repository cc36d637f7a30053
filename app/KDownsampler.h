// Logging on change: of the data frames of one identifier (standard and
// extended apart) only those whose length or data differ from the last one
// written are written, and one at least every `every` seconds. Remote and
// error frames are always written. The frames keep their capture counters,
// so that the gaps show what was left out.
#pragma once

#include <cstdint>
#include <memory>

#include "NCanUtils.h"

class KDownsampler {
public:
  // Identifiers remembered; frames of an identifier beyond these are always
  // written (nothing is left out that cannot be judged).
  enum : int { cSlots = 8192, cMaxIdentifiers = cSlots / 8 * 7 };

  // `everySeconds` 0: changes only.
  explicit KDownsampler(int everySeconds);
  KDownsampler(const KDownsampler&) = delete;
  KDownsampler& operator=(const KDownsampler&) = delete;

  // True when the frame is to be written (it then becomes the identifier's
  // last written frame); false when it is left out.
  bool Keep(const KCanFrame& frame);
  // Frames left out since construction.
  uint32_t LeftOut() const { return mLeftOut; }

private:
  struct KSlot {
    uint32_t mKey; // identifier with the extended flag
    bool mUsed;
    unsigned char mLen;
    unsigned char mData[8];
    int64_t mWrittenMs; // receive time of the last written frame
  };

  long long mEveryMs;
  std::unique_ptr<KSlot[]> mSlots;
  int mUsed;
  uint32_t mLeftOut;
};
