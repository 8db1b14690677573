// Shared set-up of the front-end tests: a clean registry, a fast stand-in
// clock, the fake "NVP1:" and the printer model the port driver would report.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "frontend/frontend.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "tests/support/fake_port_driver.h"

namespace kest_test {

// The stand-in clock runs this much faster than real time in these tests.
constexpr double kClockSpeed = 50.0;

// The model code GetCurrentModelCode reports, as if the port driver had just
// opened a port with a printer of that model.
class CurrentModel {
 public:
  explicit CurrentModel(uint32_t code) {
    record_.modelCode = code;
    g_pCurrentPort = &record_;
  }
  ~CurrentModel() { g_pCurrentPort = nullptr; }

 private:
  CurrentPort record_{};
};

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline const std::vector<uint8_t> kJobInitBytes =
    Bytes({0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02});

class FrontendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    plat::SetClockSpeed(kClockSpeed);
    fake_ = std::make_unique<FakePortDriver>();
    ASSERT_TRUE(fake_->Registered());
    ResetFrontEnd();
  }
  void TearDown() override {
    g_printer.Shutdown();
    g_printer.outputCount = 0;
    fake_.reset();
    g_pCurrentPort = nullptr;
    plat::SetClockSpeed(1.0);
    plat::RegistryClear();
  }

  // The state a freshly loaded library starts with.
  static void ResetFrontEnd() {
    g_printer.Shutdown();
    g_printer.outputCount = 0;
    g_printer.controlBase = 0;
    g_printer.rowIndex = 0;
    g_printer.printTimeout = 800;
    g_printer.wakeUpBytes = 0;
    g_printer.resetStatusViaRts = 0;
    g_dhpdev = nullptr;
    g_pageWidth = g_pageHeight = g_widePage = 0;
    g_hSurface = nullptr;
    g_pageCount = 0;
    g_lineCount = 0;
    g_jobError = 0;
  }

  FakePortDriver& fake() { return *fake_; }

  std::unique_ptr<FakePortDriver> fake_;
};

}  // namespace kest_test
