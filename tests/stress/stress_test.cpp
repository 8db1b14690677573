// Several applications go round every control request of "NVP1:", valid and
// invalid, while the GDI half prints a monochrome and a colour document
// through the engine and the real port driver to a virtual printer on
// "COM1:", and the monitor polls. The applications aim at a second printer
// on "COM2:", and while each page of the job is open also at the job's own
// port: resets the driver must refuse there, and RTS resets and status
// requests it must cope with.
//
// Afterwards: every page decodes to exactly the rows drawn, no stray command
// reached the job's printer, every request got the answer of its kind, every
// reset handed to the monitor reached the side printer, and once the last
// client has gone and the monitor's delayed stop has passed, no port, thread
// or allocation is left.
#include <gtest/gtest.h>

#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
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
#include "printer/backend.h"
#include "printer/virtual_printer.h"
#include "tests/frontend/page_helpers.h"
#include "tests/stress/driver_state.h"
#include "tests/stress/request_mix.h"

#if defined(__SANITIZE_THREAD__)
#define KEST_STRESS_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEST_STRESS_TSAN 1
#endif
#endif
#ifndef KEST_STRESS_TSAN
#define KEST_STRESS_TSAN 0
#endif

namespace stress {
namespace {

using kest_test::BlackWhite;
using kest_test::DecodeStream;
using kest_test::DotRow;
using kest_test::IsBlankRow;
using kest_test::RowsOf;

// The amount of work is fixed; only its pace follows the machine. The
// thread sanitizer makes every step many times slower, so it gets less.
struct Workload {
  int applications;
  int passes;  // rounds of the whole request mix per application, at least
  int monoPages;
  int colourPages;
  SHORT widthMm;
  SHORT monoLengthMm;
  SHORT colourLengthMm;
};
constexpr Workload kWork = KEST_STRESS_TSAN ? Workload{4, 1, 2, 2, 48, 16, 10} : Workload{4, 2, 3, 2, 80, 40, 24};

// 30 s of stand-in time pass in 1.5 s; the monitor's delayed stop at the end
// runs faster still.
constexpr double kClockSpeed = 20.0;
constexpr double kFinalClockSpeed = 200.0;

// Bars, a dotted rule, a moving block and a diagonal, shifted per page so
// that no two pages are alike.
bool Dot(int x, int y, int page, int width) {
  const int r = (y + page * 11) % 48;
  if (r < 6) return (x / 3 + page) % 4 != 0;
  if (r == 20) return x % 5 == page % 5;
  if (r >= 28 && r < 40) {
    const int start = (y * 13 + page * 101) % width;
    return x >= start && x < start + 40;
  }
  return (x + y + page) % 97 == 0;
}

struct Document {
  bool colour = false;
  std::vector<engine::Image> pages;
  int dots = 0;
  int lines = 0;
  uint64_t start = 0;  // job printer's byte count before and after
  uint64_t end = 0;
  std::vector<uint64_t> pageOffsets;  // from `start`
  engine::CallResult enabled;
  engine::DocumentResult result;
  bool windowsServed = true;
};

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    // Every row reaches the printer, so each page must decode to all its rows.
    ASSERT_TRUE(plat::RegistrySetDword(kPortDriverKey, u"EnablePageFilter", 0));
    plat::SetClock(1000000, kClockSpeed);
    plat::CaptureDebugOutput(true);
    vprinter::RegisterScheme();
    vprinter::PrinterOptions serial;
    serial.attachment = vprinter::Attachment::Serial;
    jobPrinter_ = kest_test::MapVirtualPrinter("stress-job", kJobPort, serial);
    sidePrinter_ = kest_test::MapVirtualPrinter("stress-side", kSidePort, serial);
    ASSERT_TRUE(jobPrinter_ && sidePrinter_);
    threadsBefore_ = plat::RunningThreads();
    ASSERT_TRUE(kest_test::RegisterPortDriver());
    registered_ = true;
  }

  void TearDown() override {
    if (registered_) plat::UnregisterStreamDriver(kPortDriverDevice);
    vprinter::RemoveAll();
    vprinter::UnregisterScheme();
    plat::CaptureDebugOutput(false);
    plat::SetClockSpeed(1.0);
    plat::RegistryClear();
  }

