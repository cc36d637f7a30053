#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <linux/can/netlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string>
#include <vector>

#include "CanLinkMode.h"

namespace {

// Netlink attributes built as the kernel lays them out.
std::string Attr(unsigned short type, const std::string& payload) {
  rtattr a;
  a.rta_type = type;
  a.rta_len = static_cast<unsigned short>(RTA_LENGTH(payload.size()));
  std::string out(reinterpret_cast<const char*>(&a), sizeof(a));
  out += payload;
  out.resize(RTA_ALIGN(out.size()), '\0');
  return out;
}

std::string Message(unsigned short type, const std::string& body) {
  nlmsghdr h;
  std::memset(&h, 0, sizeof(h));
  h.nlmsg_type = type;
  h.nlmsg_len = static_cast<unsigned>(NLMSG_LENGTH(body.size()));
  return std::string(reinterpret_cast<const char*>(&h), sizeof(h)) + body;
}

std::string Link(const std::string& attrs) {
  ifinfomsg i;
  std::memset(&i, 0, sizeof(i));
  return Message(RTM_NEWLINK, std::string(reinterpret_cast<const char*>(&i), sizeof(i)) +
                                  Attr(IFLA_IFNAME, std::string("can0\0", 5)) + attrs);
}

std::string CanLink(const std::string& kind, uint32_t flags, bool withMode = true) {
  can_ctrlmode cm = {CAN_CTRLMODE_LISTENONLY | CAN_CTRLMODE_3_SAMPLES, flags};
  std::string data = Attr(IFLA_CAN_BITTIMING, std::string(32, '\x01'));
  if (withMode)
    data += Attr(IFLA_CAN_CTRLMODE, std::string(reinterpret_cast<const char*>(&cm), sizeof(cm)));
  return Link(Attr(IFLA_LINKINFO, Attr(IFLA_INFO_KIND, kind + '\0') + Attr(IFLA_INFO_DATA, data)));
}

std::string Error(int error) {
  nlmsgerr e;
  std::memset(&e, 0, sizeof(e));
  e.error = error;
  return Message(NLMSG_ERROR, std::string(reinterpret_cast<const char*>(&e), sizeof(e)));
}

TEST(CanLinkMode, ReadsTheControllerModeFromTheAnswer) {
  const std::string listenOnly = CanLink("can", CAN_CTRLMODE_LISTENONLY);
  const struct {
    const char* name;
    std::string reply;
    TLinkModeEnum mode;
    const char* kind;
  } cases[] = {
      {"listen-only controller", listenOnly, lmListenOnly, "can"},
      {"controller that acknowledges", CanLink("can", CAN_CTRLMODE_3_SAMPLES), lmTransmits, "can"},
      {"controller without its mode", CanLink("can", 0, false), lmUnknown, "can"},
      {"virtual interface", CanLink("vcan", 0, false), lmNoController, "vcan"},
      {"no link kind", Link(""), lmNoController, ""},
      {"no such interface", Error(-ENODEV), lmMissing, ""},
      {"refused", Error(-EPERM), lmUnknown, ""},
      {"cut short", listenOnly.substr(0, listenOnly.size() - 4), lmUnknown, ""},
      {"attribute longer than the message", listenOnly.substr(0, 40) + std::string(4, '\x7f'),
       lmUnknown, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char kind[16] = "x";
    EXPECT_EQ(LinkModeFromReply(c.reply.data(), c.reply.size(), kind, sizeof(kind)), c.mode);
    if (c.mode != lmUnknown) {
      EXPECT_STREQ(kind, c.kind);
    }
  }
}

// The kernel's own answers: the loopback interface has no link kind; a
// missing name is said to be missing.
TEST(CanLinkMode, AsksTheKernel) {
  char kind[16];
  EXPECT_EQ(ReadLinkMode("lo", kind, sizeof(kind)), lmNoController);
  EXPECT_STREQ(kind, "");
  EXPECT_EQ(ReadLinkMode("nosuchcan9", kind, sizeof(kind)), lmMissing);
}

} // namespace
