// Jobs on a failing virtual printer: each case injects one fault at one moment
// of the job and checks the entry that fails, its last-error value and what
// the printer received; then the printer recovers and the next job on the
// same port must print every row of its pages.
#include <optional>
#include <ostream>
#include <string>

#include "printer/backend.h"
#include "printer/virtual_printer.h"
#include "tests/faults/fault_fixture.h"

namespace faults {
namespace {

using vprinter::State;

// A printer on the USB printer class ("LPT1:") and one on a serial line
// ("COM1:"), both reporting every change of state at once.
class PrinterFaults : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    vprinter::RegisterScheme();
    usb_ = Make("faults-usb", u"LPT1:", vprinter::Attachment::PrinterClass);
    serial_ = Make("faults-serial", u"COM1:", vprinter::Attachment::Serial);
    ASSERT_TRUE(usb_ && serial_);
  }
  void TearDown() override {
    FaultTest::TearDown();
    usb_.reset();
    serial_.reset();
    vprinter::RemoveAll();
    vprinter::UnregisterScheme();
  }

  static std::shared_ptr<vprinter::VirtualPrinter> Make(const std::string& name, const std::u16string& port,
                                                        vprinter::Attachment a) {
    vprinter::PrinterOptions o;
    o.attachment = a;
    o.reportStateChanges = true;
    o.decoder.bytesPerLine = 576 / 8;  // paper code 1 at 300 dpi
    return kest_test::MapVirtualPrinter(name, port, o);
  }

  // A job on `printer`: the decoder is told where pages start, and after the
  // job start the test waits until the port driver holds the printer's
  // answer to the status request of the job start, as a user would see it
  // before the document begins.
  JobOutcome Run(vprinter::VirtualPrinter& printer, const std::u16string& port,
                 std::function<void(Moment, int)> at = nullptr) {
    JobPlan plan;
    plan.port = port;
    plan.pageStarted = [&](int) { printer.MarkPageStart(); };
    plan.at = [&](Moment m, int page) {
      if (m == Moment::AfterEnable && printer.StatusAnswers() > 0) {
        if (auto b = vprinter::StatusByte(printer.state())) {
          EXPECT_TRUE(WaitStatusRecorded(*b));
        }
      }
      if (at) at(m, page);
    };
    return RunJob(plan);
  }

  // The printer is well again: the next job on the same port prints whole.
  void ExpectNextJobPrintsWhole(vprinter::VirtualPrinter& printer, const std::u16string& port) {
    printer.ClearJob();
    const JobOutcome next = Run(printer, port);
    EXPECT_TRUE(next.Ok()) << next.Describe();
    const vprinter::DecodedJob job = printer.Printed(true);
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    ASSERT_FALSE(job.planes.empty());
    EXPECT_TRUE(SameRows(job.planes[0], next.Rows()));
    EXPECT_EQ(job.Count(vprinter::Command::JobControl, 3), 1u) << "job end";
  }

  std::shared_ptr<vprinter::VirtualPrinter> usb_;
  std::shared_ptr<vprinter::VirtualPrinter> serial_;
};

// What reached the printer: how many pages printed whole (in order from the
// first), and whether the job end came.
struct Reached {
  size_t wholePages;
  bool jobEnd;
};

