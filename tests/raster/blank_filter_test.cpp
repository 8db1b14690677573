// The blank-row filter seen from the printer: pages go through the driver and
// the fake port driver, the virtual printer's decoder reads what was written,
// and the printed rows must be the page's rows with only runs of blank rows
// shortened.
#include <gtest/gtest.h>

#include <random>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "printer/decoder.h"
#include "tests/raster/raster_fixture.h"
#include "tests/support/fake_port_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;
using raster_test::Pixel;

constexpr Pixel kWhite{255, 255, 255}, kBlack{0, 0, 0}, kCyan{0, 255, 255}, kYellow{255, 255, 0}, kRed{255, 0, 0};

// The filter as it worked on raw bytes: every 1B 67 00 past `keep` in a run
// dropped. With no mode-3 repeats and no such bytes inside line data, the
// rows filter must give the same bytes.
Bytes RawFilter(const Bytes& src, int keep) {
  Bytes out;
  int run = 0;
  for (size_t pos = 0; pos < src.size();) {
    if (pos + 3 <= src.size() && src[pos] == 0x1B && src[pos + 1] == 0x67 && src[pos + 2] == 0x00) {
      if (++run <= keep) out.insert(out.end(), {0x1B, 0x67, 0x00});
      pos += 3;
    } else {
      out.push_back(src[pos++]);
      run = 0;
    }
  }
  return out;
}

// A page of rows, each row the dots of every plane.
using PlaneRows = std::vector<std::vector<Bytes>>;  // [plane][row]

bool BlankRow(const PlaneRows& rows, size_t r) {
  for (const auto& plane : rows) {
    for (uint8_t b : plane[r]) {
      if (b != 0) return false;
    }
  }
  return true;
}

// What the printer should print: each run of blank rows cut to `keep` rows,
// but never below one row where the run follows a row with dots or opens the
// page (the printer's seeds may then hold dots).
PlaneRows Shortened(const PlaneRows& rows, int keep) {
  PlaneRows out(rows.size());
  const size_t n = rows.empty() ? 0 : rows[0].size();
  int run = 0;
  for (size_t r = 0; r < n; ++r) {
    if (BlankRow(rows, r)) {
      if (++run > std::max(keep, 1)) continue;
    } else {
      run = 0;
    }
    for (size_t p = 0; p < rows.size(); ++p) out[p].push_back(rows[p][r]);
  }
  return out;
}

// Row counts and the first row that differs, instead of pages of bytes.
testing::AssertionResult SameRows(const PlaneRows& got, const PlaneRows& want) {
  if (got.size() != want.size()) return testing::AssertionFailure() << got.size() << " planes, want " << want.size();
  for (size_t p = 0; p < got.size(); ++p) {
    for (size_t r = 0; r < std::min(got[p].size(), want[p].size()); ++r) {
      if (got[p][r] != want[p][r]) return testing::AssertionFailure() << "plane " << p << " row " << r << " differs";
    }
    if (got[p].size() != want[p].size()) {
      return testing::AssertionFailure() << "plane " << p << ": " << got[p].size() << " rows, want " << want[p].size();
    }
  }
  return testing::AssertionSuccess();
}

class BlankFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryDeleteTree(kPortDriverKey);
    ASSERT_TRUE(fake.Registered());
  }
  void TearDown() override {
    if (ctx) {
      CloseHandle(ctx->hDevice);
      ctx->hDevice = INVALID_HANDLE_VALUE;
      ctx.reset();
    }
    plat::RegistryDeleteTree(kPortDriverKey);
  }
  void Use(int dots, bool colour) {
    if (ctx) CloseHandle(ctx->hDevice);
    ctx = raster_test::MakeContext(dots, colour);
    ASSERT_NE(ctx, nullptr);
    ctx->hDevice = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(ctx->hDevice, INVALID_HANDLE_VALUE);
  }
  static void Set(const char16_t* name, DWORD value) {
    ASSERT_TRUE(plat::RegistrySetDword(kPortDriverKey, name, value));
  }

  // Sends one page; returns the dot rows the driver sent, plane by plane.
  PlaneRows Print(const std::vector<std::vector<Pixel>>& page) {
    fake.Clear();
    ctx->BeginPageRaster();
    PlaneRows rows(ctx->colourMode ? 4 : 1);
    for (const auto& px : page) {
      const Bytes row = raster_test::RowOf(px);
      EXPECT_TRUE(ctx->SendRasterLine(row.data()));
      const uint8_t* seeds[4] = {ctx->seedRowK, ctx->seedRowC, ctx->seedRowM, ctx->seedRowY};
      for (size_t p = 0; p < rows.size(); ++p) rows[p].emplace_back(seeds[p], seeds[p] + ctx->bytesPerLine);
    }
    EXPECT_TRUE(ctx->FlushPage());
    return rows;
  }
  PlaneRows Printed() {
    vprinter::DecoderOptions options;
    options.bytesPerLine = static_cast<size_t>(ctx->bytesPerLine);
    options.colour = ctx->colourMode != FALSE;
    const vprinter::DecodedJob job = vprinter::Decode(fake.Written(), options);
    EXPECT_TRUE(job.ok()) << job.error->ToString();
    EXPECT_EQ(job.incompleteRows, 0u);
    return job.planes;
  }

  kest_test::FakePortDriver fake;
  std::unique_ptr<PrinterContext> ctx;
};

