// Jobs on a scripted port: writes that take part of their bytes, that take
// nothing until their timeout, that fail, and a device that refuses to open.
// The port records every byte it accepted; decoded, they must be the pages'
// rows, each byte exactly once, and the next job on the same port must print
// whole.
#include <ostream>
#include <string>
#include <vector>

#include "platform/dev_script.h"
#include "tests/faults/fault_fixture.h"

namespace faults {
namespace {

using Step = plat::ScriptedPort::WriteStep;
constexpr DWORD kAll = 0xFFFFFFFFu;

class ScriptedFaults : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    port_ = plat::ScriptedPort::Create("faults");
    ASSERT_TRUE(plat::MapDevice(u"LPT2:", "script:faults"));
  }
  void TearDown() override {
    FaultTest::TearDown();
    port_.reset();
    plat::ScriptedPort::Remove("faults");
  }

  // A job on LPT2:, noting where each page's bytes begin.
  JobOutcome Run(std::vector<uint64_t>* pageStarts) {
    JobPlan plan;
    plan.port = u"LPT2:";
    plan.pageStarted = [&](int) { pageStarts->push_back(port_->Written().size()); };
    return RunJob(plan);
  }

  // The job's bytes from `from` on, decoded.
  vprinter::DecodedJob Decoded(size_t from, const JobOutcome& job, std::vector<uint64_t> pageStarts) const {
    const std::vector<BYTE> all = port_->Written();
    for (uint64_t& s : pageStarts) s -= from;
    return kest_test::DecodeStream(std::span<const uint8_t>(all).subspan(from), job.dots, false, pageStarts);
  }

  std::shared_ptr<plat::ScriptedPort> port_;
};

struct ScriptCase {
  const char* name;
  std::vector<Step> steps;  // one per write the port sees, from the job start's on
  DWORD openError;
  std::optional<Entry> failsAt;
  int failPage;
  DWORD error;
  bool whole;  // every row of every page arrived, once
};
void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.name; }

class Scripts : public ScriptedFaults, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(Scripts, FailingEntryAndWhatArrived) {
  const ScriptCase& c = GetParam();
  port_->SetOpenError(c.openError);
  for (const Step& s : c.steps) port_->PushWrite(s);
  std::vector<uint64_t> starts;
  const JobOutcome job = Run(&starts);
  const std::optional<Call> failed = job.FirstFailure();
  if (!c.failsAt) {
    EXPECT_TRUE(job.Ok()) << job.Describe();
  } else {
    ASSERT_TRUE(failed.has_value()) << job.Describe();
    EXPECT_EQ(failed->entry, *c.failsAt) << job.Describe();
    EXPECT_EQ(failed->page, c.failPage) << job.Describe();
    EXPECT_EQ(failed->result.error, c.error) << job.Describe();
    if (*c.failsAt != Entry::Enable) {
      EXPECT_FALSE(job.Find(Entry::EndDoc)->result) << job.Describe();
    }
  }
  if (c.whole) {
    const vprinter::DecodedJob printed = Decoded(0, job, starts);
    ASSERT_TRUE(printed.ok()) << printed.error->ToString();
    ASSERT_FALSE(printed.planes.empty());
    EXPECT_TRUE(SameRows(printed.planes[0], job.Rows()));
    EXPECT_EQ(printed.Count(vprinter::Command::Init), 1u) << "the job start once";
    EXPECT_EQ(printed.Count(vprinter::Command::JobControl, 3), 1u) << "the job end once";
  }

  // The script is used up (or the open allowed): the next job prints whole.
  port_->SetOpenError(0);
  const size_t from = port_->Written().size();
  starts.clear();
  const JobOutcome next = Run(&starts);
  EXPECT_TRUE(next.Ok()) << next.Describe();
  const vprinter::DecodedJob printed = Decoded(from, next, starts);
  ASSERT_TRUE(printed.ok()) << printed.error->ToString();
  ASSERT_FALSE(printed.planes.empty());
  EXPECT_TRUE(SameRows(printed.planes[0], next.Rows()));
  EXPECT_EQ(printed.Count(vprinter::Command::JobControl, 3), 1u);
}

