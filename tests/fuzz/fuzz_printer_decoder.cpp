// libFuzzer entry for the printer's decoder: the first byte picks the
// options, the rest is the stream, decoded whole, in two pieces and (when
// short) a byte at a time: the same commands, rows and error every time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "printer/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  vprinter::DecoderOptions o;
  o.colour = (data[0] & 0x80) != 0;
  o.bytesPerLine = (data[0] & 0x40) ? 0 : (data[0] & 0x3F) * 5;
  o.maxLines = 4096;
  o.maxEvents = 8192;
  if (data[0] & 0x01) o.pageStartLines = {1, 5, 9};
  const uint8_t* s = data + 1;
  const size_t n = size - 1;
  vprinter::DecodedJob whole = vprinter::Decode({s, n}, o);
  vprinter::StreamDecoder d(o);
  d.Feed(s, n / 2);
  d.Feed(s + n / 2, n - n / 2);
  vprinter::DecodedJob split = d.Take();
  if (whole.planes != split.planes || whole.events.size() != split.events.size() ||
      whole.error.has_value() != split.error.has_value() || whole.bytes != n) {
    std::abort();
  }
  for (size_t i = 0; i < whole.events.size(); ++i) {
    const vprinter::Event& a = whole.events[i];
    const vprinter::Event& b = split.events[i];
    if (a.command != b.command || a.offset != b.offset || a.length != b.length || a.param != b.param ||
        a.plane != b.plane || a.row != b.row) {
      std::abort();
    }
  }
  if (whole.error && (whole.error->offset != split.error->offset || whole.error->offset > n)) std::abort();
  // One byte at a time, as a slow serial line delivers it, for short streams.
  if (n <= 256) {
    vprinter::StreamDecoder bytewise(o);
    for (size_t i = 0; i < n; ++i) bytewise.Feed(s + i, 1);
    vprinter::DecodedJob one = bytewise.Take();
    if (one.planes != whole.planes || one.events.size() != whole.events.size() ||
        one.error.has_value() != whole.error.has_value()) {
      std::abort();
    }
  }
  for (const auto& plane : whole.planes) {
    for (const auto& row : plane) {
      if (row.size() != whole.bytesPerLine) std::abort();
    }
  }
  return 0;
}
