// comfortsend: sends one comfort frame to a comfort relay peer and prints
// the answer frame, its message type and the CAN frame it stands for (or,
// for an acknowledgement frame, ok or not ok).
//
// The frame is given as its hexadecimal text (24 digits, or 20 with the
// checksum computed) or built from an Elster CAN frame given as identifier
// and data bytes. The exchange is the relay's line protocol: the request's
// 24 digits and two LF out, one answer line back, on a connection of its own.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KTcpCanClient.h"
#include "NCanUtils.h"

namespace {

const char cUsage[] =
    "usage: comfortsend <host> <port> <comfort frame>\n"
    "       comfortsend <host> <port> <can id> <data bytes>\n"
    "Sends one comfort frame to the relay at <host>:<port> and prints the answer\n"
    "frame, its message type and the CAN frame it stands for.\n"
    "  <comfort frame>  12 bytes as 24 hexadecimal digits, the last two bytes the\n"
    "                   checksum, or 10 bytes as 20 digits (the checksum is added);\n"
    "                   blanks and dots may separate the byte pairs (quote them)\n"
    "  <can id>         11-bit CAN identifier in hexadecimal (0 to 7ff, e.g. 680)\n"
    "  <data bytes>     5 or 7 data bytes in hexadecimal: 31.00.fa.00.0c,\n"
    "                   \"31 00 fa 00 0c\" or 3100fa000c\n"
    "Exit status: 0 an answer frame arrived, 1 no valid answer, 2 usage.\n";

const char* TypeName(int type) {
  switch (type) {
  case 0:
    return "init";
  case 1:
    return "read request";
  case 2:
    return "write request";
  default:
    return "other";
  }
}

int Usage(const char* complaint, const char* argument) {
  if (complaint != nullptr)
    std::fprintf(stderr, "comfortsend: %s: %s (comfortsend --help tells more)\n", complaint,
                 argument);
  else
    std::fputs(cUsage, stderr);
  return 2;
}

bool ParsePort(const char* text, unsigned short& port) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != 0 || errno == ERANGE || value < 1 || value > 65535)
    return false;
  port = static_cast<unsigned short>(value);
  return true;
}

// Hexadecimal identifier of at most three digits, optionally after 0x.
bool ParseId(const char* text, uint32_t& id) {
  const char* p = text;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
    p += 2;
  const char* digits = p;
  while (NCanUtils::IsHexDigit(*p) && p - digits < 4)
    ++p;
  if (p == digits || *p != 0)
    return false;
  const char* q = digits;
  id = static_cast<uint32_t>(NCanUtils::GetHex(q));
  return id <= 0x7FF;
}

void PrintFrame(const char* label, const KComfortFrame& frame) {
  char text[KComfortFrame::cTextSize];
  frame.SetToString(text, sizeof(text));
  int type = frame.GetMsgType();
  std::printf("%-9s%s  type %d (%s)\n", label, text, type, TypeName(type));
}

// Acknowledgement frames: bytes 0 to 7 all 0x55 (ok, with a value in bytes
// 8 and 9, low byte first) or bytes 0 to 9 all 0xAA (not ok).
bool PrintAck(const KComfortFrame& frame) {
  int ok = 0;
  int notOk = 0;
  for (int i = 0; i < 8; ++i) {
    ok += frame.mData[i] == 0x55;
    notOk += frame.mData[i] == 0xAA;
  }
  if (!frame.CheckSum())
    return false;
  if (ok == 8) {
    unsigned value = frame.mData[8] + 256u * frame.mData[9];
    std::printf("%-9sok, value %u (0x%04x)%s\n", "ack:", value, value,
                value == KComfortFrame::InitId ? ", the answer to an init frame" : "");
    return true;
  }
  if (notOk == 8 && frame.mData[8] == 0xAA && frame.mData[9] == 0xAA) {
    std::printf("%-9snot ok\n", "ack:");
    return true;
  }
  return false;
}

void PrintCan(const KComfortFrame& frame) {
  KCanFrame can;
  bool valid = frame.SetCanFrame(can);
  std::printf("%-9s%03x [%d]", "can:", static_cast<unsigned>(can.mId), can.mLen);
  for (int i = 0; i < can.SafeLen(); ++i)
    std::printf(" %02x", can.mData[i]);
  if (!frame.CheckSum())
    std::printf("  (checksum wrong)");
  else if (!valid)
    std::printf("  (sender group above 15)");
  std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(cUsage, stdout);
    return 0;
  }
  if (argc != 4 && argc != 5)
    return Usage(nullptr, nullptr);

  const char* host = argv[1];
  if (std::strlen(host) >= KIpSocket::cHostSize - 1)
    return Usage("host name longer than 254 characters", host);
  unsigned short port = 0;
  if (!ParsePort(argv[2], port))
    return Usage("not a port (1 to 65535)", argv[2]);

  KComfortFrame request;
  std::memset(request.mData, 0, sizeof(request.mData));
  if (argc == 4) {
    if (!request.SetFromString(argv[3], true))
      return Usage("not a comfort frame (20 or 24 hexadecimal digits)", argv[3]);
  } else {
    KCanFrame can;
    if (!ParseId(argv[3], can.mId))
      return Usage("not an 11-bit CAN identifier in hexadecimal", argv[3]);
    if (!can.GetDataFromStream(argv[4]) || (can.mLen != 5 && can.mLen != 7))
      return Usage("not 5 or 7 data bytes in hexadecimal", argv[4]);
    request.GetCanFrame(can);
  }

  KTcpCanClient client;
  // Blocking mode: connect, send and receive are bounded by the relay's
  // waits all the same, and a refused connect is reported as such.
  client.SetBlockMode(bmBlocking);
  client.SetRemoteHost(host);
  client.SetRemotePort(port);

  PrintFrame("request:", request);
  std::fflush(stdout);
  KComfortFrame answer;
  std::memset(answer.mData, 0, sizeof(answer.mData));
  if (!client.SendComfortFrame(request, answer)) {
    std::printf("no valid answer from %s:%u\n", host, port);
    return 1;
  }
  PrintFrame("answer:", answer);
  if (!PrintAck(answer))
    PrintCan(answer);
  return 0;
}