// Checks the failing entry, its error and what the printer received.
void ExpectOutcome(const JobOutcome& job, vprinter::VirtualPrinter& printer, std::optional<Entry> failsAt, int failPage,
                   DWORD error, Reached reached) {
  const std::optional<Call> failed = job.FirstFailure();
  if (!failsAt) {
    EXPECT_FALSE(failed.has_value()) << job.Describe();
  } else {
    ASSERT_TRUE(failed.has_value()) << job.Describe();
    EXPECT_EQ(failed->entry, *failsAt) << job.Describe();
    EXPECT_EQ(failed->page, failPage) << job.Describe();
    EXPECT_EQ(failed->result.error, error) << job.Describe();
    // The document end reports the failure too, whatever came before.
    const Call* end = job.Find(Entry::EndDoc);
    if (*failsAt != Entry::Enable) {
      ASSERT_NE(end, nullptr);
      EXPECT_FALSE(end->result) << job.Describe();
    }
  }
  const vprinter::DecodedJob printed = printer.Printed(true);
  static const std::vector<DotRow> kNone;
  const std::vector<DotRow>& rows = printed.planes.empty() ? kNone : printed.planes[0];
  size_t whole = 0;
  size_t at = 0;
  for (const engine::Image& page : job.pages) {
    const auto expected = kest_test::RowsOf(page, job.dots);
    if (at + expected.size() > rows.size()) break;
    if (!SameRows(std::vector<DotRow>(rows.begin() + at, rows.begin() + at + expected.size()), expected)) break;
    at += expected.size();
    ++whole;
  }
  EXPECT_EQ(whole, reached.wholePages) << printed.rows() << " rows printed";
  EXPECT_EQ(printed.Count(vprinter::Command::JobControl, 3) == 1, reached.jobEnd) << "job end";
}

// ---- the printer's state at each stage of a job --------------------------------------

struct StateCase {
  const char* name;
  State state;
  std::optional<Moment> moment;  // none: the printer is in that state from the start
  int page;
  bool busy;  // the printer takes no data while in that state
  Entry failsAt;
  int failPage;
  DWORD error;
  Reached reached;
};
void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class StatesAtEachStage : public PrinterFaults, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StatesAtEachStage, FailingEntryAndWhatWasPrinted) {
  const StateCase& c = GetParam();
  usb_->SetBusyWhenNotReady(c.busy);
  if (!c.moment) usb_->SetState(c.state);
  const JobOutcome job = Run(*usb_, u"LPT1:", [&](Moment m, int page) {
    if (!c.moment || m != *c.moment || page != c.page) return;
    usb_->SetState(c.state);
    EXPECT_TRUE(WaitStatusRecorded(*vprinter::StatusByte(c.state)));
  });
  ExpectOutcome(job, *usb_, c.failsAt, c.failPage, c.error, c.reached);

  usb_->SetState(State::Ready);
  ExpectNextJobPrintsWhole(*usb_, u"LPT1:");
}

constexpr Moment kAfterStart = Moment::AfterEnable;
constexpr Moment kMidPage = Moment::MidPage;
constexpr Moment kBeforePage = Moment::BeforePage;
constexpr Moment kAtTrailer = Moment::BeforeEndDoc;

