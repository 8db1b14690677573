// Documents and pages: the byte stream of whole documents read back with the
// virtual printer's decoder, the readiness checks and job marks around them,
// the trailer rule of the S91 models, and the surface.
#include <algorithm>
#include <ostream>
#include <string>

#include "tests/frontend/frontend_fixture.h"
#include "tests/frontend/page_helpers.h"

namespace kest_test {
namespace {

using vprinter::Command;

DEVMODEW Letter(SHORT orientation = DMORIENT_PORTRAIT, SHORT colour = DMCOLOR_MONOCHROME) {
  DEVMODEW dm{};
  dm.dmSize = sizeof dm;
  dm.dmPaperSize = DMPAPER_LETTER;
  dm.dmOrientation = orientation;
  dm.dmPrintQuality = DMRES_HIGH;
  dm.dmColor = colour;
  return dm;
}

const std::vector<uint8_t> kTrailer = {0x1B, 0x65, 0x01, 0x00};
const std::vector<uint8_t> kJobEnd = {0x1B, 0x76, 0x03};

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

bool AnyWriteOf(const FakePortDriver& fake, const std::vector<uint8_t>& bytes) {
  for (const auto& r : fake.RequestsOf(NVP_WRITE)) {
    if (Contains(r.input, bytes)) return true;
  }
  return false;
}

std::vector<DWORD> FunctionsFrom(const FakePortDriver& fake, size_t first) {
  std::vector<DWORD> out;
  const auto requests = fake.Requests();
  for (size_t i = first; i < requests.size(); ++i) out.push_back(requests[i].function);
  return out;
}

std::vector<DWORD> Repeat(DWORD f, int n) { return std::vector<DWORD>(static_cast<size_t>(n), f); }

std::vector<DWORD> Join(std::initializer_list<std::vector<DWORD>> parts) {
  std::vector<DWORD> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Documents : public FrontendTest {
 protected:
  void Enable(const DEVMODEW& dm = Letter()) {
    engine_ = std::make_unique<engine::Engine>(&DrvEnableDriver);
    ASSERT_TRUE(engine_->Enable(dm, u"LPT1:"));
    width_ = static_cast<int>(engine_->GdiInfo().ulHorzRes);
    height_ = static_cast<int>(engine_->GdiInfo().ulVertRes);
  }
  void TearDown() override {
    engine_.reset();
    FrontendTest::TearDown();
  }
  size_t Mark() const { return fake_->Requests().size(); }
  BOOL CopyPage(const engine::Image& page) {
    Source source(page, true);
    RECTL rect = {0, 0, page.width, page.height};
    return DrvCopyBits(nullptr, source.surface(), nullptr, nullptr, &rect, nullptr);
  }
  // A page that is blank but for one row of dots.
  engine::Image OneRowPage(int row) const {
    return BlackWhite(width_, height_, [row](int x, int y) { return y == row && x % 4 == 0 && x < 200; });
  }

  std::unique_ptr<engine::Engine> engine_;
  int width_ = 0, height_ = 0;
};

// The whole stream of a one-page document from the job start on: the job
// initialisation, three blank lines for the run before the row with dots,
// the mode change and the data line, the mode change back, three blank lines
// for the rest of the page, the trailer and the job end.
TEST_F(Documents, OnePageStream) {
  Enable();
  const size_t atStart = Mark();
  ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
  EXPECT_EQ(FunctionsFrom(fake(), atStart), (std::vector<DWORD>{NVP_CHECK_STATUS, NVP_SET_JOBACTIVE}));
  const size_t atPage = Mark();
  ASSERT_TRUE(DrvStartPage(nullptr));
  EXPECT_EQ(FunctionsFrom(fake(), atPage), (std::vector<DWORD>{NVP_CHECK_STATUS})) << "no bytes at the first page";
  const engine::Image page = OneRowPage(10);
  ASSERT_TRUE(CopyPage(page));
  const size_t atEnd = Mark();
  EXPECT_TRUE(DrvEndDoc(nullptr, 0));
  EXPECT_EQ(FunctionsFrom(fake(), atEnd), (std::vector<DWORD>{NVP_WRITE, NVP_WRITE, NVP_CLEAR_JOBACTIVE,
                                                               NVP_CHECK_STATUS, NVP_CHECK_STATUS}));

  const auto writes = fake().Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0], kJobInitBytes);
  EXPECT_TRUE(std::equal(kTrailer.rbegin(), kTrailer.rend(), writes[1].rbegin())) << "trailer closes the page write";
  EXPECT_EQ(writes[2], kJobEnd);

