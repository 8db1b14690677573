// Throughput of the raster path: 24-bit rows to printer lines, and the
// delta-row encoder on its own. The flushes go to a fake port driver that
// only counts bytes, so the figures are the driver's own work.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "platform/devices.h"
#include "platform/registry.h"
#include "portdriver/control_codes.h"
#include "raster/printer_context.h"
#include "tests/support/fake_port_driver.h"

namespace {

constexpr int kDots = 1248;
constexpr int kRows = 64;  // distinct rows cycled through

enum class Kind { Photo, Label, Blank };

// Rows of a page: 3 bytes per pixel, blue, green, red.
std::vector<std::vector<uint8_t>> MakeRows(Kind kind) {
  std::mt19937 gen(1);
  std::vector<std::vector<uint8_t>> rows(kRows, std::vector<uint8_t>(kDots * 3, 255));
  for (int y = 0; y < kRows; ++y) {
    uint8_t* p = rows[y].data();
    for (int x = 0; x < kDots; ++x, p += 3) {
      switch (kind) {
        case Kind::Photo: {
          // Smooth shapes in every channel with some grain.
          const double fx = x / 97.0, fy = y / 23.0;
          const int grain = static_cast<int>(gen() % 25) - 12;
          auto ch = [&](double phase) {
            const int v = static_cast<int>(128 + 100 * std::sin(fx + phase) * std::cos(fy * 0.7 + phase)) + grain;
            return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
          };
          p[0] = ch(0.0);
          p[1] = ch(1.3);
          p[2] = ch(2.6);
          break;
        }
        case Kind::Label: {
          // Bars across part of the line and glyph-like strokes elsewhere.
          bool ink = false;
          if (x < 500) {
            ink = ((x * 7 + 3) / 11) % 3 == 0;
          } else if (x > 600 && x < 1150) {
            const int cx = (x - 600) % 24, cy = y % 32;
            ink = cy < 20 && (cx < 3 || cy < 3 || (cy > 9 && cy < 12 && cx < 14));
          }
          if (ink) p[0] = p[1] = p[2] = 0;
          break;
        }
        case Kind::Blank:
          break;
      }
    }
  }
  return rows;
}

class Sink {
 public:
  Sink() {
    plat::RegistrySetDword(kPortDriverKey, u"EnablePageFilter", 0);  // count every byte the lines make
    fake_.KeepRecords(false);
  }
  ~Sink() { plat::RegistryDeleteTree(kPortDriverKey); }
  kest_test::FakePortDriver& fake() { return fake_; }

