// Whole jobs against failing printers: the graphics-engine stand-in enables
// the driver linked into this test, the real port driver ("NVP1:") opens the
// port, and a document loop of our own calls the driver's entries from the
// engine's table, stopping at chosen moments (after the job start, before a
// page, in the middle of a page, before the document end) so that a fault
// can be made to happen exactly there.
//
// After every test no thread of the driver may still run (the monitor ends
// after its delayed stop; the clock is sped up), no port may be open and no
// driver allocation may be left.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "frontend/frontend.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "tests/frontend/page_helpers.h"
#include "tests/support/port_driver_state.h"

namespace faults {

using kest_test::DotRow;

// 30 s of stand-in time pass in 0.6 s.
constexpr double kClockSpeed = 50.0;

using kest_test::Eventually;
using kest_test::Locked;

inline size_t OpenPorts() { return kest_test::OpenPortCount(); }

// The status bytes the port driver judges readiness by.
inline std::vector<uint8_t> StatusHistory() { return kest_test::QueueBytes(g_dequeStatusHistory); }

// Until the newest status byte the port driver holds is `byte`.
inline bool WaitStatusRecorded(uint8_t byte) {
  return Eventually([&] {
    const auto h = StatusHistory();
    return !h.empty() && h.back() == byte;
  });
}

enum class Entry { Enable, StartDoc, StartPage, CopyBits, EndDoc };

inline const char* EntryName(Entry e) {
  switch (e) {
    case Entry::Enable:
      return "DrvEnablePDEV";
    case Entry::StartDoc:
      return "DrvStartDoc";
    case Entry::StartPage:
      return "DrvStartPage";
    case Entry::CopyBits:
      return "DrvCopyBits";
    case Entry::EndDoc:
      return "DrvEndDoc";
  }
  return "?";
}

// Where the document loop stops for the test.
enum class Moment {
  AfterEnable,   // the job start has been sent
  BeforePage,    // before DrvStartPage of page `page`
  MidPage,       // after the first band of page `page`
  BeforeEndDoc,  // after the last page's rows
};

struct Call {
  Entry entry;
  int page;  // -1 for the document's own entries
  engine::CallResult result;
};

struct JobOutcome {
  std::vector<Call> calls;
  std::vector<engine::Image> pages;  // what was printed
  int dots = 0;                      // dots per printer line

  bool Ok() const {
    for (const Call& c : calls) {
      if (!c.result) return false;
    }
    return !calls.empty() && calls.back().entry == Entry::EndDoc;
  }
  std::optional<Call> FirstFailure() const {
    for (const Call& c : calls) {
      if (!c.result) return c;
    }
    return std::nullopt;
  }
  const Call* Find(Entry e) const {
    for (const Call& c : calls) {
      if (c.entry == e) return &c;
    }
    return nullptr;
  }
  // The expected rows of every page, in order.
  std::vector<DotRow> Rows() const {
    std::vector<DotRow> out;
    for (const engine::Image& p : pages) {
      auto rows = kest_test::RowsOf(p, dots);
      out.insert(out.end(), rows.begin(), rows.end());
    }
    return out;
  }
  std::string Describe() const {
    std::ostringstream os;
    for (const Call& c : calls) {
      os << EntryName(c.entry);
      if (c.page >= 0) os << "(" << c.page << ")";
      os << "=" << (c.result ? "TRUE" : "FALSE") << "/" << c.result.error << " ";
    }
    return os.str();
  }
};

// A page whose rows all differ and all carry dots, about half of them black:
// it compresses badly, so that each page takes several writes.
inline engine::Image NoisePage(int w, int h, uint32_t seed) {
  engine::Image img(w, h, 0xFF);
  uint32_t s = seed * 2654435761u + 12345u;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      s = s * 1664525u + 1013904223u;
      if ((s >> 16) & 1) img.Set(x, y, 0, 0, 0);
    }
    img.Set(0, y, 0, 0, 0);
  }
  return img;
}

struct JobPlan {
  std::u16string port = u"LPT1:";
  SHORT paper = 1;  // 48 mm: 576 x 816 dots at 300 dpi
  int pageCount = 2;
  int bands = 4;
  uint32_t seed = 1;
  std::function<void(Moment, int page)> at;
  // After each successful DrvStartPage: where the printer's seeds start over.
  std::function<void(int page)> pageStarted;
};

