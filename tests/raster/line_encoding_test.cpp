// Line framing and delta-row encoding: the byte examples, the worst case, and
// round trips through an independent decoder and the virtual printer's.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "platform/system.h"
#include "printer/decoder.h"
#include "tests/raster/raster_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using raster_test::MakeContext;

// Applies delta-row data to a seed; nullopt for malformed data.
std::optional<Bytes> ApplyDelta(const Bytes& seed, const uint8_t* data, size_t n) {
  Bytes row = seed;
  size_t i = 0, at = 0;
  while (i < n) {
    const uint8_t c = data[i++];
    const size_t count = (c >> 5) + 1;
    size_t offset = c & 31;
    if (offset == 31) {
      uint8_t x;
      do {
        if (i >= n) return std::nullopt;
        x = data[i++];
        offset += x;
      } while (x == 0xFF);
    }
    if (i + count > n || at + offset + count > row.size()) return std::nullopt;
    std::copy(data + i, data + i + count, row.begin() + static_cast<long>(at + offset));
    i += count;
    at += offset + count;
  }
  return row;
}

Bytes Changed(size_t length, std::initializer_list<std::pair<size_t, uint8_t>> changes) {
  Bytes row(length, 0);
  for (auto [pos, value] : changes) row[pos] = value;
  return row;
}

TEST(DeltaRun, OffsetEscapes) {
  struct Case {
    int count, offset;
    Bytes want;  // command and extension bytes
  };
  const Case cases[] = {
      {1, 0, {0x00}},
      {1, 30, {0x1E}},
      {1, 31, {0x1F, 0x00}},
      {1, 40, {0x1F, 0x09}},
      {1, 285, {0x1F, 0xFE}},
      {1, 286, {0x1F, 0xFF, 0x00}},
      {1, 541, {0x1F, 0xFF, 0xFF, 0x00}},
      {8, 2, {0xE2}},
      {3, 31, {0x5F, 0x00}},
  };
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const Case& c : cases) {
    uint8_t out[16] = {};
    uint8_t* pos = out;
    const int32_t n = EmitDeltaRun(c.count, c.offset, data, &pos, out + sizeof out);
    Bytes want = c.want;
    want.insert(want.end(), data, data + c.count);
    ASSERT_EQ(n, static_cast<int32_t>(want.size())) << c.offset;
    EXPECT_EQ(pos, out + n);
    EXPECT_EQ(Bytes(out, out + n), want) << c.offset;
  }
  // The data must end strictly before the end of the area.
  uint8_t out[4];
  uint8_t* pos = out;
  EXPECT_EQ(EmitDeltaRun(2, 0, data, &pos, out + 4), 3);
  pos = out;
  EXPECT_EQ(EmitDeltaRun(3, 0, data, &pos, out + 4), -1);
  pos = out;
  EXPECT_EQ(EmitDeltaRun(1, 31, data, &pos, out + 3), -1);  // 1F 00 d needs the fourth byte free
  pos = out;
  EXPECT_EQ(EmitDeltaRun(9, 0, data, &pos, out + 4), -1);
  EXPECT_EQ(EmitDeltaRun(0, 0, data, &pos, out + 4), -1);
}

TEST(DeltaRowEncode, Examples) {
  struct Case {
    const char* what;
    Bytes row, seed;
    Bytes want;  // empty with fails = true: the encoding is not shorter
    bool fails = false;
  };
  const uint8_t b[9] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
  const Case cases[] = {
      {"byte 5", Changed(108, {{5, 0xFF}}), Bytes(108, 0), {0x05, 0xFF}},
      {"byte 40", Changed(108, {{40, 0xAB}}), Bytes(108, 0), {0x1F, 0x09, 0xAB}},
      {"byte 285", Changed(300, {{285, 0xAB}}), Bytes(300, 0), {0x1F, 0xFE, 0xAB}},
      {"byte 286", Changed(300, {{286, 0xAB}}), Bytes(300, 0), {0x1F, 0xFF, 0x00, 0xAB}},
      {"nine in a row",
       Changed(108,
               {{0, b[0]}, {1, b[1]}, {2, b[2]}, {3, b[3]}, {4, b[4]}, {5, b[5]}, {6, b[6]}, {7, b[7]}, {8, b[8]}}),
       Bytes(108, 0),
       {0xE0, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], 0x00, b[8]}},
      {"3 and 5", Changed(108, {{3, b[3]}, {5, b[5]}}), Bytes(108, 0), {0x03, b[3], 0x01, b[5]}},
      {"eight then one equal byte",
       Changed(20, {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {9, 2}}),
       Bytes(20, 0),
       {0xE0, 1, 1, 1, 1, 1, 1, 1, 1, 0x01, 2}},
      {"equal to its seed", Bytes(108, 0x5A), Bytes(108, 0x5A), {}},
      {"all FF after zeros", Bytes(108, 0xFF), Bytes(108, 0), {}, true},
      {"just shorter", Changed(4, {{0, 1}, {1, 1}}), Bytes(4, 0), {0x20, 1, 1}},
      {"as long as the row", Changed(3, {{0, 1}, {1, 1}}), Bytes(3, 0), {}, true},
  };
  for (const Case& c : cases) {
    Bytes out(c.row.size() + 1, 0xEE);  // one byte past the area: never written
    const int32_t n = DeltaRowEncode(c.row.data(), static_cast<int32_t>(c.row.size()), out.data(), c.seed.data());
    EXPECT_EQ(out.back(), 0xEE) << c.what;
    if (c.fails) {
      EXPECT_EQ(n, kDeltaEncodeFailed) << c.what;
      continue;
    }
    ASSERT_NE(n, kDeltaEncodeFailed) << c.what;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), c.want) << c.what;
  }
  EXPECT_EQ(DeltaRowEncode(nullptr, 0, nullptr, nullptr), 0);
}

