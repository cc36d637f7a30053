#include "CanLinkMode.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/can/netlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The attribute of type `type` among the attributes in [data, data + size),
// or null; `payload` gets its length.
const rtattr* FindAttr(const void* data, std::size_t size, unsigned short type,
                       std::size_t& payload) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (size >= sizeof(rtattr)) {
    rtattr a;
    std::memcpy(&a, p, sizeof(a));
    if (a.rta_len < sizeof(rtattr) || a.rta_len > size)
      return nullptr;
    if ((a.rta_type & NLA_TYPE_MASK) == type) {
      payload = a.rta_len - RTA_LENGTH(0);
      return reinterpret_cast<const rtattr*>(p);
    }
    const std::size_t step = RTA_ALIGN(a.rta_len);
    if (step >= size)
      return nullptr;
    p += step;
    size -= step;
  }
  return nullptr;
}

} // namespace

TLinkModeEnum LinkModeFromReply(const void* reply, std::size_t size, char* kind,
                                std::size_t kindSize) {
  if (kindSize > 0)
    kind[0] = 0;
  if (size < sizeof(nlmsghdr))
    return lmUnknown;
  nlmsghdr h;
  std::memcpy(&h, reply, sizeof(h));
  if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > size)
    return lmUnknown;
  const unsigned char* body = static_cast<const unsigned char*>(reply) + NLMSG_HDRLEN;
  const std::size_t bodySize = h.nlmsg_len - NLMSG_HDRLEN;
  if (h.nlmsg_type == NLMSG_ERROR) {
    nlmsgerr e;
    if (bodySize < sizeof(e))
      return lmUnknown;
    std::memcpy(&e, body, sizeof(e));
    return e.error == -ENODEV ? lmMissing : lmUnknown;
  }
  if (h.nlmsg_type != RTM_NEWLINK || bodySize < NLMSG_ALIGN(sizeof(ifinfomsg)))
    return lmUnknown;
  const unsigned char* attrs = body + NLMSG_ALIGN(sizeof(ifinfomsg));
  std::size_t attrsSize = bodySize - NLMSG_ALIGN(sizeof(ifinfomsg));
  std::size_t n = 0;
  const rtattr* info = FindAttr(attrs, attrsSize, IFLA_LINKINFO, n);
  if (info == nullptr)
    return lmNoController;
  const unsigned char* infoData = reinterpret_cast<const unsigned char*>(info) + RTA_LENGTH(0);
  const std::size_t infoSize = n;
  const rtattr* kindAttr = FindAttr(infoData, infoSize, IFLA_INFO_KIND, n);
  if (kindAttr != nullptr && kindSize > 0)
    std::snprintf(kind, kindSize, "%.*s", static_cast<int>(strnlen(
                                              reinterpret_cast<const char*>(kindAttr) + RTA_LENGTH(0), n)),
                  reinterpret_cast<const char*>(kindAttr) + RTA_LENGTH(0));
  if (kindAttr == nullptr || std::strcmp(kind, "can") != 0)
    return lmNoController;
  const rtattr* data = FindAttr(infoData, infoSize, IFLA_INFO_DATA, n);
  if (data == nullptr)
    return lmUnknown;
  const rtattr* mode =
      FindAttr(reinterpret_cast<const unsigned char*>(data) + RTA_LENGTH(0), n, IFLA_CAN_CTRLMODE, n);
  can_ctrlmode cm;
  if (mode == nullptr || n < sizeof(cm))
    return lmUnknown;
  std::memcpy(&cm, reinterpret_cast<const unsigned char*>(mode) + RTA_LENGTH(0), sizeof(cm));
  return (cm.flags & CAN_CTRLMODE_LISTENONLY) != 0 ? lmListenOnly : lmTransmits;
}

TLinkModeEnum ReadLinkMode(const char* dev, char* kind, std::size_t kindSize) {
  if (kindSize > 0)
    kind[0] = 0;
  const unsigned index = dev != nullptr ? if_nametoindex(dev) : 0;
  if (index == 0)
    return errno == ENODEV || errno == ENXIO ? lmMissing : lmUnknown;
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0)
    return lmUnknown;
  struct {
    nlmsghdr h;
    ifinfomsg i;
  } request;
  std::memset(&request, 0, sizeof(request));
  request.h.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  request.h.nlmsg_type = RTM_GETLINK;
  request.h.nlmsg_flags = NLM_F_REQUEST;
  request.h.nlmsg_seq = 1;
  request.i.ifi_family = AF_UNSPEC;
  request.i.ifi_index = static_cast<int>(index);
  sockaddr_nl kernel;
  std::memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  TLinkModeEnum result = lmUnknown;
  if (sendto(fd, &request, request.h.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof(kernel)) == static_cast<ssize_t>(request.h.nlmsg_len)) {
    // One answer of one message; a link's attributes fit in 16 KiB.
    alignas(nlmsghdr) unsigned char reply[16384];
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) == 1) {
      const ssize_t got = recv(fd, reply, sizeof(reply), 0);
      if (got > 0)
        result = LinkModeFromReply(reply, static_cast<std::size_t>(got), kind, kindSize);
    }
  }
  close(fd);
  return result;
}
