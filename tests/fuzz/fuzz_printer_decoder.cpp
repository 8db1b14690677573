// libFuzzer entry for the printer's decoder: the first byte picks the
// options, the rest is the stream, decoded whole and in two pieces.
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
  for (const auto& plane : whole.planes) {
    for (const auto& row : plane) {
      if (row.size() != whole.bytesPerLine) std::abort();
    }
  }
  return 0;
}