  // A request of an application that opened "NVP1:" for just this.
  static BOOL Request(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen) {
    HANDLE h = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return FALSE;
    const BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inLen, out, outLen, nullptr, nullptr);
    CloseHandle(h);
    return ok;
  }

  static uint8_t OpenSide() {
    const std::u16string name = kSidePort;
    BYTE index = 0;
    if (!Request(NVP_OPEN_NOMONITOR, name.c_str(), NameBytes(name), &index, 1)) return 0;
    return index;
  }

  // One document on the job port, served a window at every page start.
  void Print(Document& doc, SHORT lengthMm, int pageCount, Shared& shared) {
    DEVMODEW dm{};
    dm.dmSize = sizeof dm;
    dm.dmFields = DM_PAPERLENGTH | DM_PAPERWIDTH;
    dm.dmPaperSize = DMPAPER_USER;
    dm.dmPaperLength = lengthMm;
    dm.dmPaperWidth = kWork.widthMm;
    dm.dmOrientation = DMORIENT_PORTRAIT;
    dm.dmColor = doc.colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
    dm.dmPrintQuality = DMRES_HIGH;

    engine::Engine eng(&DrvEnableDriver);
    ASSERT_TRUE(eng.Loaded()) << eng.LoadError();
    doc.start = jobPrinter_->BytesReceived();
    doc.enabled = eng.Enable(dm, kJobPort);
    ASSERT_TRUE(doc.enabled) << "error " << doc.enabled.error;
    doc.dots = static_cast<int>(g_printer.pixelsPerLine);
    doc.lines = static_cast<int>(g_pageHeight);
    for (int p = 0; p < pageCount; ++p) {
      const int page = p + (doc.colour ? 10 : 0);
      doc.pages.push_back(
          BlackWhite(eng.PageWidth(), eng.PageHeight(), [&](int x, int y) { return Dot(x, y, page, doc.dots); }));
    }
    // The previous page is written out by now and none of this one yet.
    eng.SetPageStartedHook([&](int) {
      doc.pageOffsets.push_back(jobPrinter_->BytesReceived() - doc.start);
      if (!shared.windows.OpenAndWait()) doc.windowsServed = false;
    });
    doc.result = eng.PrintDocument(doc.pages, 64);
    eng.Disable();
    doc.end = jobPrinter_->BytesReceived();
    EXPECT_EQ(engine::LiveSurfaces(), 0);
  }

  // The job printer's bytes of one document decode to exactly its pages, and
  // nothing but the job's own commands is among them.
  void CheckDocument(const Document& doc, const std::vector<uint8_t>& captured) {
    SCOPED_TRACE(doc.colour ? "colour document" : "monochrome document");
    ASSERT_TRUE(doc.result.Ok());
    EXPECT_TRUE(doc.windowsServed);
    ASSERT_EQ(doc.result.pages.size(), doc.pages.size());
    ASSERT_LE(doc.end, captured.size());
    const std::span<const uint8_t> bytes(captured.data() + doc.start, doc.end - doc.start);
    const vprinter::DecodedJob job = DecodeStream(bytes, doc.dots, doc.colour, doc.pageOffsets);
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    ASSERT_EQ(job.planes.size(), doc.colour ? 4u : 1u);
    const size_t lines = static_cast<size_t>(doc.lines);
    ASSERT_EQ(job.planes[0].size(), doc.pages.size() * lines);
    for (size_t p = 0; p < doc.pages.size(); ++p) {
      const std::vector<DotRow> expected = RowsOf(doc.pages[p], doc.dots, 0, doc.lines);
      const std::vector<DotRow> printed(job.planes[0].begin() + static_cast<long>(p * lines),
                                        job.planes[0].begin() + static_cast<long>((p + 1) * lines));
      EXPECT_TRUE(printed == expected) << "page " << p << " differs";
    }
    // Black and white prints black only, also in colour.
    for (size_t plane = 1; plane < job.planes.size(); ++plane) {
      EXPECT_EQ(job.planes[plane].size(), job.planes[0].size());
      size_t inked = 0;
      for (const auto& row : job.planes[plane]) inked += IsBlankRow(row) ? 0 : 1;
      EXPECT_EQ(inked, 0u) << "plane " << plane;
    }
    // The job's own commands, once each: the applications' resets were refused
    // and their status requests sent nothing while the job was marked active.
    EXPECT_EQ(job.Count(vprinter::Command::Init), 1u);
    EXPECT_EQ(job.Count(vprinter::Command::StatusRequest), 1u);
    EXPECT_EQ(job.Count(vprinter::Command::JobControl, 2), 1u);
    EXPECT_EQ(job.Count(vprinter::Command::JobControl, 3), 1u);
    EXPECT_EQ(job.Count(vprinter::Command::Trailer), 1u);
    EXPECT_EQ(job.Count(vprinter::Command::Reset), 0u);
    EXPECT_EQ(job.Count(vprinter::Command::Rts), 0u);
  }

  // For failure messages: the open ports with their holders, and the monitor.
  static std::string PortDriverState() {
    return Locked([] {
      std::ostringstream os;
      os << "monitor " << (g_hStatusThread != nullptr ? "running" : "ended") << ", watching " << int{g_byMonitoredPort}
         << "; ports:";
      for (const auto& [index, rec] : g_mapOpenPorts) {
        os << " " << int{index} << " " << plat::ToUtf8(rec->name) << " (" << int{rec->refCount} << " holders)";
      }
      return os.str();
    });
  }

  std::shared_ptr<vprinter::VirtualPrinter> jobPrinter_;
  std::shared_ptr<vprinter::VirtualPrinter> sidePrinter_;
  int threadsBefore_ = 0;
  bool registered_ = false;
};