// One job as an application prints it: enable, a document of pageCount
// pages handed over in bands, document end, disable. The first failure ends
// the document early; DrvEndDoc and the disable still run.
inline JobOutcome RunJob(const JobPlan& plan) {
  JobOutcome out;
  auto at = [&](Moment m, int page) {
    if (plan.at) plan.at(m, page);
  };
  engine::Engine eng(&DrvEnableDriver);
  if (!eng.Loaded()) {
    ADD_FAILURE() << eng.LoadError();
    return out;
  }
  DEVMODEW dm{};
  dm.dmSize = sizeof dm;
  dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE;
  dm.dmPaperSize = plan.paper;
  dm.dmOrientation = DMORIENT_PORTRAIT;
  dm.dmPrintQuality = DMRES_HIGH;
  dm.dmColor = DMCOLOR_MONOCHROME;
  const engine::CallResult enabled = eng.Enable(dm, plan.port.c_str());
  out.calls.push_back({Entry::Enable, -1, enabled});
  if (!enabled) return out;
  at(Moment::AfterEnable, -1);

  const int w = eng.PageWidth();
  const int h = eng.PageHeight();
  out.dots = w;
  const DRVENABLEDATA& table = eng.DriverTable();
  auto startDoc = reinterpret_cast<PFN_DrvStartDoc>(table.pfn[INDEX_DrvStartDoc]);
  auto startPage = reinterpret_cast<PFN_DrvStartPage>(table.pfn[INDEX_DrvStartPage]);
  auto copyBits = reinterpret_cast<PFN_DrvCopyBits>(table.pfn[INDEX_DrvCopyBits]);
  auto endDoc = reinterpret_cast<PFN_DrvEndDoc>(table.pfn[INDEX_DrvEndDoc]);
  auto call = [](BOOL result) { return engine::CallResult{result, GetLastError()}; };

  SURFOBJ device{};  // the driver does not look at its own surface here
  static char16_t docName[] = u"faults";
  SetLastError(ERROR_SUCCESS);
  out.calls.push_back({Entry::StartDoc, -1, call(startDoc(&device, docName, 1))});
  bool going = bool(out.calls.back().result);
  for (int i = 0; going && i < plan.pageCount; ++i) {
    at(Moment::BeforePage, i);
    SetLastError(ERROR_SUCCESS);
    out.calls.push_back({Entry::StartPage, i, call(startPage(&device))});
    if (!out.calls.back().result) break;
    if (plan.pageStarted) plan.pageStarted(i);
    out.pages.push_back(NoisePage(w, h, plan.seed + static_cast<uint32_t>(i)));
    kest_test::Source source(out.pages.back(), true);
    const int band = (h + plan.bands - 1) / plan.bands;
    for (int y0 = 0; y0 < h; y0 += band) {
      if (y0 > 0 && y0 == band) at(Moment::MidPage, i);
      const int y1 = std::min(h, y0 + band);
      RECTL rect = {0, y0, w, y1};
      POINTL origin = {0, y0};
      SetLastError(ERROR_SUCCESS);
      out.calls.push_back(
          {Entry::CopyBits, i, call(copyBits(&device, source.surface(), nullptr, nullptr, &rect, &origin))});
      if (!out.calls.back().result) {
        going = false;
        break;
      }
    }
  }
  at(Moment::BeforeEndDoc, -1);
  SetLastError(ERROR_SUCCESS);
  out.calls.push_back({Entry::EndDoc, -1, call(endDoc(&device, 0))});
  eng.Disable();
  return out;
}

// The port driver registered as the device manager would load it, and the
// checks that a job left nothing behind.
class FaultTest : public ::testing::Test {
 protected:
  // Registry values under Drivers\BuiltIn\NVP, set before the driver starts.
  virtual void Settings() {}

  void SetUp() override {
    plat::RegistryClear();
    plat::SetClock(1000000, kClockSpeed);
    plat::CaptureDebugOutput(true);
    // Status records stay queued between port-driver lifetimes; start empty
    // so that the allocation count below compares like with like.
    ClearStatusQueue(g_dequeStatusHistory);
    ClearStatusQueue(g_dequeStatusRecords);
    hadCurrentPort_ = g_pCurrentPort != nullptr;
    threadsBefore_ = plat::RunningThreads();
    allocationsBefore_ = plat::LiveAllocations();
    Settings();
    ASSERT_TRUE(kest_test::RegisterPortDriver());
  }

  void TearDown() override {
    // The monitor ends 30 s (stand-in) after the last job let go of the port.
    EXPECT_TRUE(Eventually([&] { return plat::RunningThreads() == threadsBefore_; }))
        << plat::RunningThreads() << " threads still running";
    EXPECT_EQ(OpenPorts(), 0u) << "ports left open";
    plat::UnregisterStreamDriver(kPortDriverDevice);
    ClearStatusQueue(g_dequeStatusHistory);
    ClearStatusQueue(g_dequeStatusRecords);
    // The record of the current printer model is kept for the library's life.
    const int64_t kept = !hadCurrentPort_ && g_pCurrentPort != nullptr ? 1 : 0;
    EXPECT_EQ(plat::LiveAllocations(), allocationsBefore_ + kept) << "allocations left";
    plat::CaptureDebugOutput(false);
    plat::SetClockSpeed(1.0);
    plat::RegistryClear();
  }

  void SetDword(const std::u16string& name, DWORD value) {
    ASSERT_TRUE(plat::RegistrySetDword(kPortDriverKey, name, value));
  }

  int threadsBefore_ = 0;
  int64_t allocationsBefore_ = 0;
  bool hadCurrentPort_ = false;
};

// Compares printed rows with the expected ones, naming the first difference
// instead of dumping both.
inline ::testing::AssertionResult SameRows(const std::vector<DotRow>& printed, const std::vector<DotRow>& expected) {
  const size_t n = std::min(printed.size(), expected.size());
  for (size_t i = 0; i < n; ++i) {
    if (printed[i] != expected[i]) return ::testing::AssertionFailure() << "row " << i << " differs";
  }
  if (printed.size() != expected.size()) {
    return ::testing::AssertionFailure() << printed.size() << " rows printed, " << expected.size() << " expected";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace faults
