#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "KComm.h"
#include "PtyPeer.h"

namespace {

#define REQUIRE_PTY(peer)                                                                          \
  if (!(peer).Ok())                                                                                \
  GTEST_SKIP() << "no pseudo-terminal or no writable /tmp for its link: " << std::strerror(errno)

TEST(KComm, BaudRateRoundedUpToSupportedSpeed) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  const struct {
    int mRequested;
    int mApplied;
    speed_t mSpeed;
  } cases[] = {
      {-5, 300, B300},      {0, 300, B300},         {300, 300, B300},        {301, 600, B600},
      {1200, 1200, B1200},  {1500, 2400, B2400},    {1800, 2400, B2400},     {4800, 4800, B4800},
      {7000, 9600, B9600},  {19200, 19200, B19200}, {38401, 57600, B57600}, {57601, 115200, B115200},
      {115200, 115200, B115200},
  };
  for (const auto& c : cases) {
    KComm comm;
    comm.SetComDev(peer.Device().c_str());
    comm.SetBaudrate(c.mRequested);
    ASSERT_TRUE(comm.InitCOM()) << c.mRequested;
    EXPECT_EQ(comm.mBaudrate, c.mApplied) << c.mRequested;
    termios t;
    ASSERT_TRUE(peer.SlaveSettings(t));
    EXPECT_EQ(cfgetospeed(&t), c.mSpeed) << c.mRequested;
    EXPECT_EQ(cfgetispeed(&t), c.mSpeed) << c.mRequested;
    comm.ExitCOM();
    EXPECT_FALSE(comm.COM_INITIALISIERT());
  }
}

TEST(KComm, RefusedSettingsLeaveThePortClosed) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  const struct {
    int mBaud, mBits, mParity;
  } refused[] = {{115201, 8, 0}, {1000000, 8, 0}, {9600, 9, 0}, {9600, 4, 0}, {9600, 8, 3}, {9600, 8, -1}};
  for (const auto& c : refused) {
    KComm comm;
    comm.SetComDev(peer.Device().c_str());
    comm.SetBaudrate(c.mBaud);
    comm.mBits = c.mBits;
    comm.mParity = c.mParity;
    EXPECT_FALSE(comm.InitCOM()) << c.mBaud << " " << c.mBits << " " << c.mParity;
    EXPECT_FALSE(comm.COM_INITIALISIERT());
    EXPECT_EQ(comm.mHandle, -1);
  }
  // A refused value on an open port writes nothing to it.
  KComm comm;
  comm.SetComDev(peer.Device().c_str());
  comm.SetBaudrate(9600);
  ASSERT_TRUE(comm.InitCOM());
  comm.mBaudrate = 115201;
  EXPECT_FALSE(comm.SetComParameters());
  termios t;
  ASSERT_TRUE(peer.SlaveSettings(t));
  EXPECT_EQ(cfgetospeed(&t), B9600);
  comm.ExitCOM();
}

TEST(KComm, RawLineWithCharacterSizeAndParity) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  const struct {
    int mBits, mParity;
    tcflag_t mParityFlags, mInput;
  } cases[] = {
      {8, 0, 0, BRKINT},
      {7, 2, PARENB, BRKINT | INPCK},
      {6, 1, PARENB | PARODD, BRKINT | INPCK},
      {5, 0, 0, BRKINT},
  };
  for (const auto& c : cases) {
    KComm comm;
    comm.SetComDev(peer.Device().c_str());
    comm.SetBaudrate(115200);
    comm.mBits = c.mBits;
    comm.mParity = c.mParity;
    ASSERT_TRUE(comm.InitCOM()) << c.mBits;
    termios t;
    ASSERT_TRUE(peer.SlaveSettings(t));
    // The pty driver forces CS8 and clears PARENB whatever is asked, so of
    // the size and parity only PARODD and the input check are visible here.
    EXPECT_EQ(t.c_cflag & PARODD, c.mParityFlags & PARODD) << c.mParity;
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | CSTOPB | CRTSCTS | HUPCL), CLOCAL | CREAD);
    EXPECT_EQ(t.c_iflag, c.mInput);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    comm.ExitCOM();
  }
}

