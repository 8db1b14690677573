// The serial backend on a real pseudo-terminal, and what can be checked of
// the USB printer backend without a printer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

class Tty : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    plat::MapDevice(u"COM1:", std::string("tty:") + ptsname(master_));
    h_ = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    if (master_ >= 0) close(master_);
    plat::RegistryClear();
    plat::SetClock(0, 1.0);
  }
  void SetTimeouts(DWORD readConstant, DWORD writeConstant) {
    COMMTIMEOUTS t{10, 0, readConstant, 0, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(h_, &t));
  }
  int master_ = -1;
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(Tty, LineSettingsReachTheTerminalAndReadBack) {
  struct Case {
    DWORD baud;
    BYTE parity, stopBits;
    bool xon, cts;
    DWORD rts;
    speed_t speed;        // 0: a custom rate, checked through GetCommState only
    tcflag_t cflagOn;     // bits that must be set
    tcflag_t cflagOff;    // bits that must be clear
    BYTE stopBitsBack;
  } cases[] = {
      {115200, NOPARITY, TWOSTOPBITS, true, false, RTS_CONTROL_ENABLE, B115200, CSTOPB, PARODD | CRTSCTS,
       TWOSTOPBITS},
      {57600, EVENPARITY, ONESTOPBIT, false, true, RTS_CONTROL_HANDSHAKE, B57600, CRTSCTS, PARODD | CSTOPB | CMSPAR,
       ONESTOPBIT},
      {9600, ODDPARITY, ONE5STOPBITS, true, false, RTS_CONTROL_ENABLE, B9600, PARODD | CSTOPB, CMSPAR | CRTSCTS,
       TWOSTOPBITS},
      {921600, MARKPARITY, TWOSTOPBITS, true, false, RTS_CONTROL_DISABLE, B921600, PARODD | CMSPAR | CSTOPB, CRTSCTS,
       TWOSTOPBITS},
      {14400, SPACEPARITY, ONESTOPBIT, false, true, RTS_CONTROL_HANDSHAKE, 0, CMSPAR | CRTSCTS, PARODD, ONESTOPBIT},
      {256000, NOPARITY, ONESTOPBIT, true, false, RTS_CONTROL_ENABLE, 0, 0, PARODD | CMSPAR | CRTSCTS, ONESTOPBIT},
  };
  // A pseudo-terminal always clears PARENB (it frames nothing); the kind of
  // parity stays visible in PARODD and CMSPAR.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h_, &dcb));
    EXPECT_EQ(dcb.ByteSize, 8);
    dcb.BaudRate = c.baud;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stopBits;
    dcb.fOutX = dcb.fInX = c.xon;
    dcb.fOutxCtsFlow = c.cts;
    dcb.fRtsControl = c.rts;
    // Without handshake the RTS line is to be driven, which a pseudo-terminal
    // cannot do: the call fails after the line settings went through.
    EXPECT_EQ(SetCommState(h_, &dcb), c.rts == RTS_CONTROL_HANDSHAKE ? TRUE : FALSE);

    termios t{};
    ASSERT_EQ(tcgetattr(master_, &t), 0);  // the slave's settings
    if (c.speed != 0) {
      EXPECT_EQ(cfgetospeed(&t), c.speed);
    }
    EXPECT_EQ(t.c_cflag & c.cflagOn, c.cflagOn);
    EXPECT_EQ(t.c_cflag & c.cflagOff, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ((t.c_iflag & IXON) != 0, c.xon);
    EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.xon);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    DCB back{};
    ASSERT_TRUE(GetCommState(h_, &back));
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, c.stopBitsBack);
    EXPECT_EQ(back.fOutX, c.xon ? 1u : 0u);
    EXPECT_EQ(back.fOutxCtsFlow, c.cts ? 1u : 0u);
    EXPECT_EQ(back.fRtsControl, c.rts);
  }
  DCB bad{};
  ASSERT_TRUE(GetCommState(h_, &bad));
  bad.ByteSize = 9;
  EXPECT_FALSE(SetCommState(h_, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Tty, RtsCannotBeDrivenOnAPseudoTerminal) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h_, &dcb));
  for (DWORD rts : {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE}) {
    dcb.fRtsControl = rts;
    dcb.fOutxCtsFlow = 0;
    dcb.BaudRate = 19200;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h_, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  }
  // The line settings went through all the same.
  termios t{};
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

