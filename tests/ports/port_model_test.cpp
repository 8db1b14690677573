// Printer model identification from device-ID replies.
#include <string>

#include "tests/ports/port_fixture.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Reply(const std::string& text) { return Bytes(text.begin(), text.end()); }
// With the two-byte length field in front, high byte first.
Bytes WithLength(const std::string& text) {
  std::string b;
  b += static_cast<char>((text.size() + 2) >> 8);
  b += static_cast<char>(text.size() + 2);
  return Reply(b + text);
}

using DetectModel = PortTest;

TEST_F(DetectModel, DeviceIdReplies) {
  auto port = Script(u"LPT1:");
  uint8_t type = 0;
  HANDLE h = PrinterOpen(u"LPT1:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // 256 bytes without a NUL, the description running to the very end.
  std::string full = "MFG:Norv Kest;CMD:NK;" + std::string(256 - 21 - 27, 'x') + ";DESCRIPTION:USB Printer R5";
  ASSERT_EQ(full.size(), 256u);
  struct Case {
    const char* what;
    Bytes reply;
    uint32_t code;
  } cases[] = {
      {"S91 300DPI after the length field", WithLength("MFG:Norv;MDL:K;DESCRIPTION:USB Printer S91 300DPI;"), 6},
      {"R5", Reply("MFG:Norv;DESCRIPTION:USB Printer R5;"), 1},
      {"R5 300DPI", Reply("DESCRIPTION:USB Printer R5 300DPI;CLS:PRINTER;"), 4},
      {"L46", WithLength("DESCRIPTION:USB Printer L46;"), 2},
      {"S91", WithLength("DESCRIPTION:USB Printer S91;"), 3},
      {"L46 300DPI", Reply("DESCRIPTION:USB Printer L46 300DPI;"), 5},
      {"Generic", Reply("DESCRIPTION:USB Printer Generic;"), 7},
      {"last entry without ';'", WithLength("MFG:Norv;DESCRIPTION:USB Printer L46 300DPI"), 5},
      {"empty description", Reply("DESCRIPTION:;MFG:Norv;"), 1},
      {"\"USB Printer\"", Reply("DESCRIPTION:USB Printer;"), 1},
      {"a leading part matches the first entry searched", Reply("DESCRIPTION:USB Printer S;"), 3},
      {"lower case", Reply("DESCRIPTION:usb printer r5;"), 0},
      {"one character too many", Reply("DESCRIPTION:USB Printer R5X;"), 0},
      {"only DES: and MODEL:", Reply("DES:USB Printer R5;MODEL:USB Printer R5;"), 0},
      {"key after a NUL", Reply(std::string("MFG:Norv;\0DESCRIPTION:USB Printer R5;", 37)), 0},
      {"empty reply", Bytes{}, 0},
      {"256 bytes, no NUL", Reply(full), 1},
      {"longer than 256 bytes is cut", Reply(full + "X;"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port->SetDeviceId(c.reply);
    port->ClearCalls();
    EXPECT_EQ(PortDetectModel(h, type), c.code);
    EXPECT_EQ(port->Calls(), std::vector<std::string>{"ioctl 16000c"});
  }
  port->SetDeviceId({}, true);
  EXPECT_EQ(PortDetectModel(h, type), 0u);
  EXPECT_TRUE(PortClose(h, type));
}

TEST_F(DetectModel, OnlyParallelPortsAreAsked) {
  auto com = Script(u"COM1:");
  com->SetSerial(true);
  com->SetDeviceId(Reply("DESCRIPTION:USB Printer S91;"));
  uint8_t type = 0;
  HANDLE h = PrinterOpen(u"COM1:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  com->ClearCalls();
  EXPECT_EQ(PortDetectModel(h, type), 0u);
  EXPECT_EQ(PortDetectModel(h, PORTTYPE_OTHER), 0u);
  EXPECT_TRUE(com->Calls().empty());
  EXPECT_EQ(PortDetectModel(h, PORTTYPE_PARALLEL), 3u);
  EXPECT_TRUE(PortClose(h, type));
  EXPECT_EQ(PortDetectModel(INVALID_HANDLE_VALUE, PORTTYPE_PARALLEL), 0u);
}

}  // namespace
