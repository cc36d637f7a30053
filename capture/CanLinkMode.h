// Whether a SocketCAN interface is in listen-only mode, read through
// netlink (RTM_GETLINK: IFLA_LINKINFO, its kind, and in the CAN data the
// controller mode IFLA_CAN_CTRLMODE).
#pragma once

#include <cstddef>

enum TLinkModeEnum {
  lmMissing,    // no interface of that name
  lmUnknown,    // netlink gave no answer that could be read
  lmNoController, // not a CAN controller (vcan, vxcan...): acknowledges nothing
  lmListenOnly, // a CAN controller in listen-only mode
  lmTransmits   // a CAN controller that acknowledges and may send
};

// Asks the kernel about interface `dev`; `kind` gets the link kind ("can",
// "vcan", "" when none is given).
TLinkModeEnum ReadLinkMode(const char* dev, char* kind, std::size_t kindSize);

// Reads a netlink answer to RTM_GETLINK (`size` bytes at `reply`).
TLinkModeEnum LinkModeFromReply(const void* reply, std::size_t size, char* kind,
                                std::size_t kindSize);
