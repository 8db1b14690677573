// libFuzzer entry for the delta-row encoder, checked by the virtual printer's
// decoder (written on its own from the command language). The input gives a
// line width (1 to 1808 dots), monochrome or colour, and a sequence of rows
// with page starts between them; the rows go out through SendLine into the
// output buffer of a context set up as for a job, and the decoded rows must be
// the rows sent, byte for byte, so seeds carried from row to row and cleared
// at page starts and blank rows are checked too. Every line is also encoded
// into areas of several sizes: the result is the complete encoding when it
// fits strictly inside the area (an unchanged row fits any area), the failure
// value otherwise, and nothing is written past the area.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "platform/gdi.h"
#include "printer/decoder.h"
#include "raster/printer_context.h"
#include "tests/fuzz/byte_reader.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_delta_row: %s %s\n", what, detail.c_str());
  std::abort();
}

using fuzzing::Reader;

constexpr int32_t kMaxBytes = PrinterContext::kMaxLineDots / 8;
constexpr size_t kGuard = 16;

void CheckEncodeInto(const uint8_t* row, int32_t length, const uint8_t* seed, uint8_t pick) {
  const int32_t worst = DeltaRowWorstCase(length);
  static uint8_t full[DeltaRowWorstCase(kMaxBytes) + 1];
  const int32_t n = DeltaRowEncodeInto(row, length, full, worst + 1, seed);
  if (n == kDeltaEncodeFailed || n < 0 || n > worst) Fail("the complete encoding does not fit the worst case");
  if (n > 255) Fail("a line of at most 1808 dots needs more than 255 bytes");
  if ((n == 0) != (std::memcmp(row, seed, static_cast<size_t>(length)) == 0)) Fail("empty encoding of a changed row");

  const int32_t capacities[] = {length, n, n + 1, static_cast<int32_t>(pick % (worst + 2))};
  static uint8_t area[DeltaRowWorstCase(kMaxBytes) + 2 + kGuard];
  for (int32_t capacity : capacities) {
    std::memset(area, 0xA5, sizeof area);
    const int32_t r = DeltaRowEncodeInto(row, length, area, capacity, seed);
    for (size_t i = static_cast<size_t>(capacity); i < static_cast<size_t>(capacity) + kGuard; ++i) {
      if (area[i] != 0xA5) Fail("the encoder wrote past its area", std::to_string(capacity));
    }
    // An unchanged row needs no bytes at all, whatever the area.
    if (n < capacity || n == 0) {
      if (r != n || std::memcmp(area, full, static_cast<size_t>(n)) != 0) {
        Fail("a fitting encoding differs from the complete one", std::to_string(capacity));
      }
    } else if (r != kDeltaEncodeFailed) {
      Fail("an encoding that does not fit is reported as done", std::to_string(capacity));
    }
  }
  // The shorter-than-raw form: the complete encoding when it is shorter.
  std::memset(area, 0xA5, sizeof area);
  const int32_t shorter = DeltaRowEncode(row, length, area, seed);
  if (shorter != (n < length ? n : kDeltaEncodeFailed)) Fail("DeltaRowEncode disagrees with the complete encoding");
  for (size_t i = static_cast<size_t>(length); i < static_cast<size_t>(length) + kGuard; ++i) {
    if (area[i] != 0xA5) Fail("DeltaRowEncode wrote past the row length");
  }
}

// One line of a plane from the previous one: blank, the same, a few bytes
// changed, or every byte changed by the input.
void NextLine(Reader& in, std::vector<uint8_t>& line) {
  const uint8_t c = in.byte();
  switch (c >> 6) {
    case 3:
      std::fill(line.begin(), line.end(), 0);
      break;
    case 2:
      break;
    case 1: {
      const int edits = (c & 0x0F) + 1;
      for (int i = 0; i < edits; ++i) {
        const size_t at = in.byte() % line.size();
        line[at] = in.byte();
      }
      break;
    }
    default:
      for (auto& b : line) b ^= in.byte();
      break;
  }
}

