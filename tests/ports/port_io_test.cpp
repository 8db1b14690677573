// Raw port I/O on scripted devices and on a pseudo-terminal.
#include <vector>

#include "tests/ports/port_fixture.h"

namespace {

using Calls = std::vector<std::string>;
using Bytes = std::vector<BYTE>;

class PortIo : public PortTest {
 protected:
  // A scripted device opened as the port layer opens it.
  HANDLE Open(const std::u16string& name, std::shared_ptr<plat::ScriptedPort>* port, uint8_t* type) {
    *port = Script(name);
    if (name.rfind(u"COM", 0) == 0) (*port)->SetSerial(true);
    HANDLE h = PrinterOpen(name.c_str(), type);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    (*port)->ClearCalls();
    return h;
  }
};

TEST_F(PortIo, WriteArgumentsAndFullWrites) {
  std::shared_ptr<plat::ScriptedPort> port;
  uint8_t type = 0;
  HANDLE h = Open(u"LPT1:", &port, &type);
  const BYTE data[] = {0x1B, 0x41, 0x1B, 0x6B, 0xFF};
  struct Case {
    const char* what;
    HANDLE h;
    const void* data;
    uint8_t type;
    DWORD error;
  } cases[] = {
      {"invalid handle", INVALID_HANDLE_VALUE, data, 9, ERROR_UNKNOWN_PORT},
      {"no data", h, nullptr, 9, ERROR_INVALID_PARAMETER},
      {"type 0", h, data, 0, ERROR_UNKNOWN_PORT},
      {"type 7", h, data, 7, ERROR_UNKNOWN_PORT},
      {"type 11", h, data, 11, ERROR_UNKNOWN_PORT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(PortWrite(c.h, c.type, c.data, sizeof data));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_TRUE(PortWrite(h, type, data, 0));
  EXPECT_TRUE(port->Calls().empty());

  // Short writes continue with the rest.
  port->PushWrite({2, 0});
  port->PushWrite({1, 0});
  EXPECT_TRUE(PortWrite(h, type, data, sizeof data));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(port->Written(), Bytes(data, data + sizeof data));
  EXPECT_EQ(port->Calls(), (Calls{"write 5", "write 3", "write 2"}));

  // A failing write passes its own error on, without a status request.
  port->ClearCalls();
  port->PushWrite({0, ERROR_GEN_FAILURE});
  EXPECT_FALSE(PortWrite(h, type, data, sizeof data));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_EQ(port->Calls(), (Calls{"write 5"}));
  EXPECT_TRUE(PortClose(h, type));
}

TEST_F(PortIo, ZeroByteWrites) {
  struct Case {
    const char* what;
    const char16_t* name;
    uint8_t typeUsed;  // 0: the type PrinterOpen gave
    bool statusWorks;
    DWORD error;
    Calls calls;
  } cases[] = {
      {"parallel, printer still answers", u"LPT1:", 0, true, 0, {"write 3", "ioctl 160018"}},
      {"parallel, status fails too", u"LPT1:", 0, false, ERROR_TIMEOUT, {"write 3", "ioctl 160018"}},
      {"serial", u"COM1:", 0, true, ERROR_TIMEOUT, {"write 3"}},
      {"other", u"LPT1:", PORTTYPE_OTHER, true, ERROR_TIMEOUT, {"write 3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::shared_ptr<plat::ScriptedPort> port;
    uint8_t type = 0;
    HANDLE h = Open(c.name, &port, &type);
    port->SetWriteStall(true);
    port->SetStatus(0x18, c.statusWorks ? 0 : ERROR_NOT_READY);
    SetLastError(77);
    EXPECT_FALSE(PortWrite(h, c.typeUsed ? c.typeUsed : type, "abc", 3));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(port->Calls(), c.calls);
    EXPECT_TRUE(PortClose(h, type));
  }
}

TEST_F(PortIo, WriteToAStalledSerialPortTimesOut) {
  PseudoTerminal();
  uint8_t type = 0;
  HANDLE h = PrinterOpen(u"COM1:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Nobody reads the other side: after the first writes fill the terminal,
  // a write moves nothing within the print timeout.
  std::vector<BYTE> block(1 << 16, 0x55);
  BOOL ok = TRUE;
  for (int i = 0; i < 64 && ok; ++i) ok = PortWrite(h, type, block.data(), static_cast<DWORD>(block.size()));
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_TRUE(PortClose(h, type));
}

TEST_F(PortIo, Reads) {
  BYTE buf[64];
  struct Case {
    const char* what;
    const char16_t* name;
    std::function<void(plat::ScriptedPort&)> script;
    BOOL result;
    DWORD error;
    DWORD count;
    Calls calls;
  } cases[] = {
      {"parallel, nothing waiting", u"LPT1:", [](plat::ScriptedPort&) {}, TRUE, 0, 0, {"read 64", "ioctl 160018"}},
      {"parallel, bytes", u"LPT1:", [](plat::ScriptedPort& p) { p.QueueRead({0x80, 0x88}); }, TRUE, 0, 2,
       {"read 64"}},
      {"removed printer", u"LPT1:", [](plat::ScriptedPort& p) { p.Unplug(); }, FALSE, ERROR_GRACEFUL_DISCONNECT, 0,
       {"read 64", "ioctl 160018"}},
      {"parallel read fails, printer answers", u"LPT1:",
       [](plat::ScriptedPort& p) { p.PushReadError(ERROR_READ_FAULT); }, FALSE, ERROR_READ_FAULT, 0,
       {"read 64", "ioctl 160018"}},
      {"serial, nothing waiting", u"COM1:", [](plat::ScriptedPort&) {}, TRUE, 0, 0, {"read 64"}},
      {"serial line gone", u"COM1:", [](plat::ScriptedPort& p) { p.PushReadError(ERROR_SERIAL_NO_DEVICE); }, FALSE,
       ERROR_SERIAL_NO_DEVICE, 0, {"read 64"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::shared_ptr<plat::ScriptedPort> port;
    uint8_t type = 0;
    HANDLE h = Open(c.name, &port, &type);
    c.script(*port);
    DWORD count = 99;
    EXPECT_EQ(PortRead(h, type, buf, sizeof buf, &count), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(port->Calls(), c.calls);
    EXPECT_TRUE(PortClose(h, type));
  }
  DWORD count = 0;
  EXPECT_FALSE(PortRead(INVALID_HANDLE_VALUE, 9, buf, sizeof buf, &count));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT);
  std::shared_ptr<plat::ScriptedPort> port;
  uint8_t type = 0;
  HANDLE h = Open(u"LPT2:", &port, &type);
  EXPECT_FALSE(PortRead(h, type, nullptr, 4, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(PortRead(h, type, buf, 4, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(port->Calls().empty());
  // Writing to the removed printer passes the platform's error on.
  port->Unplug();
  EXPECT_FALSE(PortWrite(h, type, "x", 1));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(PortClose(h, type));
}

TEST_F(PortIo, PurgeOnlyTouchesSerialPorts) {
  std::shared_ptr<plat::ScriptedPort> lpt, com;
  uint8_t lptType = 0, comType = 0;
  HANDLE hl = Open(u"LPT1:", &lpt, &lptType);
  HANDLE hc = Open(u"COM1:", &com, &comType);
  EXPECT_FALSE(PortPurge(hl, lptType, TRUE));
  EXPECT_FALSE(PortPurge(hl, PORTTYPE_OTHER, FALSE));
  EXPECT_TRUE(lpt->Calls().empty());
  EXPECT_TRUE(PortPurge(hc, comType, TRUE));
  EXPECT_TRUE(PortPurge(hc, comType, FALSE));
  EXPECT_EQ(com->Calls(), (Calls{"purge 8", "purge 4"}));
  EXPECT_TRUE(PortClose(hl, lptType));
  EXPECT_TRUE(PortClose(hc, comType));
}

TEST_F(PortIo, RtsWhereTheLineExistsAndWhereNot) {
  // A serial port with an RTS line, configured for hardware handshake.
  SetNvp(u"XonXoff", 0);
  std::shared_ptr<plat::ScriptedPort> com;
  uint8_t type = 0;
  HANDLE h = Open(u"COM1:", &com, &type);
  EXPECT_TRUE(PortSetRts(h, TRUE));
  EXPECT_TRUE(PortSetRts(h, FALSE));
  EXPECT_EQ(com->RtsChanges(), (std::vector<DWORD>{RTS_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE}));
  EXPECT_EQ(com->CommState().fRtsControl, RTS_CONTROL_ENABLE);  // the handshake is not restored
  EXPECT_EQ(com->CommState().BaudRate, 115200u);
  EXPECT_TRUE(PortClose(h, type));

  // A port without serial settings, and a pseudo-terminal without modem lines.
  std::shared_ptr<plat::ScriptedPort> lpt;
  h = Open(u"LPT1:", &lpt, &type);
  EXPECT_FALSE(PortSetRts(h, TRUE));
  EXPECT_TRUE(PortClose(h, type));
  plat::RegistryDeleteTree(u"Drivers\\BuiltIn\\NVP");
  PseudoTerminal(u"COM2:");
  h = PrinterOpen(u"COM2:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  for (BOOL off : {TRUE, FALSE}) {
    SetLastError(0);
    EXPECT_FALSE(PortSetRts(h, off));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  }
  EXPECT_TRUE(PortClose(h, type));
}

TEST_F(PortIo, CloseOnlyWhatWasOpened) {
  std::shared_ptr<plat::ScriptedPort> port;
  uint8_t type = 0;
  HANDLE h = Open(u"LPT1:", &port, &type);
  EXPECT_FALSE(PortClose(INVALID_HANDLE_VALUE, type));
  EXPECT_FALSE(PortClose(h, 0));
  EXPECT_FALSE(PortClose(h, 11));
  EXPECT_TRUE(port->IsOpen());
  EXPECT_TRUE(PortClose(h, type));
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(PortClose(h, type));  // a closed handle
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