// The largest complete encoding over every pattern of changed bytes, by
// dynamic programming over (pending run length, offset).
int32_t LongestEncoding(int length) {
  auto ext = [](int offset) { return offset < 31 ? 0 : 1 + (offset - 31) / 255; };
  const int kNone = -1;
  std::vector<std::vector<int>> best(9, std::vector<int>(length + 1, kNone));
  best[0][0] = 0;
  for (int j = 0; j < length; ++j) {
    std::vector<std::vector<int>> next(9, std::vector<int>(length + 1, kNone));
    auto relax = [&](int p, int o, int v) { next[p][o] = std::max(next[p][o], v); };
    for (int p = 0; p <= 8; ++p) {
      for (int o = 0; o <= length; ++o) {
        int v = best[p][o];
        if (v == kNone) continue;
        int pp = p, oo = o;
        if (pp == 8) {
          v += 1 + ext(oo) + 8;
          pp = 0;
          oo = 0;
        }
        relax(pp + 1, oo, v);  // byte j changed
        if (pp > 0) {
          relax(0, 1, v + 1 + ext(oo) + pp);  // unchanged: the pending run goes out
        } else if (oo + 1 <= length) {
          relax(0, oo + 1, v);
        }
      }
    }
    best.swap(next);
  }
  int longest = 0;
  for (int p = 0; p <= 8; ++p) {
    for (int o = 0; o <= length; ++o) {
      if (best[p][o] != kNone) longest = std::max(longest, best[p][o] + (p > 0 ? 1 + ext(o) + p : 0));
    }
  }
  return longest;
}

TEST(DeltaRowEncode, WorstCaseFitsTheAreaAndTheCount) {
  for (int length : {1, 7, 8, 9, 31, 32, 108, 156, 200, 226}) {
    EXPECT_EQ(LongestEncoding(length), DeltaRowWorstCase(length)) << length;
  }
  // The widest line the context accepts.
  EXPECT_LE(DeltaRowWorstCase((PrinterContext::kMaxLineDots + 7) / 8), 255);
}

// Random rows against random seeds, sparse and dense: the encoding decodes to
// the row, fails exactly when it would not be shorter, and the complete
// encoding always decodes.
TEST(DeltaRowEncode, RoundTripOverRandomRows) {
  std::mt19937 gen(21);
  int failures = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    const int length = 1 + static_cast<int>(gen() % 226);
    Bytes seed(length), row(length);
    for (auto& s : seed) s = static_cast<uint8_t>(gen());
    const uint32_t density = gen() % 101;  // percent of bytes changed
    for (int j = 0; j < length; ++j) {
      row[j] = gen() % 100 < density ? static_cast<uint8_t>(seed[j] ^ (1 + gen() % 255)) : seed[j];
    }
    Bytes full(DeltaRowWorstCase(length) + 8);
    const int32_t fullLen =
        DeltaRowEncodeInto(row.data(), length, full.data(), static_cast<int32_t>(full.size()), seed.data());
    ASSERT_NE(fullLen, kDeltaEncodeFailed);
    ASSERT_LE(fullLen, DeltaRowWorstCase(length));
    auto decoded = ApplyDelta(seed, full.data(), fullLen);
    ASSERT_TRUE(decoded.has_value()) << trial;
    ASSERT_EQ(*decoded, row) << trial;

    Bytes out(length);
    const int32_t n = DeltaRowEncode(row.data(), length, out.data(), seed.data());
    if (fullLen >= length) {
      ASSERT_EQ(n, kDeltaEncodeFailed) << trial;
      ++failures;
    } else {
      ASSERT_EQ(n, fullLen) << trial;
      ASSERT_EQ(Bytes(out.begin(), out.begin() + n), Bytes(full.begin(), full.begin() + n));
    }
  }
  EXPECT_GT(failures, 500);  // the dense rows did reach the failure path
}