// A serial port is opened for one program alone: the same device under
// another name is refused (EBUSY) until the first closes it. A name that
// begins with "/" is a path, used as it is; a file that is no terminal is
// refused (ENOTTY).
TEST(KComm, PortIsOpenedForOneAloneAndByPath) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  const std::string path = peer.Device().substr(2); // the link's own path
  KComm first, second, notTerminal;
  first.SetComDev(path.c_str());
  ASSERT_TRUE(first.InitCOM()) << path << ": " << std::strerror(first.mOpenError);
  second.SetComDev(peer.DeviceOfLength(40).c_str());
  EXPECT_FALSE(second.InitCOM());
  EXPECT_EQ(second.mOpenError, EBUSY);
  first.ExitCOM();
  EXPECT_TRUE(second.InitCOM());
  second.ExitCOM();
  notTerminal.SetComDev("/dev/null");
  EXPECT_FALSE(notTerminal.InitCOM());
  EXPECT_EQ(notTerminal.mOpenError, ENOTTY);

  const struct {
    const char* name;
    bool serial;
  } names[] = {{"can0", false}, {"vcan1", false}, {"ttyUSB0", true}, {"../tmp/ttyEMU0", true},
               {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", true}, {nullptr, false}};
  for (const auto& n : names)
    EXPECT_EQ(KComm::IsSerialName(n.name), n.serial) << (n.name ? n.name : "(null)");
}

TEST(KComm, DeviceNameLength) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  std::string name62 = peer.DeviceOfLength(62);
  std::string name63 = peer.DeviceOfLength(63);
  ASSERT_EQ(name62.size(), 62u);
  ASSERT_EQ(name63.size(), 63u);

  KComm comm;
  EXPECT_FALSE(comm.InitCOM()); // neither a name nor a port number: nothing to open
  comm.SetComDev(name63.c_str());
  EXPECT_STREQ(comm.mComDev, "");
  EXPECT_FALSE(comm.InitCOM());
  comm.SetComDev(name62.c_str());
  EXPECT_EQ(std::string(comm.mComDev), name62);
  EXPECT_TRUE(comm.InitCOM()); // the 62-character name opens the device
  comm.SetComDev(name63.c_str());
  comm.SetComDev(nullptr);
  EXPECT_EQ(std::string(comm.mComDev), name62); // neither replaced it
  // The device name wins over a port number.
  comm.SetComPortNr(3);
  EXPECT_FALSE(comm.COM_INITIALISIERT()); // a new port number closes the port
  EXPECT_TRUE(comm.InitCOM());
  comm.SetComPortNr(16);
  EXPECT_FALSE(comm.COM_INITIALISIERT());
  EXPECT_EQ(comm.mPortNr, 3);
  comm.SetComPortNr(-1);
  EXPECT_EQ(comm.mPortNr, 3);
}

TEST(KComm, ReadsEveryByteValueAndReportsNoByte) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  KComm comm;
  EXPECT_EQ(comm.ReadFromCOM(), KComm::cNoByte); // closed port
  comm.SetComDev(peer.Device().c_str());
  comm.SetBaudrate(115200);
  ASSERT_TRUE(comm.InitCOM());
  EXPECT_EQ(comm.ReadFromCOM(), KComm::cNoByte);
  EXPECT_EQ(comm.ReadFromCOM(), 4096);

  std::string all;
  for (int b = 0; b < 256; ++b)
    all.push_back(static_cast<char>(b));
  peer.Write(all);
  std::vector<int> got;
  for (int tries = 0; got.size() < 256 && tries < 2000; ++tries) {
    int c = comm.ReadFromCOM();
    if (c == KComm::cNoByte)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    else
      got.push_back(c);
  }
  ASSERT_EQ(got.size(), 256u);
  for (int b = 0; b < 256; ++b)
    EXPECT_EQ(got[b], b); // NUL is 0, 0xFF is 255: no sign extension, no translation
  EXPECT_EQ(comm.ReadFromCOM(), KComm::cNoByte);

  peer.Write(std::string("abc"));
  peer.ReadAvailable(20);
  comm.ClearBuffer();
  EXPECT_EQ(comm.ReadFromCOM(), KComm::cNoByte);
  EXPECT_FALSE(comm.PortLost());
  comm.ExitCOM();
}

TEST(KComm, WritesBytesInOrder) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  KComm comm;
  EXPECT_FALSE(comm.WriteToCOM('x')); // closed port
  comm.SetComDev(peer.Device().c_str());
  comm.SetBaudrate(115200);
  ASSERT_TRUE(comm.InitCOM());
  const char bytes[] = {'t', '\r', '\n', 0, static_cast<char>(0xFF)};
  EXPECT_TRUE(comm.WriteBufferToCOM(bytes, 5));
  EXPECT_FALSE(comm.WriteBufferToCOM(bytes, 0));
  EXPECT_FALSE(comm.WriteBufferToCOM(nullptr, 3));
  EXPECT_EQ(peer.ReadBytes(5), std::string(bytes, 5)); // raw: no CR/LF translation
  comm.ExitCOM();
}

TEST(KComm, PortGoneIsReportedAsLost) {
  KPtyPeer peer;
  REQUIRE_PTY(peer);
  KComm comm;
  comm.SetComDev(peer.Device().c_str());
  comm.SetBaudrate(115200);
  ASSERT_TRUE(comm.InitCOM());
  EXPECT_FALSE(comm.PortLost());
  peer.CloseMaster();
  int c = 0;
  for (int i = 0; i < 100 && !comm.PortLost(); ++i)
    c = comm.ReadFromCOM();
  EXPECT_EQ(c, KComm::cNoByte);
  EXPECT_TRUE(comm.PortLost());
  EXPECT_FALSE(comm.WriteToCOM('x'));
  comm.ExitCOM();
}

} // namespace
