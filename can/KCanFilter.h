// Identifier filters in candump's notation: a comma-separated list of
//   <id>:<mask>   keeps a frame when  received & mask == id & mask
//   <id>~<mask>   keeps a frame when  received & mask != id & mask
// An id of 3 hexadecimal digits names a standard frame, one of 8 digits an
// extended frame: the frame's kind is part of the match. The mask has 1 to 8
// digits. A frame that any filter keeps is kept; error frames are not
// filtered. The same list goes into the kernel on SocketCAN (as can_filter
// records) and is applied by the CAN232 driver as frames are read.
#pragma once

#include <cstddef>
#include <cstdint>

class KCanFrame;

class KCanFilterList {
public:
  enum : int { cMaxFilters = 64, cItemTextSize = 32 };
  // The kernel's flag that inverts a filter (CAN_INV_FILTER).
  enum : uint32_t { cInvertFlag = 0x20000000u };

  struct KFilter {
    uint32_t mId;   // with the extended flag for an extended id
    uint32_t mMask; // always with the extended flag: the kind must match
    bool mInvert;
  };

  // Parses the list; an empty list is refused. False with the offending
  // item (cut to cItemTextSize - 1 characters) in `badItem`; the list is
  // then empty.
  bool Parse(const char* text, char* badItem, std::size_t badItemSize);

  bool Empty() const { return mCount == 0; }
  int Count() const { return mCount; }
  const KFilter& At(int i) const { return mFilters[i]; }
  // True when the list keeps the frame (always, when the list is empty or
  // the frame is an error frame).
  bool Keeps(const KCanFrame& frame) const;
  // The list in the kernel's form: can_filter records (id, mask; an
  // inverted filter has cInvertFlag in its id) into `out`, which holds
  // room for cMaxFilters. Returns the number of records.
  int KernelFilters(uint32_t (*out)[2]) const;

private:
  KFilter mFilters[cMaxFilters] = {};
  int mCount = 0;
};
