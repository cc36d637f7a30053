#include "KDownsampler.h"

#include <cstring>

KDownsampler::KDownsampler(int everySeconds)
    : mEveryMs(everySeconds > 0 ? 1000LL * everySeconds : 0), mSlots(new KSlot[cSlots]()),
      mUsed(0), mLeftOut(0) {}

bool KDownsampler::Keep(const KCanFrame& frame) {
  if ((frame.mId & KCanFrame::cRemoteOrErrorMask) != 0)
    return true;
  const uint32_t key = frame.mId & (KCanFrame::cExtendedFlag | KCanFrame::cIdMask);
  const int64_t now = static_cast<int64_t>(frame.mDays) * NCanUtils::cMsPerDay + frame.mMs;
  const int len = frame.SafeLen();
  uint32_t i = (key * 2654435761u) & (cSlots - 1);
  while (mSlots[i].mUsed && mSlots[i].mKey != key)
    i = (i + 1) & (cSlots - 1);
  KSlot& slot = mSlots[i];
  if (slot.mUsed) {
    const bool same = slot.mLen == len && std::memcmp(slot.mData, frame.mData, len) == 0;
    // A clock that went back counts as time passed: the frame is written.
    const bool due = mEveryMs > 0 && (now - slot.mWrittenMs >= mEveryMs || now < slot.mWrittenMs);
    if (same && !due) {
      ++mLeftOut;
      return false;
    }
  } else {
    if (mUsed >= cMaxIdentifiers)
      return true;
    slot.mUsed = true;
    slot.mKey = key;
    ++mUsed;
  }
  slot.mLen = static_cast<unsigned char>(len);
  std::memcpy(slot.mData, frame.mData, len);
  slot.mWrittenMs = now;
  return true;
}
