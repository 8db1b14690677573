// Row intake: which lines reach the printer, in which order, for row and
// column sources stored either way up, whole or in bands, and what is
// refused before anything is sent. The printed rows are read back with the
// virtual printer's decoder (blank-line filter off, so every line counts).
#include <ostream>
#include <string>

#include "tests/frontend/frontend_fixture.h"
#include "tests/frontend/page_helpers.h"

namespace kest_test {
namespace {

constexpr DWORD kBoth = DM_PAPERLENGTH | DM_PAPERWIDTH;

DEVMODEW DevMode(SHORT paper, SHORT orientation, DWORD fields = 0, SHORT lengthMm = 0, SHORT widthMm = 0) {
  DEVMODEW dm{};
  dm.dmSize = sizeof dm;
  dm.dmFields = fields;
  dm.dmPaperSize = paper;
  dm.dmOrientation = orientation;
  dm.dmPaperLength = lengthMm;
  dm.dmPaperWidth = widthMm;
  dm.dmPrintQuality = DMRES_HIGH;
  dm.dmColor = DMCOLOR_MONOCHROME;
  return dm;
}

class BandIntake : public FrontendTest {
 protected:
  // Enables the device and opens a page; what the job start wrote is
  // forgotten, so that the fake holds this page's lines only.
  void Open(const DEVMODEW& dm) {
    ASSERT_TRUE(plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"EnablePageFilter", 0));
    engine_ = std::make_unique<engine::Engine>(&DrvEnableDriver);
    ASSERT_TRUE(engine_->Enable(dm, u"LPT1:"));
    ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
    ASSERT_TRUE(DrvStartPage(nullptr));
    fake().Clear();
    width_ = static_cast<int>(engine_->GdiInfo().ulHorzRes);
    height_ = static_cast<int>(engine_->GdiInfo().ulVertRes);
  }
  void TearDown() override {
    engine_.reset();
    FrontendTest::TearDown();
  }

  BOOL Copy(SURFOBJ* source, RECTL rect) { return DrvCopyBits(nullptr, source, nullptr, nullptr, &rect, nullptr); }

  // The rows printed on this page so far.
  std::vector<DotRow> Printed() {
    EXPECT_TRUE(g_printer.FlushPage());
    const auto bytes = fake().Written();
    const vprinter::DecodedJob job = DecodeStream(bytes, g_printer.pixelsPerLine);
    EXPECT_TRUE(job.ok()) << job.error->ToString();
    return job.planes.empty() ? std::vector<DotRow>{} : job.planes[0];
  }

