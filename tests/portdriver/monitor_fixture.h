// The port driver with its monitor thread, on a sped-up stand-in clock.
#pragma once

#include "tests/portdriver/driver_fixture.h"

namespace pdtest {

inline const Bytes kStatusRequestBytes = {0x1B, 0x6B, 0xFF};
inline const Bytes kResetBytes = {0x1B, 0x40};

class MonitorTest : public PortDriverTest {
 protected:
  // 30 s of stand-in time pass in 1.5 s.
  double Speed() override { return 20.0; }

  void SetUp() override {
    PortDriverTest::SetUp();
    dataEvent_ = CreateEventW(nullptr, FALSE, FALSE, kStatusDataEventName);
    timeoutEvent_ = CreateEventW(nullptr, FALSE, FALSE, kStatusTimeoutEventName);
  }
  void TearDown() override {
    CloseHandle(dataEvent_);
    CloseHandle(timeoutEvent_);
    PortDriverTest::TearDown();
  }

  // Opens with NVP_OPEN and waits until the monitor watches the port.
  uint8_t OpenWatched(const std::u16string& name) {
    const uint8_t index = OpenPort(name, NVP_OPEN);
    EXPECT_NE(index, 0);
    EXPECT_TRUE(Eventually([&] { return MonitoredPort() == index; }));
    return index;
  }

  // Waits for the monitor thread to end; the stand-in time it was seen ended.
  uint64_t WaitMonitorEnded() {
    EXPECT_TRUE(Eventually([] { return MonitorThread() == nullptr; }));
    return plat::NowMs64();
  }

  bool Signalled(HANDLE event, DWORD standInMs) { return WaitForSingleObject(event, standInMs) == WAIT_OBJECT_0; }

  HANDLE dataEvent_ = nullptr;
  HANDLE timeoutEvent_ = nullptr;
};

}  // namespace pdtest
