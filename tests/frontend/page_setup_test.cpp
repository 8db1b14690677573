// Device enable through the engine stand-in: paper tables, resolution,
// orientation, the wide-page rule, the device mode written back, and every
// refusal leaving nothing allocated or open. Built once per dpi; each build
// checks its own geometry.
#include <cstring>
#include <optional>
#include <ostream>
#include <string>

#include "engine/engine.h"
#include "frontend/geometry/geometry.h"
#include "tests/frontend/frontend_fixture.h"

namespace kest_test {
namespace {

bool Is300() { return GetBuildGeometry().dotsPerMm == 12; }

struct Geometry {
  LONG physX, physY;  // szlPhysSize
  ULONG horzRes, vertRes;
  ULONG horzMm, vertMm;
  ULONG dpi;
  uint32_t pageWidth, pageHeight, widePage;
};

struct GeometryCase {
  const char* name;
  SHORT paper;
  SHORT orientation;
  SHORT quality;
  DWORD fields;
  SHORT lengthMm, widthMm;
  Geometry g300, g203;
};
void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }

DEVMODEW MakeDevMode(SHORT paper, SHORT orientation, SHORT quality = DMRES_HIGH, DWORD fields = 0,
                     SHORT lengthMm = 0, SHORT widthMm = 0, SHORT colour = DMCOLOR_MONOCHROME) {
  DEVMODEW dm{};
  dm.dmSize = sizeof dm;
  dm.dmFields = fields | DM_PAPERSIZE | DM_ORIENTATION;
  dm.dmPaperSize = paper;
  dm.dmOrientation = orientation;
  dm.dmPrintQuality = quality;
  dm.dmPaperLength = lengthMm;
  dm.dmPaperWidth = widthMm;
  dm.dmColor = colour;
  return dm;
}

constexpr DWORD kBoth = DM_PAPERLENGTH | DM_PAPERWIDTH;
constexpr SHORT P = DMORIENT_PORTRAIT;
constexpr SHORT L = DMORIENT_LANDSCAPE;

// The engine's own defaults (105 x 148 mm, 1240 x 1748 dots) show where a
// field bit is clear.
const GeometryCase kGeometryCases[] = {
    {"A4Portrait", 9, P, DMRES_HIGH, 0, 0, 0,
     {1248, 1764, 1248, 1764, 104, 147, 300, 1248, 1764, 0},
     {640, 904, 640, 904, 80, 113, 203, 640, 904, 0}},
    {"A4Landscape", 9, L, DMRES_HIGH, 0, 0, 0,
     {1764, 1248, 1764, 1248, 104, 147, 300, 1764, 1248, 0},
     {904, 640, 904, 640, 80, 113, 203, 904, 640, 0}},
    {"Letter", 1, P, DMRES_HIGH, 0, 0, 0,
     {576, 816, 576, 816, 48, 68, 300, 576, 816, 0},
     {384, 544, 384, 544, 48, 68, 203, 384, 544, 0}},
    {"Legal", 5, P, DMRES_HIGH, 0, 0, 0,
     {864, 1224, 864, 1224, 72, 102, 300, 864, 1224, 0},
     {640, 904, 640, 904, 80, 113, 203, 640, 904, 0}},
    {"B5HasNoSizeOfItsOwnAt203", 13, P, DMRES_HIGH, 0, 0, 0,
     {960, 1356, 960, 1356, 80, 113, 300, 960, 1356, 0},
     {384, 544, 384, 544, 48, 68, 203, 384, 544, 0}},
    {"UnknownCodeTakesTheDefault", 2, P, DMRES_HIGH, 0, 0, 0,
     {576, 816, 576, 816, 48, 68, 300, 576, 816, 0},
     {384, 544, 384, 544, 48, 68, 203, 384, 544, 0}},
    {"DraftKeepsTheDots", 1, P, DMRES_DRAFT, 0, 0, 0,
     {576, 816, 576, 816, 48, 68, 150, 576, 816, 0},
     {384, 544, 384, 544, 48, 68, 101, 384, 544, 0}},
    {"LetterLandscape", 1, L, DMRES_HIGH, 0, 0, 0,
     {816, 576, 816, 576, 48, 68, 300, 816, 576, 0},
     {544, 384, 544, 384, 48, 68, 203, 544, 384, 0}},
    {"UserWidePortraitIsReportedSquare", 256, P, DMRES_HIGH, kBoth, 50, 100,
     {1200, 600, 1200, 1200, 100, 50, 300, 1200, 600, 1},
     {800, 400, 800, 800, 100, 50, 203, 800, 400, 1}},
    {"UserTallPortrait", 256, P, DMRES_HIGH, kBoth, 120, 60,
     {720, 1440, 720, 1440, 60, 120, 300, 720, 1440, 0},
     {480, 960, 480, 960, 60, 120, 203, 480, 960, 0}},
    {"UserLandscapeAlreadyWideIsNotSwapped", 256, L, DMRES_HIGH, kBoth, 50, 100,
     {1200, 600, 1200, 600, 100, 50, 300, 1200, 600, 0},
     {800, 400, 800, 400, 100, 50, 203, 800, 400, 0}},
    {"UserLandscapeTallIsSwapped", 256, L, DMRES_HIGH, kBoth, 120, 60,
     {1440, 720, 1440, 720, 60, 120, 300, 1440, 720, 0},
     {960, 480, 960, 480, 60, 120, 203, 960, 480, 0}},
    {"UserLengthOnlyKeepsTheEngineWidth", 256, P, DMRES_HIGH, DM_PAPERLENGTH, 50, 100,
     {1240, 600, 1240, 1240, 105, 50, 300, 1240, 600, 1},
     {1240, 400, 1240, 1240, 105, 50, 203, 1240, 400, 1}},
    {"UserWidthOnlyKeepsTheEngineLength", 256, P, DMRES_HIGH, DM_PAPERWIDTH, 50, 60,
     {720, 1748, 720, 1748, 60, 148, 300, 720, 1748, 0},
     {480, 1748, 480, 1748, 60, 148, 203, 480, 1748, 0}},
    {"UserNoBitsKeepsTheEngineSize", 256, P, DMRES_HIGH, 0, -3, -3,
     {1240, 1748, 1240, 1748, 105, 148, 300, 1240, 1748, 0},
     {1240, 1748, 1240, 1748, 105, 148, 203, 1240, 1748, 0}},
};

class PageSetup : public FrontendTest {
 protected:
  void SetUp() override {
    FrontendTest::SetUp();
    engine::Engine::ResetEngineEntryCalls();
    engine_ = std::make_unique<engine::Engine>(&DrvEnableDriver);
    ASSERT_TRUE(engine_->Loaded()) << engine_->LoadError();
  }
  void TearDown() override {
    engine_.reset();
    FrontendTest::TearDown();
  }