INSTANTIATE_TEST_SUITE_P(
    Jobs, StatesAtEachStage,
    ::testing::Values(
        // A printer that keeps taking data: the next readiness check fails.
        StateCase{"PaperOutBeforeTheJob",
                  State::PaperOut,
                  std::nullopt,
                  -1,
                  false,
                  Entry::StartDoc,
                  -1,
                  ERROR_OUT_OF_PAPER,
                  {0, false}},
        StateCase{"PaperOutAfterTheJobStart",
                  State::PaperOut,
                  kAfterStart,
                  -1,
                  false,
                  Entry::StartDoc,
                  -1,
                  ERROR_OUT_OF_PAPER,
                  {0, false}},
        StateCase{"PaperOutMidPage",
                  State::PaperOut,
                  kMidPage,
                  0,
                  false,
                  Entry::StartPage,
                  1,
                  ERROR_OUT_OF_PAPER,
                  {1, false}},
        StateCase{"PaperOutBetweenPages",
                  State::PaperOut,
                  kBeforePage,
                  1,
                  false,
                  Entry::StartPage,
                  1,
                  ERROR_OUT_OF_PAPER,
                  {1, false}},
        StateCase{"PaperOutAtTheTrailer",
                  State::PaperOut,
                  kAtTrailer,
                  -1,
                  false,
                  Entry::EndDoc,
                  -1,
                  ERROR_OUT_OF_PAPER,
                  {2, true}},
        StateCase{"NotReadyBeforeTheJob",
                  State::NotReady,
                  std::nullopt,
                  -1,
                  false,
                  Entry::StartDoc,
                  -1,
                  ERROR_NOT_READY,
                  {0, false}},
        StateCase{
            "NotReadyMidPage", State::NotReady, kMidPage, 0, false, Entry::StartPage, 1, ERROR_NOT_READY, {1, false}},
        StateCase{"NotReadyBetweenPages",
                  State::NotReady,
                  kBeforePage,
                  1,
                  false,
                  Entry::StartPage,
                  1,
                  ERROR_NOT_READY,
                  {1, false}},
        StateCase{"NotReadyAtTheTrailer",
                  State::NotReady,
                  kAtTrailer,
                  -1,
                  false,
                  Entry::EndDoc,
                  -1,
                  ERROR_NOT_READY,
                  {2, true}},
        StateCase{"ErrorBeforeTheJob",
                  State::Error,
                  std::nullopt,
                  -1,
                  false,
                  Entry::StartDoc,
                  -1,
                  ERROR_PRINTER_STATE_ERROR,
                  {0, false}},
        // A printer that stops taking data: the write under way fails.
        StateCase{"PaperOutMidPageTakingNoData",
                  State::PaperOut,
                  kMidPage,
                  0,
                  true,
                  Entry::CopyBits,
                  0,
                  ERROR_OUT_OF_PAPER,
                  {0, false}},
        StateCase{"PaperOutBetweenPagesTakingNoData",
                  State::PaperOut,
                  kBeforePage,
                  1,
                  true,
                  Entry::StartPage,
                  1,
                  ERROR_OUT_OF_PAPER,
                  {0, false}},
        StateCase{"NotReadyAtTheTrailerTakingNoData",
                  State::NotReady,
                  kAtTrailer,
                  -1,
                  true,
                  Entry::EndDoc,
                  -1,
                  ERROR_NOT_READY,
                  {1, false}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the port's faults -------------------------------------------------------------------

struct PortCase {
  const char* name;
  bool serial;
  std::function<void(vprinter::VirtualPrinter&)> before;  // before the job
  std::optional<Moment> moment;
  int page;
  std::function<void(vprinter::VirtualPrinter&)> fault;  // at the moment
  std::function<void(vprinter::VirtualPrinter&)> heal;
  std::optional<Entry> failsAt;
  int failPage;
  DWORD error;
  Reached reached;
};
void PrintTo(const PortCase& c, std::ostream* os) { *os << c.name; }

class PortFaults : public PrinterFaults, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortFaults, FailingEntryAndWhatWasPrinted) {
  const PortCase& c = GetParam();
  vprinter::VirtualPrinter& printer = c.serial ? *serial_ : *usb_;
  const std::u16string port = c.serial ? u"COM1:" : u"LPT1:";
  if (c.before) c.before(printer);
  const JobOutcome job = Run(printer, port, [&](Moment m, int page) {
    if (c.moment && m == *c.moment && page == c.page) c.fault(printer);
  });
  ExpectOutcome(job, printer, c.failsAt, c.failPage, c.error, c.reached);

  if (c.heal) c.heal(printer);
  ExpectNextJobPrintsWhole(printer, port);
}

void Stall(vprinter::VirtualPrinter& p) { p.SetStallWrites(true); }
void Unstall(vprinter::VirtualPrinter& p) { p.SetStallWrites(false); }
// Pulled out: the port driver notices on its next poll and closes the port.
void Unplug(vprinter::VirtualPrinter& p) {
  p.Unplug();
  EXPECT_TRUE(Eventually([] { return OpenPorts() == 0; }));
}
void Replug(vprinter::VirtualPrinter& p) { p.Replug(); }

INSTANTIATE_TEST_SUITE_P(Jobs, PortFaults,
                         ::testing::Values(
                             // Writes that take nothing until their timeout: the job start is lost,
                             // so the document is refused.
                             PortCase{"StalledFromTheStartUsb",
                                      false,
                                      Stall,
                                      std::nullopt,
                                      -1,
                                      nullptr,
                                      Unstall,
                                      Entry::StartDoc,
                                      -1,
                                      ERROR_TIMEOUT,
                                      {0, false}},
                             PortCase{"StalledFromTheStartSerial",
                                      true,
                                      Stall,
                                      std::nullopt,
                                      -1,
                                      nullptr,
                                      Unstall,
                                      Entry::StartDoc,
                                      -1,
                                      ERROR_TIMEOUT,
                                      {0, false}},
                             PortCase{"StalledMidPageUsb",
                                      false,
                                      nullptr,
                                      kMidPage,
                                      0,
                                      Stall,
                                      Unstall,
                                      Entry::CopyBits,
                                      0,
                                      ERROR_TIMEOUT,
                                      {0, false}},
                             PortCase{"StalledMidPageSerial",
                                      true,
                                      nullptr,
                                      kMidPage,
                                      0,
                                      Stall,
                                      Unstall,
                                      Entry::CopyBits,
                                      0,
                                      ERROR_TIMEOUT,
                                      {0, false}},
                             PortCase{"StalledAtTheTrailer",
                                      false,
                                      nullptr,
                                      kAtTrailer,
                                      -1,
                                      Stall,
                                      Unstall,
                                      Entry::EndDoc,
                                      -1,
                                      ERROR_TIMEOUT,
                                      {1, false}},
                             // Short writes: every byte still arrives once, in order.
                             PortCase{"SevenBytesPerWrite",
                                      false,
                                      [](vprinter::VirtualPrinter& p) { p.SetMaxBytesPerWrite(7); },
                                      std::nullopt,
                                      -1,
                                      nullptr,
                                      [](vprinter::VirtualPrinter& p) { p.SetMaxBytesPerWrite(0); },
                                      std::nullopt,
                                      -1,
                                      0,
                                      {2, true}},
                             PortCase{"ShortWritesFromMidPage",
                                      true,
                                      nullptr,
                                      kMidPage,
                                      0,
                                      [](vprinter::VirtualPrinter& p) { p.SetMaxBytesPerWrite(1000); },
                                      [](vprinter::VirtualPrinter& p) { p.SetMaxBytesPerWrite(0); },
                                      std::nullopt,
                                      -1,
                                      0,
                                      {2, true}},
                             // A printer that never answers a status request is taken as ready.
                             PortCase{"Silent",
                                      false,
                                      [](vprinter::VirtualPrinter& p) { p.SetState(State::Silent); },
                                      std::nullopt,
                                      -1,
                                      nullptr,
                                      [](vprinter::VirtualPrinter& p) { p.SetState(State::Ready); },
                                      std::nullopt,
                                      -1,
                                      0,
                                      {2, true}},
                             // Pulled out in the middle of a page: the port is gone.
                             PortCase{"UnpluggedMidPageUsb",
                                      false,
                                      nullptr,
                                      kMidPage,
                                      0,
                                      Unplug,
                                      Replug,
                                      Entry::CopyBits,
                                      0,
                                      ERROR_NOT_READY,
                                      {0, false}},
                             PortCase{"UnpluggedMidPageSerial",
                                      true,
                                      nullptr,
                                      kMidPage,
                                      0,
                                      Unplug,
                                      Replug,
                                      Entry::CopyBits,
                                      0,
                                      ERROR_NOT_READY,
                                      {0, false}},
                             // The device refuses to open: the device context is not created.
                             PortCase{"RefusesToOpen",
                                      false,
                                      [](vprinter::VirtualPrinter& p) { p.SetOpenError(ERROR_ACCESS_DENIED); },
                                      std::nullopt,
                                      -1,
                                      nullptr,
                                      [](vprinter::VirtualPrinter& p) { p.SetOpenError(0); },
                                      Entry::Enable,
                                      -1,
                                      ERROR_INVALID_HANDLE,
                                      {0, false}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faults