// Lines as they go into the output buffer.
class SendLineTest : public ::testing::Test {
 protected:
  void Use(int dots, bool colour = false) {
    ctx = MakeContext(dots, colour);
    ASSERT_NE(ctx, nullptr);
  }
  Bytes Take() {
    Bytes out(ctx->outputBuffer, ctx->outputBuffer + ctx->outputCount);
    ctx->outputCount = 0;
    return out;
  }
  std::unique_ptr<PrinterContext> ctx;
};

TEST_F(SendLineTest, FramingAndModes) {
  Use(864);  // 108 bytes
  Bytes dots(108, 0), seed(108, 0);
  ASSERT_TRUE(ctx->SendLine(dots.data(), seed.data()));
  EXPECT_EQ(Take(), (Bytes{0x1B, 0x67, 0x00}));  // the page starts in mode 0

  dots[5] = 0xFF;
  ASSERT_TRUE(ctx->SendLine(dots.data(), seed.data()));
  EXPECT_EQ(Take(), (Bytes{0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x05, 0xFF}));
  EXPECT_EQ(seed, dots);

  ASSERT_TRUE(ctx->SendLine(dots.data(), seed.data()));  // same as its seed
  EXPECT_EQ(Take(), (Bytes{0x1B, 0x67, 0x00}));
  EXPECT_EQ(seed, dots);

  Bytes blank(108, 0);
  ASSERT_TRUE(ctx->SendLine(blank.data(), seed.data()));
  EXPECT_EQ(Take(), (Bytes{0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x00}));
  EXPECT_EQ(seed, blank);
}

TEST_F(SendLineTest, RowsNotShorterEncodedGoOutWholeInModeThree) {
  Use(864);
  Bytes dots(108, 0xFF), seed(108, 0);
  ASSERT_TRUE(ctx->SendLine(dots.data(), seed.data()));
  Bytes want = {0x1B, 0x6D, 0x03, 0x1B, 0x67, 122};
  for (int r = 0; r < 13; ++r) {
    want.push_back(0xE0);
    want.insert(want.end(), 8, 0xFF);
  }
  want.push_back(0x60);
  want.insert(want.end(), 4, 0xFF);
  EXPECT_EQ(Take(), want);
  EXPECT_EQ(seed, dots);

  // The widest line, every byte changed: 226 + 29 = 255 data bytes.
  Use(PrinterContext::kMaxLineDots);
  Bytes wide(226, 0xA5), zero(226, 0);
  ASSERT_TRUE(ctx->SendLine(wide.data(), zero.data()));
  const Bytes out = Take();
  ASSERT_EQ(out.size(), 3u + 3u + 255u);
  EXPECT_EQ(out[5], 255);
  EXPECT_EQ(ApplyDelta(Bytes(226, 0), out.data() + 6, 255), wide);
}

TEST_F(SendLineTest, ColourRowWithBlankBlackPlane) {
  Use(64, true);
  // Cyan: the K line is blank, C has data, M and Y are blank.
  std::vector<raster_test::Pixel> cyan(64, {0, 255, 255});
  const auto row = raster_test::RowOf(cyan);
  ctx->compressionMode = 3;
  ASSERT_TRUE(ctx->SendRasterLine(row.data()));
  const Bytes want = {0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x00,                                      // K
                      0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x09, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // C
                      0xFF, 0xFF, 0xFF, 0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x00,                    // M
                      0x1B, 0x67, 0x00};                                                       // Y
  EXPECT_EQ(Take(), want);
  EXPECT_EQ(ctx->rowIndex, 1);
}

