#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <linux/can/netlink.h>
#include <linux/rtnetlink.h>
#include <string>

#include "CanLinkMode.h"

namespace {

// Netlink attributes and messages laid out as the kernel sends them.
std::string Attr(unsigned short type, const std::string& payload) {
  rtattr a = {static_cast<unsigned short>(RTA_LENGTH(payload.size())), type};
  std::string out = std::string(reinterpret_cast<const char*>(&a), sizeof(a)) + payload;
  out.resize(RTA_ALIGN(out.size()), '\0');
  return out;
}

std::string Message(unsigned short type, const std::string& body) {
  nlmsghdr h = {static_cast<unsigned>(NLMSG_LENGTH(body.size())), type, 0, 0, 0};
  return std::string(reinterpret_cast<const char*>(&h), sizeof(h)) + body;
}

std::string Link(const std::string& kind, uint32_t flags) {
  can_ctrlmode cm = {CAN_CTRLMODE_LISTENONLY, flags};
  std::string data = Attr(IFLA_CAN_CTRLMODE, std::string(reinterpret_cast<const char*>(&cm), sizeof(cm)));
  return Message(RTM_NEWLINK, std::string(sizeof(ifinfomsg), '\0') +
                                  Attr(IFLA_LINKINFO, Attr(IFLA_INFO_KIND, kind + '\0') +
                                                          Attr(IFLA_INFO_DATA, data)));
}

TEST(CanLinkMode, ReadsTheControllerModeAndAsksTheKernel) {
  nlmsgerr e = {-ENODEV, {}};
  const std::string listenOnly = Link("can", CAN_CTRLMODE_LISTENONLY);
  const struct {
    std::string reply;
    TLinkModeEnum mode;
  } cases[] = {
      {listenOnly, lmListenOnly},
      {Link("can", 0), lmTransmits},
      {Link("vcan", 0), lmNoController},
      {Message(NLMSG_ERROR, std::string(reinterpret_cast<const char*>(&e), sizeof(e))), lmMissing},
      {listenOnly.substr(0, listenOnly.size() - 4), lmUnknown},
  };
  for (const auto& c : cases) {
    char kind[16];
    EXPECT_EQ(LinkModeFromReply(c.reply.data(), c.reply.size(), kind, sizeof(kind)), c.mode);
  }
  char kind[16];
  EXPECT_EQ(ReadLinkMode("lo", kind, sizeof(kind)), lmNoController);
  EXPECT_EQ(ReadLinkMode("nosuchcan9", kind, sizeof(kind)), lmMissing);
}

} // namespace