PrinterContext& Context() {
  static PrinterContext* context = new PrinterContext();  // lives for the whole run
  return *context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const uint8_t flags = in.byte();
  const bool colour = (flags & 1) != 0;
  const uint32_t dots = 1 + ((static_cast<uint32_t>(in.byte()) << 8 | in.byte()) % PrinterContext::kMaxLineDots);

  PrinterContext& ctx = Context();
  GDIINFO gdi{};
  gdi.ulHorzRes = dots;
  gdi.ulVertRes = 100;
  DEVMODEW dm{};
  dm.dmColor = colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
  dm.dmOrientation = DMORIENT_PORTRAIT;
  if (!ctx.SetupRaster(&gdi, &dm)) Fail("SetupRaster refused a line width it should take", std::to_string(dots));
  const int32_t length = ctx.bytesPerLine;
  if (length < 1 || length > kMaxBytes) Fail("line width out of range");

  // As at a job start: the initialisation leaves the printer in mode 5.
  ctx.outputCount = 0;
  ctx.blankRowMarkCount = 0;
  if (!ctx.AppendOutput(cmd::kJobInit.data(), static_cast<int32_t>(cmd::kJobInit.size()))) Fail("AppendOutput");
  ctx.BeginPageRaster();

  const int planes = colour ? 4 : 1;
  uint8_t* const seeds[4] = {ctx.seedRowK, ctx.seedRowC, ctx.seedRowM, ctx.seedRowY};
  uint8_t* const dotsOf[4] = {ctx.dotsK, ctx.dotsCMY, ctx.dotsCMY, ctx.dotsCMY};
  std::vector<std::vector<uint8_t>> line(planes, std::vector<uint8_t>(static_cast<size_t>(length), 0));
  std::vector<std::vector<std::vector<uint8_t>>> sent(planes);
  vprinter::DecoderOptions options;
  options.bytesPerLine = static_cast<size_t>(length);
  options.colour = colour;
  size_t lines = 0;
  // Each row costs at most a mode command and a line of 3 + 255 bytes per
  // plane: stop while the whole stream still fits the collecting area.
  const int32_t rowWorst = planes * (3 + 255 + 2);
  for (int rows = 0; in.more() && rows < 64 && ctx.outputCount + rowWorst < ctx.outputCapacity; ++rows) {
    const uint8_t header = in.byte();
    if ((header & 0x07) == 0x07 && rows > 0) {
      ctx.BeginPageRaster();
      options.pageStartLines.push_back(lines);
      for (auto& l : line) std::fill(l.begin(), l.end(), 0);  // a new page starts from white
    }
    for (int p = 0; p < planes; ++p) {
      NextLine(in, line[p]);
      std::memcpy(dotsOf[p], line[p].data(), static_cast<size_t>(length));
      CheckEncodeInto(dotsOf[p], length, seeds[p], header);
      if (!ctx.SendLine(dotsOf[p], seeds[p])) Fail("SendLine failed");
      if (std::memcmp(seeds[p], line[p].data(), static_cast<size_t>(length)) != 0) {
        Fail("the seed is not the row just sent");
      }
      sent[p].push_back(line[p]);
      ++lines;
    }
  }
  if (ctx.outputCount > ctx.outputCapacity) Fail("the stream outgrew the collecting area");

  const vprinter::DecodedJob job =
      vprinter::Decode(std::span<const uint8_t>(ctx.outputBuffer, static_cast<size_t>(ctx.outputCount)), options);
  if (!job.ok()) Fail("the printer refused the stream:", job.error->ToString() + "\n" + job.Listing());
  if (job.lines != lines || job.planes.size() != static_cast<size_t>(planes)) Fail("line count differs");
  for (int p = 0; p < planes; ++p) {
    if (job.planes[p].size() != sent[p].size()) Fail("row count differs");
    for (size_t r = 0; r < sent[p].size(); ++r) {
      if (job.planes[p][r] != sent[p][r]) {
        Fail("decoded row differs from the row sent:",
             "plane " + std::to_string(p) + " row " + std::to_string(r) + "\n" + job.Listing());
      }
    }
  }
  ctx.outputCount = 0;
  return 0;
}