// A flush that fails on the way loses bytes, whichever append of the line
// ran into it: the row is reported failed and rowIndex stays.
TEST_F(SendLineTest, FailedFlushInsideALineFailsTheRow) {
  struct Case {
    const char* what;
    int32_t modeBefore;
    int32_t fill;  // bytes collected before the row
  };
  const Case cases[] = {
      {"at the line command", 0, 32768},
      {"at the mode command", 3, 32768},
      {"at the count byte", 0, 32766},
  };
  Use(64);  // hDevice stays closed: every flush fails
  const std::vector<raster_test::Pixel> white(64, {255, 255, 255});
  const auto row = raster_test::RowOf(white);
  for (const Case& c : cases) {
    Bytes filler(static_cast<size_t>(c.fill), 0x41);
    ctx->outputCount = 0;
    ASSERT_TRUE(ctx->AppendOutput(filler.data(), c.fill));
    ctx->compressionMode = c.modeBefore;
    ctx->rowIndex = 4;
    EXPECT_FALSE(ctx->SendRasterLine(row.data())) << c.what;
    EXPECT_EQ(ctx->rowIndex, 4) << c.what;
  }
}

TEST_F(SendLineTest, LineDataCountIsOneByte) {
  Use(64);
  const uint8_t data[1] = {0};
  EXPECT_FALSE(ctx->SendLineData(data, 256));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ctx->SendLineData(data, -1));
  EXPECT_EQ(ctx->outputCount, 0);
}

// Whole pages through SendRasterLine, read back by the virtual printer's
// decoder: photo-like rows (many not shorter when encoded), sparse rows,
// repeated rows and blank rows; monochrome and colour.
TEST(RasterRoundTrip, PrinterDecodesTheRowsThatWereSent) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "mono");
    const int width = colour ? 600 : 1248;
    auto ctx = MakeContext(width, colour);
    ASSERT_NE(ctx, nullptr);
    std::mt19937 gen(colour ? 9 : 8);
    Bytes stream;
    std::vector<std::vector<Bytes>> sent(colour ? 4 : 1);
    for (int y = 0; y < 160; ++y) {
      std::vector<raster_test::Pixel> px(width, {255, 255, 255});
      switch ((y / 10) % 4) {
        case 0:  // photo
          for (auto& p : px) p = {uint8_t(gen()), uint8_t(gen()), uint8_t(gen())};
          break;
        case 1:  // a few marks
          for (int i = 0; i < 6; ++i) px[gen() % width] = {0, 0, 0};
          break;
        case 2:  // the same bars row after row
          for (int x = 0; x < width; ++x) {
            if ((x / 13) % 3 == 0) px[x] = {0, 0, 0};
          }
          break;
        default:  // blank
          break;
      }
      const auto row = raster_test::RowOf(px);
      ASSERT_TRUE(ctx->SendRasterLine(row.data()));
      uint8_t* seeds[4] = {ctx->seedRowK, ctx->seedRowC, ctx->seedRowM, ctx->seedRowY};
      for (size_t p = 0; p < sent.size(); ++p) sent[p].emplace_back(seeds[p], seeds[p] + ctx->bytesPerLine);
      stream.insert(stream.end(), ctx->outputBuffer, ctx->outputBuffer + ctx->outputCount);
      ctx->outputCount = 0;
    }
    vprinter::DecoderOptions options;
    options.bytesPerLine = static_cast<size_t>(ctx->bytesPerLine);
    options.colour = colour;
    const vprinter::DecodedJob job = vprinter::Decode(stream, options);
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    ASSERT_EQ(job.planes.size(), sent.size());
    for (size_t p = 0; p < sent.size(); ++p) {
      ASSERT_EQ(job.planes[p].size(), sent[p].size()) << "plane " << p;
      for (size_t r = 0; r < sent[p].size(); ++r)
        ASSERT_TRUE(job.planes[p][r] == sent[p][r]) << "plane " << p << " row " << r;
    }
    EXPECT_GT(job.Count(vprinter::Command::Line), 0u);
  }
}

// Rows and pages work in the memory set up once.
TEST(RasterRoundTrip, NoAllocationPerRowOrPage) {
  auto ctx = MakeContext(1248, true);
  ASSERT_NE(ctx, nullptr);
  std::mt19937 gen(2);
  std::vector<raster_test::Pixel> px(1248);
  for (auto& p : px) p = {uint8_t(gen()), uint8_t(gen()), uint8_t(gen())};
  const auto row = raster_test::RowOf(px);
  const uint64_t before = plat::AllocationCount();
  for (int page = 0; page < 2; ++page) {
    ctx->BeginPageRaster();
    for (int y = 0; y < 200; ++y) ctx->SendRasterLine(row.data());  // flushes fail: no device
    ctx->FlushPage();
  }
  EXPECT_EQ(plat::AllocationCount(), before);
}

}  // namespace