  const auto stream = fake().Written();
  const vprinter::DecodedJob job = DecodeStream(stream, g_printer.pixelsPerLine);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  std::vector<std::pair<Command, int>> commands;
  for (const auto& e : job.events) {
    if (e.command == Command::PageStart) continue;
    const bool hasParam = e.command == Command::Mode || e.command == Command::JobControl;
    commands.emplace_back(e.command, hasParam ? e.param : -1);
  }
  const std::pair<Command, int> line = {Command::Line, -1};
  const std::vector<std::pair<Command, int>> expected = {
      {Command::Init, -1}, {Command::Mode, 0},       {Command::Mode, 5}, {Command::StatusRequest, -1},
      {Command::JobControl, 2}, line, line, line,   {Command::Mode, 3}, line,
      {Command::Mode, 0}, line, line, line,         {Command::Trailer, -1}, {Command::JobControl, 3}};
  EXPECT_EQ(commands, expected) << job.Listing();
  EXPECT_EQ(job.planes[0], FilterBlankRuns(RowsOf(page, g_printer.pixelsPerLine)));
}

// Each later page start writes out the page before it, then checks
// readiness; every page begins with its own seeds and row counter.
TEST_F(Documents, ThreePageStream) {
  Enable();
  const int dots = g_printer.pixelsPerLine;
  const std::vector<engine::Image> pages = {
      DistinctRows(width_, height_), OneRowPage(height_ / 2),
      BlackWhite(width_, height_, [](int x, int y) { return (x / 8 + y / 8) % 2 == 0; })};

  for (int document = 0; document < 2; ++document) {
    SCOPED_TRACE(document);
    fake().Clear();
    ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
    std::vector<uint64_t> starts;
    for (size_t p = 0; p < pages.size(); ++p) {
      const size_t before = Mark();
      ASSERT_TRUE(DrvStartPage(nullptr));
      const auto functions = FunctionsFrom(fake(), before);
      ASSERT_FALSE(functions.empty());
      EXPECT_EQ(functions.back(), NVP_CHECK_STATUS);
      if (p == 0) {
        EXPECT_EQ(functions.size(), 1u);
      } else {
        EXPECT_GE(functions.size(), 2u);
        EXPECT_EQ(functions[functions.size() - 2], NVP_WRITE) << "previous page written before the check";
      }
      EXPECT_EQ(g_printer.outputCount, 0);
      EXPECT_EQ(g_lineCount, 0u);
      EXPECT_EQ(g_pageCount, static_cast<int32_t>(p + 1));
      starts.push_back(fake().WrittenByteCount());
      ASSERT_TRUE(CopyPage(pages[p]));
      EXPECT_EQ(g_lineCount, static_cast<uint32_t>(height_));
    }
    EXPECT_TRUE(DrvEndDoc(nullptr, 0));

    const auto stream = fake().Written();
    starts.push_back(stream.size());
    for (size_t p = 0; p < pages.size(); ++p) {
      const std::span<const uint8_t> bytes(stream.data() + starts[p], starts[p + 1] - starts[p]);
      const vprinter::DecodedJob job = DecodeStream(bytes, dots);
      ASSERT_TRUE(job.ok()) << job.error->ToString();
      EXPECT_EQ(job.planes[0], FilterBlankRuns(RowsOf(pages[p], dots))) << "page " << p;
    }
    EXPECT_TRUE(Contains(stream, kTrailer));
    EXPECT_TRUE(std::equal(kJobEnd.rbegin(), kJobEnd.rend(), stream.rbegin()));
  }
}

// The S91 models get no trailer; the job end goes to every model.
TEST_F(Documents, TrailerForEveryModelButTheS91) {
  Enable();
  for (uint32_t model : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
    SCOPED_TRACE(model);
    CurrentModel current(model);
    fake().Clear();
    ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
    ASSERT_TRUE(DrvStartPage(nullptr));
    ASSERT_TRUE(CopyPage(OneRowPage(3)));
    EXPECT_TRUE(DrvEndDoc(nullptr, 0));
    const auto stream = fake().Written();
    const bool s91 = model == 3 || model == 6;
    EXPECT_EQ(Contains(stream, kTrailer), !s91);
    const auto writes = fake().Writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), kJobEnd);
  }
}

