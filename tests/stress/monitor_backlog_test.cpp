// The last client leaves a port while status queries that carry references
// for the monitor are still queued. The monitor must still end 30 s after
// that close and release the port, as it does when it has caught up.
#include <gtest/gtest.h>

#include <memory>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "printer/backend.h"
#include "printer/virtual_printer.h"
#include "tests/stress/driver_state.h"

namespace stress {
namespace {

class MonitorBacklog : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    plat::SetClock(1000000, 20.0);
    plat::CaptureDebugOutput(true);
    vprinter::RegisterScheme();
    vprinter::PrinterOptions serial;
    serial.attachment = vprinter::Attachment::Serial;
    printer_ = kest_test::MapVirtualPrinter("backlog-printer", u"COM2:", serial);
    other_ = kest_test::MapVirtualPrinter("backlog-other", u"COM3:", serial);
    ASSERT_TRUE(printer_ && other_);
    threadsBefore_ = plat::RunningThreads();
    ASSERT_EQ(NVP_Init(nullptr, nullptr), 1u);
    // No records left from an earlier test in this process.
    Locked([] {
      ClearStatusQueue(g_dequeStatusRecords);
      ClearStatusQueue(g_dequeStatusHistory);
      g_byRecordsPort = 0;
      return 0;
    });
  }
  void TearDown() override {
    plat::SetClockSpeed(1.0);
    NVP_Deinit(0);
    vprinter::RemoveAll();
    vprinter::UnregisterScheme();
    plat::CaptureDebugOutput(false);
    plat::RegistryClear();
  }

  static BOOL Io(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen) {
    return NVP_IOControl(1, code, static_cast<BYTE*>(const_cast<void*>(in)), inLen, static_cast<BYTE*>(out), outLen,
                         nullptr);
  }
  static int Holders(uint8_t index) {
    return Locked([&] {
      PortRecord* rec = FindPort(index);
      return rec == nullptr ? -1 : int{rec->refCount};
    });
  }

  std::shared_ptr<vprinter::VirtualPrinter> printer_, other_;
  int threadsBefore_ = 0;
};

TEST_F(MonitorBacklog, LastCloseBeforeQueuedQueriesAreServed) {
  // The monitor watches COM3: for an application that asked for its status.
  const std::u16string other = u"COM3:";
  ASSERT_TRUE(Io(NVP_GET_PRINTERSTATUS, other.c_str(), NameBytes(other), nullptr, 0));
  ASSERT_TRUE(Eventually([] { return Locked([] { return g_byMonitoredPort != 0; }); }));

  std::u16string name = u"COM2:";
  BYTE index = 0;
  ASSERT_TRUE(Io(NVP_OPEN_NOMONITOR, name.c_str(), NameBytes(name), &index, 1));
  const uint32_t address = plat::RegisterCallerBuffer(name.data(), NameBytes(name));
  const PortRequest update = {address, NameBytes(name), 0, 0};

  // While the lock is held the monitor serves nothing: both status updates
  // find COM2: not yet watched, and each obtains a reference for the
  // monitor; then the client leaves.
  uint64_t closedAt = 0;
  Locked([&] {
    EXPECT_TRUE(Io(NVP_UPDATE_PRINTERSTATUS, &update, sizeof update, nullptr, 0));
    EXPECT_TRUE(Io(NVP_UPDATE_PRINTERSTATUS, &update, sizeof update, nullptr, 0));
    EXPECT_EQ(Holders(index), 3);
    EXPECT_TRUE(Io(NVP_CLOSE | index, nullptr, 0, nullptr, 0));
    closedAt = plat::NowMs64();
    return 0;
  });
  plat::UnregisterCallerBuffer(address);

  // The monitor catches up: it watches COM2: alone, COM3: is released.
  EXPECT_TRUE(Eventually([&] { return Locked([&] { return g_byMonitoredPort == index; }) && Holders(index) == 1; }));
  EXPECT_TRUE(Eventually([] { return Locked([] { return g_mapOpenPorts.size() == 1; }); }));
  EXPECT_FALSE(other_->IsOpen());

  // Nobody asks for anything more: 30 s after the close the monitor ends.
  plat::SetClockSpeed(200.0);
  ASSERT_TRUE(Eventually(
      [&] {
        return Locked([] { return g_hStatusThread == nullptr && g_mapOpenPorts.empty(); }) &&
               plat::RunningThreads() == threadsBefore_;
      },
      20))
      << "the monitor still holds COM2: with " << Holders(index) << " reference(s)";
  EXPECT_GE(plat::NowMs64() - closedAt, 30000u);
  EXPECT_FALSE(printer_->IsOpen());
}

}  // namespace
}  // namespace stress
