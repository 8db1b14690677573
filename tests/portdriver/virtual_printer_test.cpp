// The port driver against the virtual printer: its status answers reach
// NVP_CHECK_STATUS and the status requests, its model code is identified, an
// unplugged printer ends the watch, and RTS works on a serial attachment.
#include "printer/virtual_printer.h"

#include <gtest/gtest.h>

#include "platform/devices.h"
#include "printer/backend.h"
#include "tests/portdriver/monitor_fixture.h"

namespace pdtest {
namespace {

class VirtualPrinterTest : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    vprinter::RegisterScheme();
    vprinter::PrinterOptions usb;
    usb.attachment = vprinter::Attachment::PrinterClass;
    usb.description = "USB Printer S91 300DPI";
    usbPrinter_ = kest_test::MapVirtualPrinter("pd-usb", u"LPT6:", usb);
    vprinter::PrinterOptions serial;
    serial.attachment = vprinter::Attachment::Serial;
    serialPrinter_ = kest_test::MapVirtualPrinter("pd-serial", u"COM3:", serial);
    ASSERT_TRUE(usbPrinter_ && serialPrinter_);
  }
  void TearDown() override {
    MonitorTest::TearDown();
    vprinter::RemoveAll();
    vprinter::UnregisterScheme();
  }

  void RequestStatus(uint8_t index) {
    ASSERT_TRUE(Io(NVP_WRITE | index, kStatusRequestBytes.data(), 3, nullptr, 0, nullptr));
  }

  std::shared_ptr<vprinter::VirtualPrinter> usbPrinter_;
  std::shared_ptr<vprinter::VirtualPrinter> serialPrinter_;
};

TEST_F(VirtualPrinterTest, EachPrinterStateReachesTheStatusCheck) {
  const uint8_t index = OpenWatched(u"LPT6:");
  EXPECT_EQ(GetCurrentModelCode(), 6u) << "USB Printer S91 300DPI";
  struct Case {
    vprinter::State state;
    BOOL ready;
    DWORD error;
  };
  const Case cases[] = {
      {vprinter::State::NotReady, FALSE, ERROR_NOT_READY},
      {vprinter::State::PaperOut, FALSE, ERROR_OUT_OF_PAPER},
      {vprinter::State::Error, FALSE, ERROR_PRINTER_STATE_ERROR},
      {vprinter::State::PaperError, FALSE, ERROR_PRINTER_STATE_ERROR_PAPER},
      {vprinter::State::Ready, TRUE, 0},
  };
  for (const Case& c : cases) {
    usbPrinter_->SetState(c.state);
    RequestStatus(index);
    EXPECT_TRUE(Eventually([&] {
      SetLastError(0);
      const BOOL ready = Io(NVP_CHECK_STATUS | index, nullptr, 0, nullptr, 0, nullptr);
      return ready == c.ready && GetLastError() == c.error;
    })) << vprinter::StateName(c.state);
  }
  ClosePort(index);
}

TEST_F(VirtualPrinterTest, StatusRequestsOfAnApplication) {
  const uint8_t index = OpenPort(u"LPT6:");
  std::u16string name = u"LPT6:";
  const uint32_t address = plat::RegisterCallerBuffer(name.data(), NameBytes(name));
  const PortRequest request = {address, NameBytes(name), 0, 1000};
  ASSERT_TRUE(Io(NVP_UPDATE_PRINTERSTATUS, &request, sizeof request, nullptr, 0, nullptr));
  ASSERT_TRUE(Signalled(dataEvent_, 60000));
  BYTE out[640];
  DWORD returned = 0;
  ASSERT_TRUE(Io(NVP_GET_PRINTERSTATUS, name.c_str(), NameBytes(name), out, sizeof out, &returned));
  ASSERT_EQ(returned, 10u);
  EXPECT_EQ(out[8], 0x80);

  // A printer that answers nothing: the timeout event after the answer time.
  usbPrinter_->SetState(vprinter::State::Silent);
  ASSERT_TRUE(Io(NVP_UPDATE_PRINTERSTATUS, &request, sizeof request, nullptr, 0, nullptr));
  EXPECT_TRUE(Signalled(timeoutEvent_, 60000));
  EXPECT_FALSE(Signalled(dataEvent_, 0));
  plat::UnregisterCallerBuffer(address);
  ClosePort(index);
}

TEST_F(VirtualPrinterTest, UnpluggedWhileWatched) {
  const uint8_t index = OpenWatched(u"LPT6:");
  usbPrinter_->Unplug();
  WaitMonitorEnded();
  EXPECT_FALSE(IsOpen(index));
  EXPECT_FALSE(usbPrinter_->IsOpen());
  EXPECT_FALSE(Io(NVP_WRITE | index, kStatusRequestBytes.data(), 3, nullptr, 0, nullptr));
  usbPrinter_->Replug();
  EXPECT_EQ(OpenWatched(u"LPT6:"), 1);
  EXPECT_EQ(usbPrinter_->OpenCount(), 2u);
  ClosePort(1);
}

class VirtualSerialPrinterTest : public VirtualPrinterTest {
 protected:
  void Settings() override { SetDword(u"RTSOnOff", 1); }
};

TEST_F(VirtualSerialPrinterTest, RtsResetAndRtsPulseQuery) {
  const uint8_t index = OpenWatched(u"COM3:");
  const std::vector<uint8_t> rtsOn = {0x1B, 0x51, 0x0F, 0x0D};
  EXPECT_EQ(serialPrinter_->Captured(), rtsOn) << "the RTS-on command after the open";

  const size_t before = serialPrinter_->RtsChanges().size();
  EXPECT_TRUE(Io(NVP_RESET_RTS | index, nullptr, 0, nullptr, 0, nullptr));
  const auto changes = serialPrinter_->RtsChanges();
  ASSERT_GE(changes.size(), before + 2);
  EXPECT_EQ(changes[before].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(changes[before + 1].rtsControl, RTS_CONTROL_ENABLE);
  EXPECT_GE(changes[before + 1].timeMs - changes[before].timeMs, 220u);

  // The printer answers an RTS pulse with its status.
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index | (1000 << 16), 0x10001, false));
  EXPECT_TRUE(Signalled(dataEvent_, 60000));
  EXPECT_FALSE(Signalled(timeoutEvent_, 3000));
  ClosePort(index);
}

}  // namespace
}  // namespace pdtest
