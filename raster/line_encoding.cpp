// Printer lines from rows: levels, dots, then one line command per plane,
// blank lines in mode 0 and delta-row encoded lines (PCL method 3) in mode 3.
#include <cstring>

#include "commands/commands.h"
#include "platform/system.h"
#include "raster/printer_context.h"

namespace {

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool RowIsBlank(const uint8_t* row, int32_t length) {
  int32_t j = 0;
  uint64_t acc = 0;
  for (; j + 8 <= length; j += 8) acc |= Load64(row + j);
  for (; j < length; ++j) acc |= row[j];
  return acc == 0;
}

// Index of the first byte at or after j where row and seed differ (or
// `length`), and the first where they agree, eight bytes at a time where they
// can.
int32_t NextChanged(const uint8_t* row, const uint8_t* seed, int32_t j, int32_t length) {
  while (j + 8 <= length && Load64(row + j) == Load64(seed + j)) j += 8;
  while (j < length && row[j] == seed[j]) ++j;
  return j;
}

int32_t NextUnchanged(const uint8_t* row, const uint8_t* seed, int32_t j, int32_t length) {
  while (j < length && row[j] != seed[j]) ++j;
  return j;
}

}  // namespace

int32_t EmitDeltaRun(int32_t count, int32_t offset, const uint8_t* data, uint8_t** position, const uint8_t* end) {
  if (count < 1 || count > 8 || offset < 0 || data == nullptr || position == nullptr || *position == nullptr) {
    return -1;
  }
  uint8_t* p = *position;
  int32_t written = 1;
  if (p >= end) return -1;
  *p++ = static_cast<uint8_t>(((count - 1) << 5) | (offset < 31 ? offset : 31));
  *position = p;
  if (offset >= 31) {
    int32_t rest = offset - 31;
    while (rest > 254) {
      if (p >= end) return -1;
      *p++ = 0xFF;
      *position = p;
      ++written;
      rest -= 255;
    }
    if (p >= end) return -1;
    *p++ = static_cast<uint8_t>(rest);
    *position = p;
    ++written;
  }
  if (!(count < end - p)) return -1;  // strictly inside the area
  std::memcpy(p, data, static_cast<size_t>(count));
  *position = p + count;
  return written + count;
}

int32_t DeltaRowEncodeInto(const uint8_t* row, int32_t length, uint8_t* out, int32_t capacity, const uint8_t* seed) {
  if (length <= 0) return 0;
  uint8_t* position = out;
  const uint8_t* end = out + capacity;
  int32_t total = 0;
  int32_t lastEnd = 0;  // end of the previous run (or the line start)
  int32_t j = NextChanged(row, seed, 0, length);
  while (j < length) {
    // A stretch of changed bytes goes out in runs of at most eight; only the
    // first run of a stretch has unchanged bytes before it.
    const int32_t stretchEnd = NextUnchanged(row, seed, j, length);
    int32_t offset = j - lastEnd;
    while (j < stretchEnd) {
      const int32_t count = stretchEnd - j < 8 ? stretchEnd - j : 8;
      const int32_t size = EmitDeltaRun(count, offset, row + j, &position, end);
      if (size < 0) return kDeltaEncodeFailed;
      total += size;
      j += count;
      offset = 0;
    }
    lastEnd = stretchEnd;
    j = NextChanged(row, seed, stretchEnd, length);
  }
  return total;
}

int32_t DeltaRowEncode(const uint8_t* row, int32_t length, uint8_t* out, const uint8_t* seed) {
  return DeltaRowEncodeInto(row, length, out, length, seed);
}

BOOL PrinterContext::SetCompressionMode(int32_t mode) {
  if (mode == compressionMode) return TRUE;
  const BOOL prefix = AppendOutputString(cmd::kModeSelectPrefix);
  const uint8_t n = static_cast<uint8_t>(mode);
  const BOOL value = AppendOutput(&n, 1);
  compressionMode = mode;
  return prefix && value;
}

BOOL PrinterContext::SendLineData(const uint8_t* data, int32_t count) {
  // The count is one byte on the wire.
  if (count < 0 || count > 255 || (count > 0 && data == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int32_t total = 3 + count;
  const int32_t capacity = outputCapacity;
  if (outputCount < capacity && total <= capacity - outputCount) {
    // Room for the whole line: no flush can happen on the way, so writing it
    // directly is the same as appending it piece by piece.
    uint8_t* p = outputBuffer + outputCount;
    p[0] = cmd::kLinePrefix[0];
    p[1] = cmd::kLinePrefix[1];
    p[2] = static_cast<uint8_t>(count);
    if (count > 0) std::memcpy(p + 3, data, static_cast<size_t>(count));
    outputCount += total;
    return TRUE;
  }
  // A flush failing on the way has lost bytes: report it, whichever append
  // ran into it.
  const BOOL prefix = AppendOutputString(cmd::kLinePrefix);
  const uint8_t n = static_cast<uint8_t>(count);
  const BOOL size = AppendOutput(&n, 1);
  static const uint8_t kNoData = 0;
  const BOOL body = AppendOutput(count > 0 ? data : &kNoData, count);
  return prefix && size && body;
}

BOOL PrinterContext::SendLine(const uint8_t* dots, uint8_t* seed) {
  const int32_t length = bytesPerLine;
  if (RowIsBlank(dots, length)) {
    const BOOL mode = SetCompressionMode(0);
    const BOOL line = SendLineData(dots, 0);
    std::memset(seed, 0, static_cast<size_t>(length));
    return mode && line;
  }
  rowHasDots = true;
  // The complete encoding, into an area that holds the worst case: a line
  // that does not come out shorter than the raw row still goes out in mode 3,
  // and with lines of at most kMaxLineDots dots its count fits one byte.
  const int32_t n = DeltaRowEncodeInto(dots, length, fullEncodedLine, fullEncodedLineSize, seed);
  std::memcpy(seed, dots, static_cast<size_t>(length));
  if (n == kDeltaEncodeFailed || n > 255) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const BOOL mode = SetCompressionMode(3);
  const BOOL line = SendLineData(fullEncodedLine, n);
  return mode && line;
}

BOOL PrinterContext::SendRasterLine(const uint8_t* row) {
  if (row == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ConvertRow(row);
  rowHasDots = false;
  BOOL ok = HalftonePlane(levelsK, errorRowK, dotsK, nullptr, dotWeightK, seedRowK);
  if (ok && colourMode) {
    ok = HalftonePlane(levelsC, errorRowC, dotsCMY, dotsK, dotWeightC, seedRowC) &&
         HalftonePlane(levelsM, errorRowM, dotsCMY, dotsK, dotWeightM, seedRowM) &&
         HalftonePlane(levelsY, errorRowY, dotsCMY, dotsK, dotWeightY, seedRowY);
  }
  if (!ok) {
    // Bytes of this row or before it were lost: what the printer holds is
    // no longer known.
    printerSeedsClear = false;
    return FALSE;
  }
  NoteRowAppended(rowHasDots ? 0 : 3 * (colourMode ? 4 : 1));
  ++rowIndex;
  return TRUE;
}