  // Nothing of a refused enable may remain: no raster buffer, no palette,
  // no connection.
  void ExpectNothingLeft(int64_t allocationsBefore, int palettesBefore) {
    EXPECT_EQ(plat::LiveAllocations(), allocationsBefore);
    EXPECT_EQ(engine::LivePalettes(), palettesBefore);
    EXPECT_EQ(engine::LiveSurfaces(), 0);
    EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake().DeviceOpens(), fake().DeviceCloses());
    EXPECT_EQ(g_printer.levelsK, nullptr);
    EXPECT_EQ(g_printer.rotationRow, nullptr);
    EXPECT_EQ(g_dhpdev, nullptr);
    EXPECT_FALSE(engine_->Enabled());
  }

  std::unique_ptr<engine::Engine> engine_;
};

class PageGeometry : public PageSetup, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(PageGeometry, MatchesThePaperTableOfThisBuild) {
  const GeometryCase& c = GetParam();
  const Geometry& e = Is300() ? c.g300 : c.g203;
  DEVMODEW dm = MakeDevMode(c.paper, c.orientation, c.quality, c.fields, c.lengthMm, c.widthMm);
  // The rest of the name field is left as it was.
  for (auto& ch : dm.dmDeviceName) ch = u'x';

  const engine::CallResult r = engine_->Enable(dm, u"LPT1:");
  ASSERT_TRUE(r) << "error " << r.error;
  const GDIINFO& gi = engine_->GdiInfo();
  EXPECT_EQ(gi.szlPhysSize.cx, e.physX);
  EXPECT_EQ(gi.szlPhysSize.cy, e.physY);
  EXPECT_EQ(gi.ulHorzRes, e.horzRes);
  EXPECT_EQ(gi.ulVertRes, e.vertRes);
  EXPECT_EQ(gi.ulHorzSize, e.horzMm);
  EXPECT_EQ(gi.ulVertSize, e.vertMm);
  EXPECT_EQ(gi.ulLogPixelsX, e.dpi);
  EXPECT_EQ(gi.ulLogPixelsY, e.dpi);
  EXPECT_EQ(gi.ptlPhysOffset.x, 0);
  EXPECT_EQ(gi.ptlPhysOffset.y, 0);
  EXPECT_EQ(g_pageWidth, e.pageWidth);
  EXPECT_EQ(g_pageHeight, e.pageHeight);
  EXPECT_EQ(g_widePage, e.widePage);