// Rows from dot bytes: a set bit is a black pixel.
std::vector<Pixel> FromDots(const Bytes& dots, int width) {
  std::vector<Pixel> px(width, kWhite);
  for (int x = 0; x < width; ++x) {
    if (dots[x / 8] & (0x80 >> (x % 8))) px[x] = kBlack;
  }
  return px;
}

std::vector<Pixel> Bars(int width, int period, Pixel ink) {
  std::vector<Pixel> px(width, kWhite);
  for (int x = 0; x < width; ++x) {
    if ((x / period) % 2 == 0) px[x] = ink;
  }
  return px;
}

using Page = std::vector<std::vector<Pixel>>;

void Add(Page& page, int count, const std::vector<Pixel>& row) { page.insert(page.end(), count, row); }

// Monochrome pages of every kind, for each number of kept blank rows.
TEST_F(BlankFilter, MonochromePagesPrintTheirRows) {
  const int w = 400;
  const std::vector<Pixel> white(w, kWhite), black(w, kBlack);
  std::vector<Pixel> vertical(w, kWhite);
  for (int x = 0; x < w; x += 50) vertical[x] = kBlack;
  // Dots whose delta data holds 1B 67 00 over and over, after a solid row.
  Bytes tricky(w / 8);
  for (size_t i = 0; i < tricky.size(); ++i) tricky[i] = "\x1B\x67\x00"[i % 3];
  Bytes tricky2 = tricky;
  tricky2[10] = 0x5A;

  struct Case {
    const char* what;
    Page page;
  };
  std::vector<Case> cases;
  {
    Page p;
    Add(p, 5, white);
    Add(p, 100, Bars(w, 7, kBlack));  // a barcode: identical rows
    Add(p, 12, white);
    cases.push_back({"barcode", p});
  }
  {
    Page p;
    Add(p, 8, white);
    Add(p, 60, black);
    Add(p, 2, white);
    Add(p, 30, black);
    cases.push_back({"solid block", p});
  }
  {
    Page p;
    Add(p, 80, vertical);
    Add(p, 9, white);
    Add(p, 80, vertical);
    cases.push_back({"vertical lines", p});
  }
  {
    Page p;
    Add(p, 1, black);
    Add(p, 1, FromDots(tricky, w));
    Add(p, 4, white);
    Add(p, 1, black);
    Add(p, 6, FromDots(tricky, w));
    Add(p, 1, FromDots(tricky2, w));
    Add(p, 7, white);
    cases.push_back({"line data holding 1B 67 00", p});
  }
  {
    // After blank rows a row unlike the one before them: the printer must
    // have cleared its seed.
    Page p;
    Add(p, 1, Bars(w, 3, kBlack));
    Add(p, 6, white);
    Add(p, 1, Bars(w, 5, kBlack));
    Add(p, 1, white);
    Add(p, 1, Bars(w, 4, kBlack));
    cases.push_back({"seeds across blank runs", p});
  }
  for (int keep : {0, 1, 3, 5}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << ", keep " << keep);
      Use(w, false);
      Set(u"CntOfDel-0-Bytes", static_cast<DWORD>(keep));
      const PlaneRows sent = Print(c.page);
      EXPECT_TRUE(SameRows(Printed(), Shortened(sent, keep)));
    }
  }
}