TEST_F(StressTest, ApplicationsBesideTwoDocuments) {
  // The current-port record is allocated once, at the first new open.
  const uint8_t first = OpenSide();
  ASSERT_NE(first, 0);
  ASSERT_TRUE(Request(NVP_CLOSE | first, nullptr, 0, nullptr, 0));
  const int64_t liveBefore = plat::LiveAllocations();

  Shared shared(kWork.applications, kWork.passes);
  std::vector<std::unique_ptr<Application>> apps;
  std::vector<std::thread> threads;
  for (int i = 0; i < kWork.applications; ++i) apps.push_back(std::make_unique<Application>(i, shared));
  for (auto& app : apps) threads.emplace_back([&app] { app->Run(); });

  Document mono;
  Document colour;
  colour.colour = true;
  {
    // The applications stop only once the job is over, however it ended.
    struct JobOver {
      Shared& shared;
      ~JobOver() { shared.jobDone.store(true, std::memory_order_release); }
    } jobOver{shared};
    Print(mono, kWork.monoLengthMm, kWork.monoPages, shared);
    Print(colour, kWork.colourLengthMm, kWork.colourPages, shared);
  }
  for (auto& t : threads) t.join();

  // The last client: it makes the monitor watch the side port, then leaves
  // it to the monitor alone, which schedules the monitor's delayed stop.
  const uint8_t side = OpenSide();
  ASSERT_NE(side, 0);
  std::u16string sideName = kSidePort;
  const uint32_t address = plat::RegisterCallerBuffer(sideName.data(), NameBytes(sideName));
  const PortRequest watch = {address, NameBytes(sideName), 0, 0};
  EXPECT_TRUE(Request(NVP_UPDATE_PRINTERSTATUS, &watch, sizeof watch, nullptr, 0));
  plat::UnregisterCallerBuffer(address);
  EXPECT_TRUE(Eventually([&] { return Locked([&] { return g_byMonitoredPort == side; }); }));
  EXPECT_TRUE(Request(NVP_CLOSE | side, nullptr, 0, nullptr, 0));

  plat::SetClockSpeed(kFinalClockSpeed);
  EXPECT_TRUE(Eventually([&] {
    return Locked([] { return g_hStatusThread == nullptr && g_mapOpenPorts.empty(); }) &&
           plat::RunningThreads() == threadsBefore_;
  })) << PortDriverState()
      << ", threads running: " << plat::RunningThreads() - threadsBefore_;
  EXPECT_FALSE(jobPrinter_->IsOpen());
  EXPECT_FALSE(sidePrinter_->IsOpen());
  // Only the status records the queues keep for later readers are left.
  const int64_t queued =
      Locked([] { return static_cast<int64_t>(g_dequeStatusRecords.size() + g_dequeStatusHistory.size()); });
  EXPECT_EQ(plat::LiveAllocations() - liveBefore, queued);

  // Every request answered as its kind must be.
  Tallies tallies;
  uint64_t sideResets = 0;
  uint64_t sideQueries = 0;
  for (const auto& app : apps) {
    for (const std::string& p : app->problems()) ADD_FAILURE() << p;
    for (const auto& [kind, t] : app->tallies()) {
      Tally& sum = tallies[kind];
      sum.served += t.served;
      sum.accepted += t.accepted;
      sum.refused += t.refused;
    }
    sideResets += app->sideResets();
    sideQueries += app->sideQueries();
  }
  uint64_t total = 0;
  std::cout << "requests served per kind (accepted / refused):\n";
  for (const std::string& kind : AllKinds()) {
    const Tally t = tallies.count(kind) ? tallies[kind] : Tally{};
    EXPECT_GT(t.served, 0u) << kind;
    std::cout << "  " << std::left << std::setw(36) << kind << std::right << std::setw(6) << t.served << "  ("
              << t.accepted << " / " << t.refused << ")\n";
    total += t.served;
  }
  std::cout << "  total " << total << " requests from " << kWork.applications << " applications, "
            << mono.pages.size() + colour.pages.size() << " pages printed\n";
  EXPECT_EQ(tallies.size(), AllKinds().size()) << "a kind outside the list";

  // The job: every page exactly as drawn.
  const std::vector<uint8_t> captured = jobPrinter_->Captured();
  CheckDocument(mono, captured);
  CheckDocument(colour, captured);
  EXPECT_EQ(captured.size(), colour.end) << "bytes reached the job printer outside its documents";

  // The side printer got whole commands only: every reset handed to the
  // monitor and every status request written.
  const vprinter::DecodedJob side2 = vprinter::Decode(sidePrinter_->Captured());
  ASSERT_TRUE(side2.ok()) << side2.error->ToString();
  EXPECT_EQ(side2.Count(vprinter::Command::Reset), sideResets);
  EXPECT_GE(side2.Count(vprinter::Command::StatusRequest), sideQueries);
  EXPECT_EQ(side2.lines, 0u);
}

}  // namespace
}  // namespace stress
