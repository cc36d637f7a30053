#include "KBusErrors.h"

#include <cstdio>

#include "KCanFrame.h"

namespace {

// The kernel's error classes (linux/can/error.h).
enum : uint32_t {
  cErrLostArb = 0x002,
  cErrCtrl = 0x004,
  cErrProt = 0x008,
  cErrAck = 0x020,
  cErrBusOff = 0x040
};
enum : unsigned char {
  cCtrlRxOverflow = 0x01,
  cCtrlTxOverflow = 0x02,
  cCtrlWarning = 0x04 | 0x08,
  cCtrlPassive = 0x10 | 0x20
};

const char* const cNames[KBusErrors::ceClasses] = {
    "bus-off",          "error-passive",         "error-warning",
    "RX overflow",      "TX overflow",           "lost arbitration",
    "protocol violation", "no ACK",              "other"};

} // namespace

void KBusErrors::Add(const KCanFrame& frame) {
  if ((frame.mId & KCanFrame::cErrorFlag) == 0)
    return;
  const uint32_t id = frame.mId & KCanFrame::cIdMask;
  const unsigned char ctrl = frame.SafeLen() > 1 ? frame.mData[1] : 0;
  bool counted = false;
  auto count = [&](bool on, TClassEnum c) {
    if (on) {
      ++mCounts[c];
      counted = true;
    }
  };
  count((id & cErrBusOff) != 0, ceBusOff);
  count((id & cErrCtrl) != 0 && (ctrl & cCtrlPassive) != 0, ceErrorPassive);
  count((id & cErrCtrl) != 0 && (ctrl & cCtrlWarning) != 0, ceErrorWarning);
  count((id & cErrCtrl) != 0 && (ctrl & cCtrlRxOverflow) != 0, ceRxOverflow);
  count((id & cErrCtrl) != 0 && (ctrl & cCtrlTxOverflow) != 0, ceTxOverflow);
  count((id & cErrLostArb) != 0, ceLostArbitration);
  count((id & cErrProt) != 0, ceProtocol);
  count((id & cErrAck) != 0, ceNoAck);
  if (!counted)
    ++mCounts[ceOther];
}

bool KBusErrors::Any() const {
  for (uint32_t n : mCounts)
    if (n != 0)
      return true;
  return false;
}

void KBusErrors::Format(char* out, std::size_t size) const {
  if (size == 0)
    return;
  out[0] = 0;
  std::size_t used = 0;
  for (int c = 0; c < ceClasses; ++c) {
    if (mCounts[c] == 0 || used >= size)
      continue;
    int n = std::snprintf(out + used, size - used, "%s%u %s", used == 0 ? "" : ", ",
                          mCounts[c], cNames[c]);
    if (n > 0)
      used += static_cast<std::size_t>(n);
  }
}

void KBusErrors::Clear() {
  for (uint32_t& n : mCounts)
    n = 0;
}

void KBusErrors::FormatAdapterStatus(int flags, char* out, std::size_t size) {
  static const char* const names[8] = {"RX FIFO full",  "TX FIFO full",  "error warning",
                                       "data overrun",  "flag 0x10",     "error passive",
                                       "arbitration lost", "bus error"};
  if (size == 0)
    return;
  out[0] = 0;
  std::size_t used = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if ((flags & (1 << bit)) == 0 || used >= size)
      continue;
    int n = std::snprintf(out + used, size - used, "%s%s", used == 0 ? "" : ", ",
                          names[bit]);
    if (n > 0)
      used += static_cast<std::size_t>(n);
  }
}
