// Port opening: names, kinds, serial line settings and timeouts.
#include <termios.h>

#include <functional>
#include <vector>

#include "tests/ports/port_fixture.h"

namespace {

using Calls = std::vector<std::string>;

COMMTIMEOUTS TimeoutsOf(HANDLE h) {
  COMMTIMEOUTS t{};
  EXPECT_TRUE(GetCommTimeouts(h, &t));
  return t;
}

void ExpectPortTimeouts(const COMMTIMEOUTS& t, DWORD writeTimeout) {
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 20u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, writeTimeout);
}

using SerialOpen = PortTest;

TEST_F(SerialOpen, NameRulesOnAPseudoTerminal) {
  PseudoTerminal();
  struct Case {
    const char16_t* name;
    DWORD baud;
  } cases[] = {
      {u"COM1:", 115200},        {u"com1:", 115200},         {u"Com1:,57600", 57600},
      {u"COM1: 57600 ", 115200},  // the rate text must match exactly
      {u"COM1:x", 115200},       {u"COM1:.9600", 9600},
      {u"COM1:-921600", 921600}, {u"COM1:_14400", 14400},    {u"COM1:/12345", 115200},
      {u"COM10:", 115200},  // a two-digit port is cut to its first digit
      {u"COM12:2400", 2400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(plat::ToUtf8(c.name));
    uint8_t type = 0;
    HANDLE h = PrinterOpen(c.name, &type);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(type, PORTTYPE_SERIAL);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, c.baud);
    if (c.baud == 115200 || c.baud == 57600) {
      termios t{};
      ASSERT_EQ(tcgetattr(master_, &t), 0);
      EXPECT_EQ(cfgetospeed(&t), c.baud == 115200 ? static_cast<speed_t>(B115200) : static_cast<speed_t>(B57600));
    }
    EXPECT_TRUE(PortClose(h, type));
  }
}

TEST_F(SerialOpen, RegistrySettingsReachTheTerminal) {
  PseudoTerminal();
  struct Case {
    const char* what;
    int xonXoff, stopBits, parity;  // -1: value absent
    bool xon, crtscts, twoStop;
    tcflag_t parityBits;  // a pseudo-terminal keeps only PARODD and CMSPAR
  } cases[] = {
      {"defaults", -1, -1, -1, true, false, true, 0},
      {"hardware handshake", 0, -1, -1, false, true, true, 0},
      {"XonXoff 2 keeps XON/XOFF", 2, -1, -1, true, false, true, 0},
      {"one stop bit", -1, 0, -1, true, false, false, 0},
      {"1.5 stop bits become 2", -1, 1, -1, true, false, true, 0},
      {"StopBits 5", -1, 5, -1, true, false, true, 0},
      {"odd parity", -1, -1, 1, true, false, true, PARODD},
      {"mark parity", -1, -1, 3, true, false, true, PARODD | CMSPAR},
      {"space parity", 0, 0, 4, false, true, false, CMSPAR},
      {"Parity 7 is none", -1, -1, 7, true, false, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::RegistryDeleteTree(u"Drivers\\BuiltIn\\NVP");
    if (c.xonXoff >= 0) SetNvp(u"XonXoff", c.xonXoff);
    if (c.stopBits >= 0) SetNvp(u"StopBits", c.stopBits);
    if (c.parity >= 0) SetNvp(u"Parity", c.parity);
    // A line keeps its settings from one open to the next (XonXoff 2 leaves
    // an earlier handshake as it was): start each case from a plain line.
    termios plain{};
    ASSERT_EQ(tcgetattr(master_, &plain), 0);
    plain.c_cflag &= ~(CRTSCTS | CSTOPB | PARODD | CMSPAR);
    plain.c_iflag &= ~(IXON | IXOFF);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &plain), 0);
    uint8_t type = 0;
    HANDLE h = PrinterOpen(u"COM1:,9600", &type);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    termios t{};
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ((t.c_iflag & IXON) != 0, c.xon);
    EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.xon);
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.crtscts);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityBits);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    ExpectPortTimeouts(TimeoutsOf(h), 500);
    EXPECT_TRUE(PortClose(h, type));
  }
}

