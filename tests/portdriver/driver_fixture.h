// The in-process port driver on scripted ports: a fixture that initialises
// the driver, and helpers that read its state under its lock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "ports/ports.h"
#include "tests/portdriver/fake_port.h"
#include "tests/support/port_driver_state.h"

namespace pdtest {

using Bytes = std::vector<uint8_t>;
using kest_test::Eventually;
using kest_test::Locked;
using kest_test::NameBytes;
using kest_test::RefCount;

inline BOOL Io(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) {
  return NVP_IOControl(1, code, static_cast<BYTE*>(const_cast<void*>(in)), inLen, static_cast<BYTE*>(out), outLen,
                       returned);
}

// Opens a port by name; its index, or 0 on failure.
inline uint8_t OpenPort(const std::u16string& name, DWORD function = NVP_OPEN_NOMONITOR) {
  BYTE index = 0;
  DWORD returned = 0;
  if (!Io(function, name.c_str(), NameBytes(name), &index, 1, &returned)) return 0;
  return index;
}

inline BOOL ClosePort(uint8_t index) { return Io(NVP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr); }

inline bool IsOpen(uint8_t index) { return RefCount(index) >= 0; }
inline size_t TableSize() { return kest_test::OpenPortCount(); }
inline uint8_t MonitoredPort() {
  return Locked([] { return g_byMonitoredPort; });
}
inline HANDLE MonitorThread() {
  return Locked([] { return g_hStatusThread; });
}
inline size_t RecordCount() {
  return Locked([] { return g_dequeStatusRecords.size(); });
}
inline size_t HistoryCount() {
  return Locked([] { return g_dequeStatusHistory.size(); });
}
inline Bytes RecordBytes(const std::deque<StatusRecord*>& queue) { return kest_test::QueueBytes(queue); }

// Blocks until the stand-in clock has advanced to `ms` (64-bit stand-in ms).
inline void SleepUntil(uint64_t ms) {
  while (plat::NowMs64() < ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class PortDriverTest : public ::testing::Test {
 protected:
  // Registry values under Drivers\BuiltIn\NVP, set before NVP_Init.
  virtual void Settings() {}
  virtual double Speed() { return 1.0; }

  void SetUp() override {
    plat::RegistryClear();
    plat::SetClock(1000000, Speed());
    ports_ = std::make_unique<FakePorts>();
    com1 = ports_->Add(u"COM1:", true);
    com2 = ports_->Add(u"COM2:", true);
    lpt1 = ports_->Add(u"LPT1:", false);
    lpt2 = ports_->Add(u"LPT2:", false);
    lpt3 = ports_->Add(u"LPT3:", false);
    lpt4 = ports_->Add(u"LPT4:", false);
    barrier_ = ports_->Add(u"LPT5:", false);
    Settings();
    plat::CaptureDebugOutput(true);
    plat::TakeDebugOutput();
    ASSERT_EQ(NVP_Init(nullptr, nullptr), 1u);
  }

  // Returns once the monitor has served every message posted before: it
  // closes the handle of a reset handed to it after them.
  void SyncMonitor() {
    uint8_t type = 0;
    HANDLE h = PrinterOpen(u"LPT5:", &type);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(PostToMonitor(MONITOR_RESET_PRINTER, reinterpret_cast<WPARAM>(h), type | 0x10000, false));
    ASSERT_TRUE(Eventually([&] { return barrier_->OpenNow() == 0; }));
  }

  void TearDown() override {
    // The monitor serves one message per pass; let it catch up before it is
    // told to end, so that NVP_Deinit's wait covers only its way out.
    if (MonitorThread() != nullptr) SyncMonitor();
    // A full-speed clock gives the monitor all of NVP_Deinit's 2 s to end.
    plat::SetClockSpeed(1.0);
    NVP_Deinit(0);
    EXPECT_EQ(g_hStatusThread, nullptr);
    EXPECT_EQ(g_byMonitoredPort, 0);
    EXPECT_TRUE(g_mapOpenPorts.empty()) << "ports left open";
    // Leave nothing for the next test.
    for (auto& [i, rec] : g_mapOpenPorts) {
      CloseHandle(rec->handle);
      LocalFree(rec->name);
      LocalFree(rec);
    }
    g_mapOpenPorts.clear();
    ClearStatusQueue(g_dequeStatusHistory);
    ClearStatusQueue(g_dequeStatusRecords);
    g_byRecordsPort = 0;
    plat::CaptureDebugOutput(false);
    ports_.reset();
  }

  void SetDword(const std::u16string& name, DWORD value) {
    ASSERT_TRUE(plat::RegistrySetDword(kPortDriverKey, name, value));
  }

  std::unique_ptr<FakePorts> ports_;
  std::shared_ptr<FakeDevice> com1, com2, lpt1, lpt2, lpt3, lpt4, barrier_;
};

}  // namespace pdtest