TEST_F(BlankFilter, ColourPagesKeepThePlanesInStep) {
  const int w = 240;
  const std::vector<Pixel> white(w, kWhite);
  std::vector<Pixel> mixed(w, kWhite);
  for (int x = 0; x < w; ++x)
    mixed[x] = (x / 10) % 4 == 0 ? kCyan : (x / 10) % 4 == 1 ? kYellow : (x / 10) % 4 == 2 ? kRed : kBlack;
  Page page;
  Add(page, 3, white);
  Add(page, 10, Bars(w, 6, kCyan));
  Add(page, 7, white);
  Add(page, 10, mixed);
  Add(page, 1, white);
  Add(page, 4, Bars(w, 9, kYellow));
  Add(page, 5, white);
  Add(page, 6, Bars(w, 4, kBlack));
  Add(page, 12, white);
  for (int keep : {0, 1, 3, 5}) {
    SCOPED_TRACE(testing::Message() << "keep " << keep);
    Use(w, true);
    Set(u"CntOfDel-0-Bytes", static_cast<DWORD>(keep));
    const PlaneRows sent = Print(page);
    EXPECT_TRUE(SameRows(Printed(), Shortened(sent, keep)));
  }
}

// In monochrome with the defaults, pages of blank lines and data lines go out
// byte for byte as the raw-byte filter sent them.
TEST_F(BlankFilter, MonochromeDefaultsGiveTheFamiliarBytes) {
  const int w = 64;
  const std::vector<Pixel> white(w, kWhite);
  std::vector<Pixel> mark(w, kWhite);
  mark[13] = kBlack;
  const Bytes blank = {0x1B, 0x67, 0x00};
  auto repeat = [&](int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) b.insert(b.end(), blank.begin(), blank.end());
    return b;
  };
  {
    Use(w, false);
    Page p;
    Add(p, 10, white);
    Print(p);
    EXPECT_EQ(fake.Written(), repeat(3)) << "ten blank lines";
    Print(Page{white});
    EXPECT_EQ(fake.Written(), repeat(1)) << "a single blank line";
  }
  {
    Use(w, false);
    Page p;
    Add(p, 5, white);
    Add(p, 1, mark);
    Add(p, 5, white);
    Print(p);
    Bytes want = repeat(3);
    want.insert(want.end(), {0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x01, 0x04, 0x1B, 0x6D, 0x00});
    const Bytes tail = repeat(3);
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(fake.Written(), want) << "two runs of five around a data line";
  }
  // A long page with runs on both sides of the 32 KiB flushes: each write is
  // what the raw filter made of the same block.
  Use(1248, false);
  std::mt19937 gen(4);
  Page page;
  for (int block = 0; block < 1500; ++block) {
    std::vector<Pixel> row(1248, kWhite);
    for (int i = 0; i < 40; ++i) row[gen() % 1248] = kBlack;
    Add(page, 1 + static_cast<int>(gen() % 4), row);  // rows of marks, changing
    Add(page, static_cast<int>(gen() % 9), std::vector<Pixel>(1248, kWhite));
  }
  Set(u"EnablePageFilter", 0);
  Print(page);
  const auto unfiltered = fake.Writes();
  ASSERT_GT(unfiltered.size(), 2u);
  Use(1248, false);
  plat::RegistryDeleteTree(kPortDriverKey);
  Print(page);
  const auto filtered = fake.Writes();
  ASSERT_EQ(filtered.size(), unfiltered.size());
  for (size_t i = 0; i < filtered.size(); ++i) EXPECT_EQ(filtered[i], RawFilter(unfiltered[i], 3)) << "write " << i;
}

// The settings are read at every flush: off, 2, and back on.
TEST_F(BlankFilter, FilterSettingTakesEffectAtTheNextFlush) {
  const int w = 64;
  const std::vector<Pixel> white(w, kWhite);
  Use(w, false);
  Page p;
  Add(p, 10, white);
  for (int setting : {0, 2, 1}) {
    Set(u"EnablePageFilter", static_cast<DWORD>(setting));
    Print(p);
    EXPECT_EQ(fake.Written().size(), setting == 1 ? 9u : 30u) << setting;
  }
}

}  // namespace