  // 24-bit raster printer; the engine's other raster capabilities stay.
  EXPECT_EQ(gi.flRaster, engine::DefaultGdiInfo().flRaster & ~RC_PALETTE);
  EXPECT_EQ(gi.ulTechnology, DT_RASPRINTER);
  EXPECT_EQ(gi.cBitsPixel, 24u);
  EXPECT_EQ(gi.ulNumColors, 16777216u);

  // The raster buffers follow the printer line: the short side in landscape.
  const ULONG line = c.orientation == L ? gi.ulVertRes : gi.ulHorzRes;
  EXPECT_EQ(g_printer.pixelsPerLine, static_cast<int32_t>(line));
  EXPECT_EQ(g_printer.rotationRow != nullptr, c.orientation == L);

  // The surface the driver asked for has the page's true size.
  EXPECT_EQ(engine::LiveSurfaces(), 1);
  EXPECT_EQ(g_surfaceDesc.iBitmapFormat, BMF_24BPP);

  const DEVMODEW& out = engine_->DevMode();
  EXPECT_EQ(std::u16string(out.dmDeviceName, 9), u"Norv Kest");
  EXPECT_EQ(out.dmDeviceName[9], 0);
  for (int i = 10; i < CCHDEVICENAME; ++i) EXPECT_EQ(out.dmDeviceName[i], u'x') << i;
  EXPECT_EQ(out.dmDriverVersion, 0x0202);
}