TEST_F(Tty, ReadsHonourTheTimeouts) {
  SetTimeouts(20, 500);
  BYTE buf[64];
  DWORD n = 99;
  // Nothing waiting: the read returns, empty.
  EXPECT_TRUE(ReadFile(h_, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);

  ASSERT_EQ(write(master_, "\x80\x82", 2), 2);
  DWORD total = 0;
  for (int i = 0; i < 200 && total < 2; ++i) {
    ASSERT_TRUE(ReadFile(h_, buf + total, sizeof buf - total, &n, nullptr));
    total += n;
  }
  ASSERT_EQ(total, 2u);
  EXPECT_EQ(buf[0], 0x80);
  EXPECT_EQ(buf[1], 0x82);

  // A purge drops what is waiting.
  ASSERT_EQ(write(master_, "abc", 3), 3);
  ASSERT_TRUE(ReadFile(h_, buf, 1, &n, nullptr));
  for (int i = 0; i < 200 && n == 0; ++i) ASSERT_TRUE(ReadFile(h_, buf, 1, &n, nullptr));
  ASSERT_EQ(n, 1u);
  EXPECT_TRUE(PurgeComm(h_, PURGE_RXCLEAR));
  EXPECT_TRUE(ReadFile(h_, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(PurgeComm(h_, 0));
}

TEST_F(Tty, WritesGiveUpAfterTheWriteTimeout) {
  plat::SetClockSpeed(10.0);
  SetTimeouts(20, 500);
  // Nobody reads the other side: the terminal's buffers fill and the write
  // ends after its timeout with what went out.
  std::vector<BYTE> big(1 << 20, 'x');
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h_, big.data(), static_cast<DWORD>(big.size()), &n, nullptr));
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, big.size());
  EXPECT_TRUE(WriteFile(h_, big.data(), 100, &n, nullptr));
  EXPECT_EQ(n, 0u);
  // The other side reads what went out.
  BYTE b;
  ASSERT_EQ(read(master_, &b, 1), 1);
  EXPECT_EQ(b, 'x');
}

TEST_F(Tty, ALineThatWentAwayIsNoDevice) {
  SetTimeouts(20, 500);
  close(master_);
  master_ = -1;
  BYTE buf[8];
  DWORD n = 5;
  EXPECT_FALSE(ReadFile(h_, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERIAL_NO_DEVICE);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(WriteFile(h_, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERIAL_NO_DEVICE);
}

TEST_F(Tty, CloseEndsAReadWithoutTimeout) {
  COMMTIMEOUTS none{};  // a read waits until data arrives
  ASSERT_TRUE(SetCommTimeouts(h_, &none));
  std::thread reader([h = h_] {
    BYTE b;
    DWORD n = 1;
    EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
  });
  // Closing may come before or during the read: it ends either way.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(CloseHandle(h_));
  h_ = INVALID_HANDLE_VALUE;
  reader.join();
}

TEST(SerialAndPrinterPaths, OpenFailsCleanlyWithoutADevice) {
  plat::RegistryClear();
  plat::MapDevice(u"COM2:", "tty:/nonexistent/ttyUSB9");
  plat::MapDevice(u"COM3:", "tty:/dev/null");  // not a terminal
  plat::MapDevice(u"LPT2:", "usblp:/nonexistent/usb/lp9");
  for (const char16_t* name : {u"COM2:", u"COM3:", u"LPT2:"}) {
    SCOPED_TRACE(plat::ToUtf8(name));
    EXPECT_EQ(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  // A character device that is no printer: data goes out, the printer-class
  // requests fail.
  plat::MapDevice(u"LPT3:", "usblp:/dev/null");
  HANDLE h = CreateFileW(u"LPT3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{10, 0, 20, 0, 500};
  EXPECT_TRUE(SetCommTimeouts(h, &t));
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  BYTE buf[256];
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_PRINTER_GET_DEVICE_ID, nullptr, 0, buf, sizeof buf, &n, nullptr));
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_PRINTER_GET_STATUS, nullptr, 0, buf, 4, &n, nullptr));
  DCB dcb{};
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_TRUE(CloseHandle(h));
  plat::RegistryClear();
}

}  // namespace
