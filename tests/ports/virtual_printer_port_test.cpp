// The printer-class path against the virtual printer.
#include "printer/backend.h"
#include "printer/virtual_printer.h"
#include "tests/ports/port_fixture.h"

namespace {

class VirtualPort : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    vprinter::RegisterScheme();
    plat::MapDevice(u"LPT1:", "virtual:ports");
  }
  HANDLE Open(const vprinter::PrinterOptions& options, std::shared_ptr<vprinter::VirtualPrinter>* printer) {
    *printer = vprinter::Create("ports", options);
    uint8_t type = 0;
    HANDLE h = PrinterOpen(u"LPT1:", &type);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(type, PORTTYPE_PARALLEL);
    return h;
  }
};

TEST_F(VirtualPort, ModelFromTheDescription) {
  struct Case {
    const char* description;
    uint32_t code;
  } cases[] = {
      {"USB Printer S91 300DPI", 6}, {"USB Printer R5", 1},   {"USB Printer R5 300DPI", 4},
      {"USB Printer Generic", 7},    {"", 1},                 {"USB Printer", 1},
      {"usb printer r5", 0},         {"USB Printer R5X", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    vprinter::PrinterOptions options;
    options.description = c.description;
    options.attachment = vprinter::Attachment::PrinterClass;
    std::shared_ptr<vprinter::VirtualPrinter> printer;
    HANDLE h = Open(options, &printer);
    EXPECT_EQ(PortDetectModel(h, PORTTYPE_PARALLEL), c.code);
    EXPECT_TRUE(PortClose(h, PORTTYPE_PARALLEL));
  }
}

TEST_F(VirtualPort, StalledWritesAndARemovedPrinter) {
  vprinter::PrinterOptions options;
  options.attachment = vprinter::Attachment::PrinterClass;
  std::shared_ptr<vprinter::VirtualPrinter> printer;
  HANDLE h = Open(options, &printer);
  const BYTE job[] = {0x1B, 0x41};
  EXPECT_TRUE(PortWrite(h, PORTTYPE_PARALLEL, job, sizeof job));

  // Accepting nothing while still answering: FALSE without an error code.
  printer->SetStallWrites(true);
  SetLastError(5);
  EXPECT_FALSE(PortWrite(h, PORTTYPE_PARALLEL, job, sizeof job));
  EXPECT_EQ(GetLastError(), 0u);
  printer->SetPortStatusFails(true);
  EXPECT_FALSE(PortWrite(h, PORTTYPE_PARALLEL, job, sizeof job));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  printer->SetPortStatusFails(false);
  printer->SetStallWrites(false);

  BYTE buf[64];
  DWORD n = 9;
  EXPECT_TRUE(PortRead(h, PORTTYPE_PARALLEL, buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u);
  printer->Unplug();
  EXPECT_FALSE(PortRead(h, PORTTYPE_PARALLEL, buf, sizeof buf, &n));
  EXPECT_EQ(GetLastError(), ERROR_GRACEFUL_DISCONNECT);
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(PortClose(h, PORTTYPE_PARALLEL));
}

}  // namespace