std::vector<Step> Repeat(Step s, size_t n, std::vector<Step> before = {}) {
  before.insert(before.end(), n, s);
  return before;
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, Scripts,
    ::testing::Values(
        // Writes that take only part of their bytes: the rest follows at once.
        ScriptCase{
            "ShortWrites", {{5, 0}, {3, 0}, {kAll, 0}, {100, 0}, {1, 0}, {4000, 0}}, 0, std::nullopt, -1, 0, true},
        // Part of a page, then nothing until the timeout: the retry goes on
        // after the bytes the port took, so none arrive twice.
        ScriptCase{"PartThenTimeout", {{kAll, 0}, {100, 0}, {0, 0}}, 0, std::nullopt, -1, 0, true},
        ScriptCase{"PartsThenTimeoutsTwice",
                   {{kAll, 0}, {1000, 0}, {0, 0}, {77, 0}, {0, 0}, {0, 0}},
                   0,
                   std::nullopt,
                   -1,
                   0,
                   true},
        // A write error the retry gets over.
        ScriptCase{"OneWriteError", {{kAll, 0}, {0, ERROR_WRITE_FAULT}}, 0, std::nullopt, -1, 0, true},
        // Every attempt of one flush fails: that flush's bytes are lost.
        ScriptCase{"WriteErrorsAtTheJobStart", Repeat({0, ERROR_WRITE_FAULT}, 11), 0, Entry::StartDoc, -1,
                   ERROR_WRITE_FAULT, false},
        ScriptCase{"WriteErrorsMidPage", Repeat({0, ERROR_WRITE_FAULT}, 11, {{kAll, 0}}), 0, Entry::CopyBits, 0,
                   ERROR_WRITE_FAULT, false},
        ScriptCase{"TimeoutsMidPage", Repeat({0, 0}, 11, {{kAll, 0}}), 0, Entry::CopyBits, 0, ERROR_TIMEOUT, false},
        // The device refuses to open.
        ScriptCase{"RefusesToOpen", {}, ERROR_ACCESS_DENIED, Entry::Enable, -1, ERROR_INVALID_HANDLE, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faults

namespace faults {
namespace {

// Once bytes of a connection are lost the printer's state is unknown: later
// documents on the same device context are refused with the same error, and
// a new device context starts over. Through the engine's own document loop.
TEST_F(ScriptedFaults, DocumentsAfterALossAreRefusedUntilANewJob) {
  engine::Engine eng(&DrvEnableDriver);
  ASSERT_TRUE(eng.Loaded()) << eng.LoadError();
  DEVMODEW dm{};
  dm.dmSize = sizeof dm;
  dm.dmPaperSize = 1;
  dm.dmPrintQuality = DMRES_HIGH;
  ASSERT_TRUE(eng.Enable(dm, u"LPT2:"));
  const engine::Image page = NoisePage(eng.PageWidth(), eng.PageHeight(), 7);
  for (const Step& s : Repeat({0, ERROR_WRITE_FAULT}, 11, {{kAll, 0}})) port_->PushWrite(s);
  const engine::DocumentResult first = eng.PrintDocument({page});
  ASSERT_EQ(first.pages.size(), 1u);
  ASSERT_FALSE(first.pages[0].copyBits.empty());
  EXPECT_FALSE(first.pages[0].copyBits.back());
  EXPECT_EQ(first.pages[0].copyBits.back().error, ERROR_WRITE_FAULT);
  EXPECT_FALSE(first.endDoc);
  EXPECT_EQ(first.endDoc.error, ERROR_WRITE_FAULT);

  const size_t before = port_->Written().size();
  const engine::DocumentResult second = eng.PrintDocument({page});
  EXPECT_FALSE(second.startDoc);
  EXPECT_EQ(second.startDoc.error, ERROR_WRITE_FAULT);
  EXPECT_TRUE(second.pages.empty());
  EXPECT_FALSE(second.endDoc);
  eng.Disable();
  // The refused document sent its trailer only.
  const std::vector<BYTE> all = port_->Written();
  EXPECT_EQ(std::vector<BYTE>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
            (std::vector<BYTE>{0x1B, 0x65, 0x01, 0x00}));

  const size_t from = port_->Written().size();
  ASSERT_TRUE(eng.Enable(dm, u"LPT2:"));
  EXPECT_TRUE(eng.PrintDocument({page}).Ok());
  eng.Disable();
  const vprinter::DecodedJob printed = Decoded(from, JobOutcome{{}, {page}, static_cast<int>(page.width)}, {});
  ASSERT_TRUE(printed.ok()) << printed.error->ToString();
  EXPECT_TRUE(SameRows(printed.planes[0], kest_test::RowsOf(page, page.width)));
}

}  // namespace
}  // namespace faults
