// The bus's own errors in one period, counted by class from the SocketCAN
// error frames (the error flag in the identifier; the classes are the
// kernel's: identifier bits, and for the controller's state data byte 1).
#pragma once

#include <cstddef>
#include <cstdint>

class KCanFrame;

class KBusErrors {
public:
  enum TClassEnum {
    ceBusOff,
    ceErrorPassive,
    ceErrorWarning,
    ceRxOverflow,
    ceTxOverflow,
    ceLostArbitration,
    ceProtocol,
    ceNoAck,
    ceOther, // transceiver, timeout, restart and other error frames
    ceClasses
  };

  // Counts an error frame by its classes (one frame may have several);
  // other frames count nothing.
  void Add(const KCanFrame& frame);
  uint32_t Count(TClassEnum c) const { return mCounts[c]; }
  bool Any() const;
  // "2 bus-off, 5 no ACK" (the classes that occurred), or "".
  void Format(char* out, std::size_t size) const;
  void Clear();

  // A CAN232 adapter's status flags (the answer to "F"): "error warning,
  // data overrun" for the flags set, "" for none.
  static void FormatAdapterStatus(int flags, char* out, std::size_t size);

private:
  uint32_t mCounts[ceClasses] = {};
};