// --- readiness -------------------------------------------------------------------

TEST_F(Documents, NotReadyAtDocumentStart) {
  Enable();
  for (DWORD statusAtEnd : {DWORD{21}, DWORD{0}}) {
    SCOPED_TRACE(statusAtEnd);
    fake().Clear();
    fake().SetStatus(ERROR_NOT_READY);
    SetLastError(0);
    EXPECT_FALSE(DrvStartDoc(nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_EQ(g_jobError, -1);
    EXPECT_EQ(FunctionsFrom(fake(), 0), Repeat(NVP_CHECK_STATUS, 9)) << "no job mark";

    fake().SetStatus(statusAtEnd);
    const size_t atEnd = Mark();
    EXPECT_FALSE(DrvEndDoc(nullptr, 0));
    const int checks = statusAtEnd == 0 ? 1 : 9;
    EXPECT_EQ(FunctionsFrom(fake(), atEnd),
              Join({{NVP_WRITE, NVP_CLEAR_JOBACTIVE}, Repeat(NVP_CHECK_STATUS, checks)}))
        << "trailer, no job end, no reset";
    EXPECT_EQ(fake().Writes().back(), kTrailer);
    EXPECT_FALSE(AnyWriteOf(fake(), kJobEnd));
  }
}

struct EndCase {
  const char* name;
  std::vector<DWORD> queued;  // results of the checks at the end, then ready
  BOOL result;
  int checks;
  bool reset;
};
void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class DocumentEnd : public Documents, public ::testing::WithParamInterface<EndCase> {};

TEST_P(DocumentEnd, WaitsTwiceOrResets) {
  const EndCase& c = GetParam();
  Enable();
  ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
  ASSERT_TRUE(DrvStartPage(nullptr));
  for (DWORD e : c.queued) fake().QueueStatus({e});
  const size_t atEnd = Mark();
  EXPECT_EQ(DrvEndDoc(nullptr, 0), c.result);
  std::vector<DWORD> expected = Join({{NVP_WRITE, NVP_WRITE, NVP_CLEAR_JOBACTIVE}, Repeat(NVP_CHECK_STATUS, c.checks)});
  if (c.reset) expected.push_back(NVP_RESET_RTS);
  EXPECT_EQ(FunctionsFrom(fake(), atEnd), expected);
  EXPECT_EQ(fake().Writes().back(), kJobEnd);
}

INSTANTIATE_TEST_SUITE_P(
    States, DocumentEnd,
    ::testing::Values(EndCase{"ReadyTwice", {}, TRUE, 2, false},
                      EndCase{"NotReadyAtTheEndResetsThePort", std::vector<DWORD>(9, 21), FALSE, 9, true},
                      EndCase{"PaperOutAtTheEndResetsThePort", {28}, FALSE, 1, true},
                      EndCase{"SecondWaitDecides", {0, 28}, FALSE, 2, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Documents, RefusedPageStartAndARecovery) {
  Enable();
  ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
  g_printer.compressionMode = 3;  // shows whether the page's raster state was reset
  fake().SetStatus(ERROR_OUT_OF_PAPER);
  EXPECT_FALSE(DrvStartPage(nullptr));
  EXPECT_EQ(g_jobError, -1);
  EXPECT_EQ(g_printer.compressionMode, 3) << "page not opened";
  EXPECT_EQ(g_pageCount, 1);

  fake().SetStatus(0);
  EXPECT_TRUE(DrvStartPage(nullptr));
  EXPECT_EQ(g_jobError, 0);
  EXPECT_EQ(g_printer.compressionMode, 0);
  EXPECT_EQ(g_pageCount, 2);
  EXPECT_TRUE(DrvEndDoc(nullptr, 0));
  EXPECT_EQ(fake().Writes().back(), kJobEnd);
}

// A page start whose flush fails reports it, but opens the page when the
// printer is ready.
TEST_F(Documents, FailedFlushAtPageStart) {
  Enable();
  ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
  ASSERT_TRUE(DrvStartPage(nullptr));
  ASSERT_TRUE(CopyPage(OneRowPage(1)));
  fake().FailWrites(-1, ERROR_TIMEOUT);
  g_printer.compressionMode = 3;
  EXPECT_FALSE(DrvStartPage(nullptr));
  EXPECT_EQ(g_jobError, 0);
  EXPECT_EQ(g_printer.compressionMode, 0) << "page opened";
  EXPECT_EQ(fake().Count(NVP_WRITE), 1 + 11) << "job start, then every attempt";
}

// A failed page flush at the end suppresses the job end (with an S91 model
// the page flush is the one that writes the page).
TEST_F(Documents, FailedFlushAtTheEndSuppressesTheJobEnd) {
  Enable();
  CurrentModel s91(3);
  ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
  ASSERT_TRUE(DrvStartPage(nullptr));
  ASSERT_TRUE(CopyPage(OneRowPage(1)));
  fake().FailWrites(-1, ERROR_TIMEOUT);
  DrvEndDoc(nullptr, 0);
  EXPECT_FALSE(AnyWriteOf(fake(), kJobEnd));
  EXPECT_EQ(fake().Count(NVP_CLEAR_JOBACTIVE), 1);
}

// --- the end of the device -----------------------------------------------------------

TEST_F(Documents, DisableWithoutDocumentEndWritesWhatIsBuffered) {
  Enable();
  ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
  ASSERT_TRUE(DrvStartPage(nullptr));
  const engine::Image page = OneRowPage(5);
  ASSERT_TRUE(CopyPage(page));
  ASSERT_GT(g_printer.outputCount, 0);
  const size_t before = Mark();
  DrvDisablePDEV(nullptr);
  EXPECT_EQ(FunctionsFrom(fake(), before), (std::vector<DWORD>{NVP_WRITE, NVP_CLOSE}));
  EXPECT_EQ(fake().DeviceCloses(), 1);
  EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_printer.levelsK, nullptr);
  const auto stream = fake().Written();
  const std::span<const uint8_t> pageBytes(stream.data() + kJobInitBytes.size(), stream.size() - kJobInitBytes.size());
  const vprinter::DecodedJob job = DecodeStream(pageBytes, g_printer.pixelsPerLine);
  ASSERT_TRUE(job.ok());
  EXPECT_EQ(job.planes[0], FilterBlankRuns(RowsOf(page, g_printer.pixelsPerLine)));
}

TEST_F(Documents, SurfaceHasThePageSizeAndIsDeletedOnce) {
  Enable(Letter(DMORIENT_LANDSCAPE));
  const HSURF hsurf = engine_->Surface();
  ASSERT_NE(hsurf, nullptr);
  const auto info = engine::FindSurface(hsurf);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->size.cx, static_cast<LONG>(g_pageWidth));
  EXPECT_EQ(info->size.cy, static_cast<LONG>(g_pageHeight));
  EXPECT_EQ(info->format, BMF_24BPP);
  EXPECT_EQ(info->dhsurf, static_cast<DHSURF>(&g_surfaceDesc));
  EXPECT_EQ(g_hSurface, hsurf);

  DrvDisableSurface(nullptr);
  EXPECT_EQ(engine::LiveSurfaces(), 0);
  DrvDisableSurface(nullptr);  // nothing left to delete
  EXPECT_EQ(engine::LiveSurfaces(), 0);
}

TEST_F(Documents, FailedSurfaceDisablesTheDevice) {
  const int palettes = engine::LivePalettes();
  engine_ = std::make_unique<engine::Engine>(&DrvEnableDriver);
  engine::Engine::FailNextSurface();
  EXPECT_FALSE(engine_->Enable(Letter(), u"LPT1:"));
  EXPECT_EQ(g_hSurface, nullptr);
  EXPECT_EQ(engine::LiveSurfaces(), 0);
  EXPECT_EQ(engine::LivePalettes(), palettes);
  EXPECT_EQ(fake().Count(NVP_CLOSE), 1);
  EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace kest_test
