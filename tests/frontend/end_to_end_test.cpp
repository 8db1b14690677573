// Whole jobs through the graphics-engine stand-in: the engine loads the
// driver, renders black-and-white pages into its bottom-up bitmap and hands
// them over whole or in bands; the fake NVP1 keeps the bytes and the virtual
// printer's decoder must give back exactly the pages' rows, with long runs of
// blank rows shortened as the blank-line filter does.
#include <ostream>
#include <string>

#include "tests/frontend/frontend_fixture.h"
#include "tests/frontend/page_helpers.h"

namespace kest_test {
namespace {

// A label: bars, a dotted rule and a moving block, with blank gaps of 12, 4
// and 7 lines; `u` runs along the paper, `v` across it.
bool Label(int u, int v, int across, int shift) {
  const int r = (u + shift) % 40;
  if (r < 8) return v % 9 < 5;
  if (r == 20) return v % 5 == 0 && v < across / 2;
  if (r >= 25 && r < 33) {
    const int start = (u * 7) % across;
    return v >= start && v < start + 30;
  }
  return false;
}

struct JobCase {
  const char* name;
  SHORT paper;
  SHORT orientation;
  SHORT colour;
  int band;
  SHORT lengthMm = 0, widthMm = 0;
};
void PrintTo(const JobCase& c, std::ostream* os) { *os << c.name; }

class EndToEnd : public FrontendTest, public ::testing::WithParamInterface<JobCase> {};

TEST_P(EndToEnd, PagesDecodeToTheirRows) {
  const JobCase& c = GetParam();
  DEVMODEW dm{};
  dm.dmSize = sizeof dm;
  dm.dmPaperSize = c.paper;
  dm.dmOrientation = c.orientation;
  dm.dmColor = c.colour;
  dm.dmPrintQuality = DMRES_HIGH;
  if (c.paper == DMPAPER_USER) {
    dm.dmFields = DM_PAPERLENGTH | DM_PAPERWIDTH;
    dm.dmPaperLength = c.lengthMm;
    dm.dmPaperWidth = c.widthMm;
  }
  engine::Engine eng(&DrvEnableDriver);
  ASSERT_TRUE(eng.Loaded()) << eng.LoadError();
  const engine::CallResult enabled = eng.Enable(dm, u"LPT1:");
  ASSERT_TRUE(enabled) << "error " << enabled.error;

  const int w = eng.PageWidth();
  const int h = eng.PageHeight();
  const bool columns = w > h;
  const int dots = g_printer.pixelsPerLine;
  const int lines = columns ? w : static_cast<int>(g_pageHeight);  // the true height of a wide page
  std::vector<engine::Image> pages;
  for (int shift : {0, 13}) {
    pages.push_back(BlackWhite(w, h, [&](int x, int y) {
      return columns ? Label(x, h - 1 - y, dots, shift) : Label(y, x, dots, shift);
    }));
  }

  const engine::DocumentResult doc = eng.PrintDocument(pages, c.band);
  EXPECT_TRUE(doc.Ok());
  ASSERT_EQ(doc.pages.size(), 2u);
  const size_t calls = c.band <= 0 || columns ? 1 : static_cast<size_t>((h + c.band - 1) / c.band);
  EXPECT_EQ(doc.pages[0].copyBits.size(), calls);
  eng.Disable();
  EXPECT_EQ(engine::LiveSurfaces(), 0);

  // Job start, page 1 (written at the second page start), page 2 with the
  // trailer, job end: each page fits one write, so the filter saw it whole.
  const auto writes = fake().Writes();
  ASSERT_EQ(writes.size(), 4u) << "a page took more than one write";
  EXPECT_EQ(writes[0], kJobInitBytes);
  EXPECT_EQ(writes[3], Bytes({0x1B, 0x76, 0x03}));
  for (size_t p = 0; p < 2; ++p) {
    SCOPED_TRACE(p);
    std::span<const uint8_t> bytes(writes[1 + p]);
    if (p == 1) bytes = bytes.first(bytes.size() - 4);  // the trailer
    const vprinter::DecodedJob job = DecodeStream(bytes, dots, c.colour == DMCOLOR_COLOR);
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    const auto expected =
        FilterBlankRuns(columns ? ColumnsOf(pages[p], dots, 0, lines) : RowsOf(pages[p], dots, 0, lines));
    ASSERT_FALSE(job.planes.empty());
    EXPECT_EQ(job.planes[0], expected);
    // A black-and-white page in colour prints black only.
    for (size_t plane = 1; plane < job.planes.size(); ++plane) {
      EXPECT_EQ(job.planes[plane].size(), expected.size());
      for (const auto& row : job.planes[plane]) EXPECT_TRUE(IsBlankRow(row)) << "plane " << plane;
    }
    EXPECT_EQ(job.planes.size(), c.colour == DMCOLOR_COLOR ? 4u : 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, EndToEnd,
    ::testing::Values(JobCase{"PortraitWhole", DMPAPER_LETTER, DMORIENT_PORTRAIT, DMCOLOR_MONOCHROME, 0},
                      JobCase{"PortraitInBands", DMPAPER_A4, DMORIENT_PORTRAIT, DMCOLOR_MONOCHROME, 64},
                      JobCase{"Landscape", DMPAPER_A4, DMORIENT_LANDSCAPE, DMCOLOR_MONOCHROME, 64},
                      JobCase{"ColourPortraitInBands", DMPAPER_LEGAL, DMORIENT_PORTRAIT, DMCOLOR_COLOR, 100},
                      JobCase{"ColourLandscape", DMPAPER_LETTER, DMORIENT_LANDSCAPE, DMCOLOR_COLOR, 0},
                      JobCase{"WidePortraitInBands", DMPAPER_USER, DMORIENT_PORTRAIT, DMCOLOR_MONOCHROME, 50, 50,
                              100}),
    [](const auto& info) { return std::string(info.param.name); });

// The engine loads the driver library itself, as it does for the tools.
TEST(EngineLoading, MissingLibraryIsReported) {
  engine::Engine eng(std::string("/nonexistent/libkestarm.so"));
  EXPECT_FALSE(eng.Loaded());
  EXPECT_FALSE(eng.LoadError().empty());
  EXPECT_FALSE(eng.Enable(DEVMODEW{}, nullptr));
  EXPECT_FALSE(eng.PrintDocument({}).Ok());
}

}  // namespace
}  // namespace kest_test