TEST_F(SerialOpen, ReadWithNothingWaitingReturns) {
  PseudoTerminal();
  uint8_t type = 0;
  HANDLE h = PrinterOpen(u"COM1:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE buf[64];
  DWORD n = 7;
  EXPECT_TRUE(PortRead(h, type, buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(write(master_, "\x80", 1), 1);
  for (int i = 0; i < 500 && n == 0; ++i) ASSERT_TRUE(PortRead(h, type, buf, sizeof buf, &n));
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(buf[0], 0x80);
  // A second open of the open port is refused.
  uint8_t type2 = 0x5A;
  EXPECT_EQ(PrinterOpen(u"COM1:", &type2), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(type2, 0x5A);
  EXPECT_TRUE(PortClose(h, type));
}

TEST_F(SerialOpen, WriteTimeoutFollowsPrintTimeout) {
  auto port = Script(u"COM2:");
  port->SetSerial(true);
  struct Case {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;  // empty: value absent
    DWORD expected;
  } cases[] = {
      {"absent", REG_NONE, {}, 500},
      {"dword", REG_DWORD, {0x20, 0x03, 0, 0}, 800},
      {"binary of 4 bytes", REG_BINARY, {0xE8, 0x03, 0, 0}, 1000},
      {"binary of 8 bytes cannot be read", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::RegistryDeleteTree(u"Drivers\\BuiltIn\\NVP");
    if (!c.data.empty()) {
      plat::RegistrySetBinary(u"Drivers\\BuiltIn\\NVP", u"PrintTimeout", c.type, c.data.data(),
                              static_cast<DWORD>(c.data.size()));
    }
    uint8_t type = 0;
    HANDLE h = PrinterOpen(u"COM2:", &type);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ExpectPortTimeouts(port->Timeouts(), c.expected);
    EXPECT_TRUE(PortClose(h, type));
  }
}

TEST_F(SerialOpen, SettingsOnADeviceThatKeepsTheDcb) {
  auto port = Script(u"COM2:");
  port->SetSerial(true);
  SetNvp(u"XonXoff", 0);
  SetNvp(u"Parity", 2);
  SetNvp(u"StopBits", 0);
  uint8_t type = 0;
  HANDLE h = PrinterOpen(u"COM2:x38400", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(type, PORTTYPE_SERIAL);
  EXPECT_EQ(port->Calls(), (Calls{"open c0000000 2", "getcommstate", "setcommstate", "gettimeouts", "settimeouts"}));
  DCB dcb = port->CommState();
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_TRUE(PortClose(h, type));

  // A port whose settings cannot be read still gets its timeouts.
  auto plain = Script(u"COM3:");
  h = PrinterOpen(u"COM3:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(plain->Calls(), (Calls{"open c0000000 2", "getcommstate", "gettimeouts", "settimeouts"}));
  ExpectPortTimeouts(plain->Timeouts(), 500);
  EXPECT_TRUE(PortClose(h, type));
}

TEST(ApplySerialSettings, RegistryValuesOverTheDefaults) {
  const std::u16string key = u"Drivers\\BuiltIn\\NVP";
  struct Case {
    const char* what;
    bool keyExists;
    int xonXoff, stopBits, parity;
    DWORD outX, inX, cts, rts;
    BYTE stop, par;
  } cases[] = {
      {"no key", false, -1, -1, -1, 1, 1, 1, RTS_CONTROL_TOGGLE, TWOSTOPBITS, NOPARITY},
      {"empty key", true, -1, -1, -1, 1, 1, 1, RTS_CONTROL_TOGGLE, TWOSTOPBITS, NOPARITY},
      {"XonXoff 0", true, 0, -1, -1, 0, 0, 1, RTS_CONTROL_HANDSHAKE, TWOSTOPBITS, NOPARITY},
      {"XonXoff 2 leaves CTS and RTS", true, 2, -1, -1, 1, 1, 1, RTS_CONTROL_TOGGLE, TWOSTOPBITS, NOPARITY},
      {"StopBits 0", true, -1, 0, -1, 1, 1, 1, RTS_CONTROL_TOGGLE, ONESTOPBIT, NOPARITY},
      {"StopBits 1", true, -1, 1, -1, 1, 1, 1, RTS_CONTROL_TOGGLE, ONE5STOPBITS, NOPARITY},
      {"StopBits 5", true, -1, 5, -1, 1, 1, 1, RTS_CONTROL_TOGGLE, TWOSTOPBITS, NOPARITY},
      {"Parity 4", true, -1, -1, 4, 1, 1, 1, RTS_CONTROL_TOGGLE, TWOSTOPBITS, SPACEPARITY},
      {"Parity 1", true, -1, -1, 1, 1, 1, 1, RTS_CONTROL_TOGGLE, TWOSTOPBITS, ODDPARITY},
      {"Parity 7", true, -1, -1, 7, 1, 1, 1, RTS_CONTROL_TOGGLE, TWOSTOPBITS, NOPARITY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::RegistryClear();
    if (c.keyExists) plat::RegistrySetString(key, u"Other", u"x");
    if (c.xonXoff >= 0) plat::RegistrySetDword(key, u"XonXoff", c.xonXoff);
    if (c.stopBits >= 0) plat::RegistrySetDword(key, u"StopBits", c.stopBits);
    if (c.parity >= 0) plat::RegistrySetDword(key, u"Parity", c.parity);
    // What the port reported: everything else stays as it was.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 4800;
    dcb.ByteSize = 7;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    ApplySerialSettings(&dcb);
    EXPECT_EQ(dcb.fOutX, c.outX);
    EXPECT_EQ(dcb.fInX, c.inX);
    EXPECT_EQ(dcb.fOutxCtsFlow, c.cts);
    EXPECT_EQ(dcb.fRtsControl, c.rts);
    EXPECT_EQ(dcb.StopBits, c.stop);
    EXPECT_EQ(dcb.Parity, c.par);
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.XonChar, 0x11);
  }
  plat::RegistryClear();
}

using ParallelOpen = PortTest;

TEST_F(ParallelOpen, NamesAndTheDefaultPort) {
  auto lpt1 = Script(u"LPT1:");
  auto lpt2 = Script(u"LPT2:");
  auto com1 = Script(u"COM1:");
  com1->SetSerial(true);
  const std::u16string ports = u"Printers\\Ports";
  struct Case {
    const char* what;
    const char16_t* name;           // null: no name given
    std::function<void()> registry;  // sets DefaultPrintPort
    std::shared_ptr<plat::ScriptedPort> opened;
    uint8_t type;
  } cases[] = {
      {"LPT1:", u"LPT1:", [] {}, lpt1, PORTTYPE_PARALLEL},
      {"lower case", u"lpt2:", [] {}, lpt2, PORTTYPE_PARALLEL},
      {"two-digit port", u"LPT12:", [] {}, lpt1, PORTTYPE_PARALLEL},
      {"no name, no default", nullptr, [] {}, lpt1, PORTTYPE_PARALLEL},
      {"no name, default COM1:", nullptr, [&] { plat::RegistrySetString(ports, u"DefaultPrintPort", u"COM1:"); },
       com1, PORTTYPE_SERIAL},
      {"default not a string", nullptr, [&] { plat::RegistrySetDword(ports, u"DefaultPrintPort", 2); }, lpt1,
       PORTTYPE_PARALLEL},
      {"default as binary", nullptr,
       [&] { plat::RegistrySetBinary(ports, u"DefaultPrintPort", REG_BINARY, u"LPT2:", 12); }, lpt1,
       PORTTYPE_PARALLEL},
      // Stored without its NUL and of odd length: still read as "LPT2:".
      {"default without NUL", nullptr,
       [&] { plat::RegistrySetBinary(ports, u"DefaultPrintPort", REG_SZ, u"LPT2:", 9); }, lpt2,
       PORTTYPE_PARALLEL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::RegistryDeleteTree(ports);
    c.registry();
    for (auto* p : {&lpt1, &lpt2, &com1}) (*p)->ClearCalls();
    int64_t live = plat::LiveAllocations();
    uint8_t type = 0;
    HANDLE h = PrinterOpen(c.name, &type);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(type, c.type);
    EXPECT_TRUE(c.opened->IsOpen());
    EXPECT_EQ(plat::LiveAllocations(), live);  // the name buffers are released
    if (c.type == PORTTYPE_PARALLEL) {
      EXPECT_EQ(c.opened->Calls(), (Calls{"open c0000000 3", "gettimeouts", "settimeouts"}));
      ExpectPortTimeouts(c.opened->Timeouts(), 500);
    }
    EXPECT_TRUE(PortClose(h, type));
  }
}

TEST_F(ParallelOpen, OtherNamesOpenWholeAndWriteOnly) {
  auto out = Script(u"OUT1:");
  auto capture = Script(u"\\Temp\\capture.prn");
  for (const char16_t* name : {u"OUT1:", u"\\Temp\\capture.prn"}) {
    SCOPED_TRACE(plat::ToUtf8(name));
    auto& port = name[0] == u'O' ? out : capture;
    uint8_t type = 0;
    HANDLE h = PrinterOpen(name, &type);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(type, PORTTYPE_PARALLEL);
    EXPECT_EQ(port->Calls(), (Calls{"open 40000000 3"}));  // no settings, no timeouts
    EXPECT_TRUE(PortClose(h, type));
  }
}

TEST_F(ParallelOpen, FailuresLeaveTheTypeByte) {
  Script(u"LPT1:");
  uint8_t type = 0x5A;
  EXPECT_EQ(PrinterOpen(u"LPT3:", &type), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, 0x5A);
  EXPECT_EQ(PrinterOpen(u"PRN9", &type), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, 0x5A);

  // No type byte: nothing happens, the last-error value stays.
  SetLastError(1234);
  EXPECT_EQ(PrinterOpen(u"LPT1:", nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 1234u);

  // The given name cannot be copied: the default port is used.
  plat::FailAllocationAfter(1);
  HANDLE h = PrinterOpen(u"LPT3:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(type, PORTTYPE_PARALLEL);
  EXPECT_TRUE(PortClose(h, type));

  // No memory for the default name.
  type = 0x5A;
  int64_t live = plat::LiveAllocations();
  plat::FailAllocationAfter(1);
  EXPECT_EQ(PrinterOpen(nullptr, &type), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
  EXPECT_EQ(type, 0x5A);
  EXPECT_EQ(plat::LiveAllocations(), live);
  plat::FailAllocationAfter(0);
}

}  // namespace