INSTANTIATE_TEST_SUITE_P(Papers, PageGeometry, ::testing::ValuesIn(kGeometryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageSetup, EngineDefaultsComeFirstThenTheJobStarts) {
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\ClearType\\Sub", u"x", 1));
  const int palettesBefore = engine::LivePalettes();
  fake().SetPortIndex(3);
  ASSERT_TRUE(engine_->Enable(MakeDevMode(1, P), u"COM2:"));

  EXPECT_FALSE(plat::RegistryKeyExists(u"System\\GDI\\ClearType"));
  EXPECT_EQ(engine::Engine::EngineEntryCalls(INDEX_DrvEnablePDEV), 1);
  // The device handle is the one the engine's own entry returned.
  EXPECT_EQ(engine_->DeviceHandle(), static_cast<DHPDEV>(engine_.get()));
  EXPECT_EQ(g_dhpdev, engine_->DeviceHandle());
  EXPECT_NE(engine_->DevInfo().hpalDefault, nullptr);
  EXPECT_EQ(engine::LivePalettes(), palettesBefore + 1);

  const auto opens = fake().RequestsOf(NVP_OPEN);
  ASSERT_EQ(opens.size(), 1u);
  const std::vector<uint8_t> name = {'C', 0, 'O', 0, 'M', 0, '2', 0, ':', 0, 0, 0};
  EXPECT_EQ(opens[0].input, name);
  EXPECT_EQ(fake().Written(), kJobInitBytes);
  EXPECT_EQ(g_printer.hDevice != INVALID_HANDLE_VALUE, true);

  engine_->Disable();
  // Disabling never forwards to the engine's own entries.
  for (int i : {1, 2, 3, 14, 22, 30}) EXPECT_EQ(engine::Engine::EngineEntryCalls(i), 0) << i;
  EXPECT_EQ(fake().Count(NVP_CLOSE), 1);
  EXPECT_EQ(engine::LiveSurfaces(), 0);
  EXPECT_EQ(engine::LivePalettes(), palettesBefore);
}

// --- refusals -------------------------------------------------------------------

struct RefusalCase {
  const char* name;
  SHORT paper, orientation;
  DWORD fields;
  SHORT lengthMm, widthMm;
  bool refused300, refused203;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class EnableRefusal : public PageSetup, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(EnableRefusal, LeavesNothingAllocatedOrOpen) {
  const RefusalCase& c = GetParam();
  const bool refused = Is300() ? c.refused300 : c.refused203;
  const int64_t allocations = plat::LiveAllocations();
  const int palettes = engine::LivePalettes();
  const engine::CallResult r = engine_->Enable(MakeDevMode(c.paper, c.orientation, DMRES_HIGH, c.fields, c.lengthMm,
                                                           c.widthMm),
                                               u"LPT1:");
  if (!refused) {
    EXPECT_TRUE(r);
    engine_->Disable();
    EXPECT_EQ(plat::LiveAllocations(), allocations);
    return;
  }
  EXPECT_FALSE(r);
  EXPECT_EQ(r.error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(fake().Written(), std::vector<uint8_t>{}) << "no job was started";
  ExpectNothingLeft(allocations, palettes);
}

// The widest line is 1808 dots: 150 mm (1800) and 151 mm (1812) at 12 dots
// per millimetre, 226 mm (1808) and 227 mm (1816) at 8.
INSTANTIATE_TEST_SUITE_P(
    Sizes, EnableRefusal,
    ::testing::Values(RefusalCase{"ZeroWidth", 256, P, kBoth, 50, 0, true, true},
                      RefusalCase{"NegativeWidth", 256, P, kBoth, 50, -5, true, true},
                      RefusalCase{"ZeroLength", 256, P, kBoth, 0, 50, true, true},
                      RefusalCase{"NegativeLength", 256, P, DM_PAPERLENGTH, -1, 50, true, true},
                      RefusalCase{"ZeroWidthIgnoredWithoutItsBit", 256, P, DM_PAPERLENGTH, 50, 0, false, false},
                      RefusalCase{"Width150", 256, P, kBoth, 50, 150, false, false},
                      RefusalCase{"Width151", 256, P, kBoth, 50, 151, true, false},
                      RefusalCase{"Width226", 256, P, kBoth, 50, 226, true, false},
                      RefusalCase{"Width227", 256, P, kBoth, 50, 227, true, true},
                      RefusalCase{"LandscapeShortSideTooWide", 256, L, kBoth, 300, 230, true, true},
                      RefusalCase{"LandscapeLongSideMayBeLong", 256, L, kBoth, 1000, 100, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageSetup, NullDeviceModeIsRefused) {
  const int64_t allocations = plat::LiveAllocations();
  const int palettes = engine::LivePalettes();
  GDIINFO gi{};
  DEVINFO di{};
  SetLastError(0);
  EXPECT_EQ(DrvEnablePDEV(nullptr, nullptr, 0, nullptr, sizeof gi, reinterpret_cast<ULONG*>(&gi), sizeof di, &di,
                          nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(engine::Engine::EngineEntryCalls(INDEX_DrvEnablePDEV), 0);
  ExpectNothingLeft(allocations, palettes);
}

TEST_F(PageSetup, CapabilityRecordsTooSmallAreRefused) {
  DEVMODEW dm = MakeDevMode(1, P);
  GDIINFO gi{};
  DEVINFO di{};
  EXPECT_EQ(DrvEnablePDEV(&dm, nullptr, 0, nullptr, sizeof gi - 4, reinterpret_cast<ULONG*>(&gi), sizeof di, &di,
                          nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(DrvEnablePDEV(&dm, nullptr, 0, nullptr, sizeof gi, reinterpret_cast<ULONG*>(&gi), sizeof di - 1, &di,
                          nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(engine::Engine::EngineEntryCalls(INDEX_DrvEnablePDEV), 0);
  EXPECT_EQ(fake().DeviceOpens(), 0);
}

TEST_F(PageSetup, PaletteFailureStopsBeforeTheEngineEntry) {
  ASSERT_TRUE(plat::RegistrySetDword(u"System\\GDI\\ClearType", u"x", 1));
  const int64_t allocations = plat::LiveAllocations();
  const int palettes = engine::LivePalettes();
  engine::Engine::FailNextPalette();
  EXPECT_FALSE(engine_->Enable(MakeDevMode(1, P), u"LPT1:"));
  EXPECT_EQ(engine::Engine::EngineEntryCalls(INDEX_DrvEnablePDEV), 0);
  EXPECT_FALSE(plat::RegistryKeyExists(u"System\\GDI\\ClearType")) << "removed before the palette";
  EXPECT_EQ(fake().DeviceOpens(), 0);
  ExpectNothingLeft(allocations, palettes);
}

TEST_F(PageSetup, PortRefusedFailsWithInvalidHandle) {
  const int64_t allocations = plat::LiveAllocations();
  const int palettes = engine::LivePalettes();
  fake().RefuseOpen(ERROR_UNKNOWN_PORT);
  const engine::CallResult r = engine_->Enable(MakeDevMode(9, L, DMRES_HIGH, 0, 0, 0, DMCOLOR_COLOR), u"COM3:");
  EXPECT_FALSE(r);
  EXPECT_EQ(r.error, ERROR_INVALID_HANDLE);
  EXPECT_EQ(engine::Engine::EngineEntryCalls(INDEX_DrvEnablePDEV), 1);
  ExpectNothingLeft(allocations, palettes);
}

// Every allocation of the raster set-up may fail; each failure is clean.
TEST_F(PageSetup, RasterAllocationFailureIsClean) {
  bool enabled = false;
  for (int n = 1; n <= 40 && !enabled; ++n) {
    const int64_t allocations = plat::LiveAllocations();
    const int palettes = engine::LivePalettes();
    fake().Clear();
    plat::FailAllocationAfter(n);
    const engine::CallResult r = engine_->Enable(MakeDevMode(9, L, DMRES_HIGH, 0, 0, 0, DMCOLOR_COLOR), u"LPT1:");
    plat::FailAllocationAfter(0);
    if (r) {
      // Past the last allocation of the set-up: the enable works.
      enabled = true;
      engine_->Disable();
      EXPECT_GT(n, 20) << "a colour landscape set-up makes 20 allocations";
      EXPECT_EQ(plat::LiveAllocations(), allocations);
      continue;
    }
    EXPECT_EQ(r.error, ERROR_OUTOFMEMORY) << n;
    ExpectNothingLeft(allocations, palettes);
  }
  EXPECT_TRUE(enabled);
}

// The failure path releases the connection of an earlier enable too.
TEST_F(PageSetup, RefusedEnableAfterAGoodOne) {
  const int64_t allocations = plat::LiveAllocations();
  ASSERT_TRUE(engine_->Enable(MakeDevMode(1, P), u"LPT1:"));
  DEVMODEW dm = MakeDevMode(256, P, DMRES_HIGH, kBoth, 0, 50);
  GDIINFO gi{};
  DEVINFO di{};
  EXPECT_EQ(DrvEnablePDEV(&dm, nullptr, 0, nullptr, sizeof gi, reinterpret_cast<ULONG*>(&gi), sizeof di, &di,
                          static_cast<HDEV>(engine_.get()), nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_printer.levelsK, nullptr);
  engine_->Disable();
  EXPECT_EQ(plat::LiveAllocations(), allocations);
}

}  // namespace
}  // namespace kest_test