 private:
  kest_test::FakePortDriver fake_;
};

void SendRows(benchmark::State& state, Kind kind, bool colour) {
  static Sink sink;
  auto ctx = std::make_unique<PrinterContext>();
  GDIINFO gi{};
  gi.ulHorzRes = kDots;
  gi.ulVertRes = 2000;
  DEVMODEW dm{};
  dm.dmOrientation = DMORIENT_PORTRAIT;
  dm.dmColor = colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
  if (!ctx->SetupRaster(&gi, &dm)) {
    state.SkipWithError("setup failed");
    return;
  }
  ctx->hDevice = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (ctx->hDevice == INVALID_HANDLE_VALUE) {
    state.SkipWithError("no NVP1:");
    return;
  }
  const auto rows = MakeRows(kind);
  ctx->BeginPageRaster();
  const uint64_t before = sink.fake().WrittenByteCount();
  int64_t sent = 0;
  int y = 0;
  for (auto _ : state) {
    if (!ctx->SendRasterLine(rows[y].data())) {
      state.SkipWithError("send failed");
      break;
    }
    ++sent;
    if (++y == kRows) y = 0;
    if (ctx->rowIndex == 2000) {  // a new page now and then, as in a job
      state.PauseTiming();
      ctx->FlushPage();
      ctx->BeginPageRaster();
      state.ResumeTiming();
    }
  }
  const uint64_t bytes = sink.fake().WrittenByteCount() - before + static_cast<uint64_t>(ctx->outputCount);
  ctx->outputCount = 0;
  CloseHandle(ctx->hDevice);
  ctx->hDevice = INVALID_HANDLE_VALUE;
  state.SetItemsProcessed(sent * kDots);
  state.counters["bytes_per_row"] = sent > 0 ? static_cast<double>(bytes) / static_cast<double>(sent) : 0.0;
}

void BM_SendRasterLine_MonoPhoto(benchmark::State& s) { SendRows(s, Kind::Photo, false); }
void BM_SendRasterLine_MonoLabel(benchmark::State& s) { SendRows(s, Kind::Label, false); }
void BM_SendRasterLine_MonoBlank(benchmark::State& s) { SendRows(s, Kind::Blank, false); }
void BM_SendRasterLine_ColourPhoto(benchmark::State& s) { SendRows(s, Kind::Photo, true); }
void BM_SendRasterLine_ColourLabel(benchmark::State& s) { SendRows(s, Kind::Label, true); }
void BM_SendRasterLine_ColourBlank(benchmark::State& s) { SendRows(s, Kind::Blank, true); }
BENCHMARK(BM_SendRasterLine_MonoPhoto);
BENCHMARK(BM_SendRasterLine_MonoLabel);
BENCHMARK(BM_SendRasterLine_MonoBlank);
BENCHMARK(BM_SendRasterLine_ColourPhoto);
BENCHMARK(BM_SendRasterLine_ColourLabel);
BENCHMARK(BM_SendRasterLine_ColourBlank);

// The encoder on 156-byte dot rows against the previous row: sparse changes
// (labels), and dense ones (halftoned photos, mostly not shorter).
void Encode(benchmark::State& state, int changedPercent, bool full) {
  constexpr int kBytes = kDots / 8;
  std::mt19937 gen(2);
  std::vector<std::vector<uint8_t>> rows(kRows + 1, std::vector<uint8_t>(kBytes));
  for (int j = 0; j < kBytes; ++j) rows[0][j] = static_cast<uint8_t>(gen());
  for (int y = 1; y <= kRows; ++y) {
    for (int j = 0; j < kBytes; ++j) {
      rows[y][j] = static_cast<int>(gen() % 100) < changedPercent ? static_cast<uint8_t>(gen()) : rows[y - 1][j];
    }
  }
  std::vector<uint8_t> out(DeltaRowWorstCase(kBytes) + 8);
  int64_t encoded = 0, failed = 0, n = 0;
  int y = 1;
  for (auto _ : state) {
    const int32_t len = full ? DeltaRowEncodeInto(rows[y].data(), kBytes, out.data(), static_cast<int32_t>(out.size()),
                                                  rows[y - 1].data())
                             : DeltaRowEncode(rows[y].data(), kBytes, out.data(), rows[y - 1].data());
    benchmark::DoNotOptimize(len);
    benchmark::ClobberMemory();
    if (len == kDeltaEncodeFailed) {
      ++failed;
    } else {
      encoded += len;
    }
    ++n;
    if (++y > kRows) y = 1;
  }
  state.SetItemsProcessed(n * kDots);
  state.SetBytesProcessed(n * kBytes);
  state.counters["bytes_out_per_row"] =
      n - failed > 0 ? static_cast<double>(encoded) / static_cast<double>(n - failed) : 0;
  state.counters["not_shorter"] = n > 0 ? static_cast<double>(failed) / static_cast<double>(n) : 0;
}

void BM_DeltaRowEncode_Sparse(benchmark::State& s) { Encode(s, 5, false); }
void BM_DeltaRowEncode_Dense(benchmark::State& s) { Encode(s, 60, false); }
void BM_DeltaRowEncodeComplete_Dense(benchmark::State& s) { Encode(s, 60, true); }
BENCHMARK(BM_DeltaRowEncode_Sparse);
BENCHMARK(BM_DeltaRowEncode_Dense);
BENCHMARK(BM_DeltaRowEncodeComplete_Dense);

}  // namespace

BENCHMARK_MAIN();
