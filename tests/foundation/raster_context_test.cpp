#include <gtest/gtest.h>

#include <vector>

#include "frontend/frontend.h"
#include "platform/system.h"

namespace {

GDIINFO Page(ULONG horz, ULONG vert) {
  GDIINFO gi{};
  gi.ulHorzRes = horz;
  gi.ulVertRes = vert;
  return gi;
}

DEVMODEW Mode(SHORT orientation, SHORT color) {
  DEVMODEW dm{};
  dm.dmOrientation = orientation;
  dm.dmColor = color;
  return dm;
}

class RasterContextTest : public ::testing::Test {
 protected:
  void TearDown() override { ctx.FreeRasterBuffers(); }
  PrinterContext ctx;
};

TEST_F(RasterContextTest, ToneTablesAndCurvesAtTellingIndexes) {
  GDIINFO gi = Page(864, 1224);
  DEVMODEW dm = Mode(DMORIENT_PORTRAIT, DMCOLOR_COLOR);
  ASSERT_TRUE(ctx.SetupRaster(&gi, &dm));
  struct Row {
    int index;
    int grey;  // -1: not listed
    int colour;
    int value;
  };
  const Row rows[] = {
      {0, 0, 0, 0},          {1, 0, 6, 0},          {2, 9, 15, 0},         {14, -1, -1, 1},
      {16, 170, 224, 1},     {64, 1183, 1358, 14},  {128, 3121, 3344, 60}, {192, 5506, 5665, 141},
      {254, 8147, 8150, 253}, {255, 8192, 8192, 255},
  };
  for (const Row& r : rows) {
    if (r.grey >= 0) {
      EXPECT_EQ(ctx.toneTableGrey[r.index], r.grey) << r.index;
    }
    if (r.colour >= 0) {
      EXPECT_EQ(ctx.toneTableColour[r.index], r.colour) << r.index;
    }
    EXPECT_EQ(ctx.valueCurve[r.index], r.value) << r.index;
  }
  EXPECT_EQ(ctx.dotWeightK, 10649);
  EXPECT_EQ(ctx.dotWeightC, 9011);
  EXPECT_EQ(ctx.dotWeightM, 9830);
  EXPECT_EQ(ctx.dotWeightY, 9011);
  EXPECT_EQ(ctx.hueGainBlue, 163);
  EXPECT_EQ(ctx.hueGainGreen, 229);
}

TEST_F(RasterContextTest, SizesFollowTheLine) {
  struct Case {
    ULONG horz, vert;
    SHORT orientation;
    int pixels, bytes;
  };
  const Case cases[] = {
      {864, 1224, DMORIENT_PORTRAIT, 864, 108},
      {1248, 1764, DMORIENT_PORTRAIT, 1248, 156},
      {577, 800, DMORIENT_PORTRAIT, 577, 73},
      {1764, 1248, DMORIENT_LANDSCAPE, 1248, 156},  // landscape: the line runs across ulVertRes
  };
  for (const Case& c : cases) {
    GDIINFO gi = Page(c.horz, c.vert);
    DEVMODEW dm = Mode(c.orientation, DMCOLOR_MONOCHROME);
    ASSERT_TRUE(ctx.SetupRaster(&gi, &dm)) << c.horz;
    EXPECT_EQ(ctx.pixelsPerLine, c.pixels);
    EXPECT_EQ(ctx.bytesPerLine, c.bytes);
    if (c.orientation == DMORIENT_LANDSCAPE) {
      ASSERT_NE(ctx.rotationRow, nullptr);
      // The whole 3 x ulVertRes bytes are there (ASan reports an overrun).
      ctx.rotationRow[3 * c.vert - 1] = 0xAB;
    } else {
      EXPECT_EQ(ctx.rotationRow, nullptr);
    }
    // nextErrorRow has a guard entry at each end.
    ctx.nextErrorRow[c.pixels + 1] = 1;
    // Monochrome allocates no colour planes and no colour tables.
    for (void* p : {(void*)ctx.levelsC, (void*)ctx.levelsM, (void*)ctx.levelsY, (void*)ctx.errorRowC,
                    (void*)ctx.errorRowM, (void*)ctx.errorRowY, (void*)ctx.seedRowC, (void*)ctx.seedRowM,
                    (void*)ctx.seedRowY, (void*)ctx.toneTableColour, (void*)ctx.valueCurve}) {
      EXPECT_EQ(p, nullptr);
    }
  }
}

TEST_F(RasterContextTest, SecondSetupReleasesTheFirst) {
  const int64_t before = plat::LiveAllocations();
  GDIINFO gi = Page(1248, 1764);
  DEVMODEW colour = Mode(DMORIENT_LANDSCAPE, DMCOLOR_COLOR);
  ASSERT_TRUE(ctx.SetupRaster(&gi, &colour));
  const int64_t colourBlocks = plat::LiveAllocations() - before;
  DEVMODEW mono = Mode(DMORIENT_PORTRAIT, DMCOLOR_MONOCHROME);
  ASSERT_TRUE(ctx.SetupRaster(&gi, &mono));
  // The colour planes, their two tables and the rotation row are gone.
  EXPECT_EQ(colourBlocks - (plat::LiveAllocations() - before), 12);
  ctx.FreeRasterBuffers();
  ctx.FreeRasterBuffers();  // any number of times
  EXPECT_EQ(plat::LiveAllocations(), before);
}

TEST_F(RasterContextTest, EachFailingAllocationGivesFalseAndLeaksNothing) {
  const int64_t before = plat::LiveAllocations();
  GDIINFO gi = Page(1764, 1248);
  DEVMODEW dm = Mode(DMORIENT_LANDSCAPE, DMCOLOR_COLOR);
  const uint64_t count0 = plat::AllocationCount();
  ASSERT_TRUE(ctx.SetupRaster(&gi, &dm));
  const int allocations = static_cast<int>(plat::AllocationCount() - count0);
  ASSERT_GE(allocations, 20);
  ctx.FreeRasterBuffers();
  for (int n = 1; n <= allocations; ++n) {
    plat::FailAllocationAfter(n);
    EXPECT_FALSE(ctx.SetupRaster(&gi, &dm)) << "allocation " << n;
    plat::FailAllocationAfter(0);
    ctx.FreeRasterBuffers();
    EXPECT_EQ(plat::LiveAllocations(), before) << "allocation " << n;
  }
  // One past the last allocation: setup succeeds.
  plat::FailAllocationAfter(allocations + 1);
  EXPECT_TRUE(ctx.SetupRaster(&gi, &dm));
  plat::FailAllocationAfter(0);
}

TEST_F(RasterContextTest, UnusableLinesAreRefused) {
  DEVMODEW dm = Mode(DMORIENT_PORTRAIT, DMCOLOR_MONOCHROME);
  for (ULONG dots : {0u, 1809u, 100000u}) {
    GDIINFO gi = Page(dots, 100);
    EXPECT_FALSE(ctx.SetupRaster(&gi, &dm)) << dots;
    EXPECT_EQ(ctx.dotsK, nullptr);
  }
  GDIINFO widest = Page(1808, 100);
  EXPECT_TRUE(ctx.SetupRaster(&widest, &dm));
}

TEST_F(RasterContextTest, BeginPageClearsStateAndReseeds) {
  GDIINFO gi = Page(577, 800);
  DEVMODEW dm = Mode(DMORIENT_PORTRAIT, DMCOLOR_COLOR);
  ASSERT_TRUE(ctx.SetupRaster(&gi, &dm));
  for (uint8_t* seed : {ctx.seedRowK, ctx.seedRowC, ctx.seedRowM, ctx.seedRowY}) seed[72] = 0x80;
  for (int16_t* err : {ctx.errorRowK, ctx.errorRowC, ctx.errorRowM, ctx.errorRowY}) err[576] = -5;
  ctx.compressionMode = 3;
  ctx.rowIndex = 7;
  ctx.BeginPageRaster();
  crt::rand();
  ctx.BeginPageRaster();  // twice is the same as once
  for (uint8_t* seed : {ctx.seedRowK, ctx.seedRowC, ctx.seedRowM, ctx.seedRowY}) EXPECT_EQ(seed[72], 0);
  for (int16_t* err : {ctx.errorRowK, ctx.errorRowC, ctx.errorRowM, ctx.errorRowY}) EXPECT_EQ(err[576], 0);
  EXPECT_EQ(ctx.compressionMode, 0);
  EXPECT_EQ(ctx.rowIndex, 7);  // the page flush resets it, not the page start
  std::vector<int> seq;
  for (int i = 0; i < 3; ++i) seq.push_back(crt::rand());
  crt::srand(119);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(crt::rand(), seq[i]);
}

}  // namespace