  std::unique_ptr<engine::Engine> engine_;
  int width_ = 0, height_ = 0;
};

// --- row and column paths ---------------------------------------------------

struct PathCase {
  const char* name;
  SHORT orientation;
  bool bottomUp;
  int band;  // rows (row path) per call; 0 = one call
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class Paths : public BandIntake, public ::testing::WithParamInterface<PathCase> {};

TEST_P(Paths, EveryLineInOrder) {
  const PathCase& c = GetParam();
  Open(DevMode(DMPAPER_LETTER, c.orientation));
  const engine::Image page = DistinctRows(width_, height_);
  Source source(page, c.bottomUp);
  const bool columns = width_ > height_;
  ASSERT_EQ(columns, c.orientation == DMORIENT_LANDSCAPE);

  if (c.band == 0) {
    EXPECT_TRUE(Copy(source.surface(), {0, 0, width_, height_}));
  } else {
    for (int y = 0; y < height_; y += c.band) {
      EXPECT_TRUE(Copy(source.surface(), {0, y, width_, std::min(height_, y + c.band)})) << y;
    }
  }
  const int lines = columns ? width_ : height_;
  EXPECT_EQ(g_lineCount, static_cast<uint32_t>(lines));
  const auto expected = columns ? ColumnsOf(page, g_printer.pixelsPerLine) : RowsOf(page, g_printer.pixelsPerLine);
  const auto printed = Printed();
  ASSERT_EQ(printed.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(printed[i], expected[i]) << "line " << i;
}

INSTANTIATE_TEST_SUITE_P(Sources, Paths,
                         ::testing::Values(PathCase{"RowsBottomUp", DMORIENT_PORTRAIT, true, 0},
                                           PathCase{"RowsTopDown", DMORIENT_PORTRAIT, false, 0},
                                           PathCase{"RowsInBandsOf100", DMORIENT_PORTRAIT, true, 100},
                                           PathCase{"RowsInBandsOf1", DMORIENT_PORTRAIT, false, 1},
                                           PathCase{"ColumnsBottomUp", DMORIENT_LANDSCAPE, true, 0},
                                           PathCase{"ColumnsTopDown", DMORIENT_LANDSCAPE, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Columns in two calls: the second source begins at the rectangle's left
// edge, and the line count runs on.
TEST_F(BandIntake, ColumnsInTwoCalls) {
  Open(DevMode(DMPAPER_A4, DMORIENT_LANDSCAPE));
  const engine::Image page = DistinctRows(width_, height_);
  for (bool bottomUp : {true, false}) {
    SCOPED_TRACE(bottomUp ? "bottom-up" : "top-down");
    ASSERT_TRUE(DrvStartPage(nullptr));
    fake().Clear();
    Source source(page, bottomUp);
    const int split = (width_ - height_) / 2;  // both parts still wider than tall
    SURFOBJ rest = source.ViewFrom(split);
    EXPECT_TRUE(Copy(source.surface(), {0, 0, split, height_}));
    EXPECT_EQ(g_lineCount, static_cast<uint32_t>(split));
    EXPECT_TRUE(Copy(&rest, {split, 0, width_, height_}));
    EXPECT_EQ(g_lineCount, static_cast<uint32_t>(width_));
    const auto printed = Printed();
    const auto expected = ColumnsOf(page, g_printer.pixelsPerLine);
    ASSERT_EQ(printed.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(printed[i], expected[i]) << "line " << i;
  }
}

TEST_F(BandIntake, SquareSourceTakesTheRowPath) {
  Open(DevMode(DMPAPER_LETTER, DMORIENT_LANDSCAPE));  // a column page: rotationRow exists
  const int side = g_printer.pixelsPerLine;
  const engine::Image page = DistinctRows(side, side);
  Source source(page, true);
  EXPECT_TRUE(Copy(source.surface(), {0, 0, side, side}));
  EXPECT_EQ(Printed(), RowsOf(page, side));
}

// A shorter source leaves the rest of the assembled line as it was.
TEST_F(BandIntake, ShortColumnsKeepTheRestOfTheLine) {
  Open(DevMode(DMPAPER_LETTER, DMORIENT_LANDSCAPE));
  const int dots = g_printer.pixelsPerLine;
  const engine::Image black = BlackWhite(dots + 10, dots, [](int, int) { return true; });
  const engine::Image shortPage = BlackWhite(dots, dots - 20, [](int, int) { return false; });
  Source first(black, true);
  Source second(shortPage, true);
  EXPECT_TRUE(Copy(first.surface(), {0, 0, 1, 1}));
  EXPECT_TRUE(Copy(second.surface(), {0, 0, 1, 1}));
  const auto printed = Printed();
  ASSERT_EQ(printed.size(), 2u);
  DotRow expected((dots + 7) / 8, 0);
  for (int k = dots - 20; k < dots; ++k) SetDot(expected, k);
  EXPECT_EQ(printed[1], expected);
}

// --- the wide-page row limit --------------------------------------------------

TEST_F(BandIntake, WidePortraitPageStopsAtItsTrueHeight) {
  Open(DevMode(DMPAPER_USER, DMORIENT_PORTRAIT, kBoth, 50, 100));
  ASSERT_EQ(g_widePage, 1u);
  ASSERT_EQ(width_, height_) << "reported square";
  const int trueHeight = static_cast<int>(g_pageHeight);
  ASSERT_EQ(trueHeight * 2, width_);
  const engine::Image page = DistinctRows(width_, height_);
  Source source(page, true);

  for (int band : {0, 150}) {
    SCOPED_TRACE(band);
    ASSERT_TRUE(DrvStartPage(nullptr));
    fake().Clear();
    if (band == 0) {
      EXPECT_TRUE(Copy(source.surface(), {0, 0, width_, height_}));
    } else {
      for (int y = 0; y < height_; y += band) {
        EXPECT_TRUE(Copy(source.surface(), {0, y, width_, std::min(height_, y + band)})) << y;
      }
    }
    EXPECT_EQ(g_lineCount, static_cast<uint32_t>(trueHeight));
    // Later calls for the same page send nothing.
    EXPECT_TRUE(Copy(source.surface(), {0, 0, width_, height_}));
    EXPECT_EQ(g_lineCount, static_cast<uint32_t>(trueHeight));
    EXPECT_EQ(Printed(), RowsOf(page, width_, 0, trueHeight));
  }
}

// --- a refused line -------------------------------------------------------------

class RefusedLine : public BandIntake, public ::testing::WithParamInterface<SHORT> {};

// The collecting area is nine blank lines short of full; the tenth line's
// bytes force a write, which the port driver refuses with the printer out of
// paper. Nine lines count; nothing else is tried.
TEST_P(RefusedLine, TenthLineEndsTheCall) {
  Open(DevMode(DMPAPER_LETTER, GetParam()));
  const engine::Image blank(width_, height_, 0xFF);
  Source source(blank, true);
  constexpr int kBlankLineBytes = 3;
  g_printer.outputCount = g_printer.outputCapacity - 9 * kBlankLineBytes;
  std::memset(g_printer.outputBuffer, 0x55, static_cast<size_t>(g_printer.outputCount));
  fake().FailWrites(-1, ERROR_OUT_OF_PAPER);
  fake().SetStatus(ERROR_OUT_OF_PAPER);

  EXPECT_FALSE(Copy(source.surface(), {0, 0, width_, height_}));
  EXPECT_EQ(g_lineCount, 9u);
  EXPECT_EQ(fake().Count(NVP_WRITE), 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedLine, ::testing::Values(DMORIENT_PORTRAIT, DMORIENT_LANDSCAPE),
                         [](const auto& info) { return info.param == DMORIENT_PORTRAIT ? "Rows" : "Columns"; });

// --- nothing to send, and refusals ------------------------------------------------

TEST_F(BandIntake, EmptyRectangleSendsNothing) {
  for (SHORT orientation : {DMORIENT_PORTRAIT, DMORIENT_LANDSCAPE}) {
    Open(DevMode(DMPAPER_LETTER, orientation));
    const engine::Image page = DistinctRows(width_, height_);
    Source source(page, true);
    const int32_t before = g_printer.outputCount;
    for (RECTL rect : {RECTL{0, 5, width_, 5}, RECTL{7, 0, 7, height_}, RECTL{0, 9, width_, 3}}) {
      EXPECT_TRUE(Copy(source.surface(), rect));
    }
    EXPECT_EQ(g_lineCount, 0u);
    EXPECT_EQ(g_printer.outputCount, before);
    engine_.reset();
  }
}

struct IntakeRefusalCase {
  const char* name;
  SHORT orientation;
  int srcWidth, srcHeight;  // 0: the page's own size; negative: that much smaller
  RECTL rect;               // right/bottom 0: the source's width/height
  int strideShort;          // bytes taken off the row distance
};
void PrintTo(const IntakeRefusalCase& c, std::ostream* os) { *os << c.name; }

class IntakeRefusal : public BandIntake, public ::testing::WithParamInterface<IntakeRefusalCase> {};

TEST_P(IntakeRefusal, NothingIsSent) {
  const IntakeRefusalCase& c = GetParam();
  Open(DevMode(DMPAPER_LETTER, c.orientation));
  const int dots = g_printer.pixelsPerLine;
  auto size = [dots](int v, int page) { return v == 0 ? page : v < 0 ? page + v : v == 1 ? dots + 1 : v; };
  const int w = size(c.srcWidth, width_);
  const int h = size(c.srcHeight, height_);
  const engine::Image page = DistinctRows(w, h);
  Source source(page, true);
  SURFOBJ so = *source.surface();
  so.lDelta += c.strideShort;  // bottom-up: a smaller magnitude
  RECTL rect = c.rect;
  if (rect.right == 0) rect.right = w;
  if (rect.bottom == 0) rect.bottom = h;
  SetLastError(0);
  EXPECT_FALSE(Copy(&so, rect));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(g_lineCount, 0u);
  EXPECT_EQ(g_printer.outputCount, 0);
}

// Letter at 300 dpi: 576 x 816 portrait, 816 x 576 landscape (384 and 544 at
// 203 dpi). A width or height of 1 stands for one more than the line.
INSTANTIATE_TEST_SUITE_P(
    Sources, IntakeRefusal,
    ::testing::Values(
        // A wide source on a portrait page: no line buffer for columns.
        IntakeRefusalCase{"ColumnsOnAPortraitPage", DMORIENT_PORTRAIT, 900, 600, {0, 0, 0, 0}, 0},
        // Taller than the printer line.
        IntakeRefusalCase{"ColumnsTallerThanTheLine", DMORIENT_LANDSCAPE, 2000, 1, {0, 0, 0, 0}, 0},
        IntakeRefusalCase{"ColumnRectangleWiderThanTheSource", DMORIENT_LANDSCAPE, 0, 0, {0, 0, 2000, 0}, 0},
        IntakeRefusalCase{"RowsNarrowerThanTheLine", DMORIENT_PORTRAIT, -8, 0, {0, 0, 0, 0}, 0},
        IntakeRefusalCase{"RowsBelowTheSource", DMORIENT_PORTRAIT, 0, 0, {0, 10, 0, 2000}, 0},
        IntakeRefusalCase{"RowsAboveTheSource", DMORIENT_PORTRAIT, 0, 0, {0, -1, 0, 5}, 0},
        IntakeRefusalCase{"OverlappingRows", DMORIENT_PORTRAIT, 0, 0, {0, 0, 0, 0}, 8},
        IntakeRefusalCase{"OverlappingColumns", DMORIENT_LANDSCAPE, 0, 0, {0, 0, 0, 0}, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BandIntake, MissingSourceOrRectangleIsRefused) {
  Open(DevMode(DMPAPER_LETTER, DMORIENT_PORTRAIT));
  const engine::Image page = DistinctRows(width_, height_);
  Source source(page, true);
  RECTL rect = {0, 0, width_, height_};
  EXPECT_FALSE(DrvCopyBits(nullptr, nullptr, nullptr, nullptr, &rect, nullptr));
  EXPECT_FALSE(DrvCopyBits(nullptr, source.surface(), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(g_lineCount, 0u);
}

}  // namespace
}  // namespace kest_test
