// The virtual printer's reading of the command stream: every command in order,
// and the dot rows it printed, plane by plane. Written on its own, from the
// command language, so that it can check the driver's encoder.
//
// Pages. The stream does not mark page boundaries: the driver clears its
// delta-row seeds at each page start without sending anything. The decoder is
// therefore told where pages begin (DecoderOptions::pageStartOffsets or
// pageStartLines, or StreamDecoder::StartPage between pages). Besides that,
// ESC @, ESC A, ESC v n and ESC e 1 0 start a new page as well: they come only
// outside pages, so clearing the seeds there never changes a correct stream.
// A page start clears every seed and makes the next line the black line of a
// new row; it does not change the mode.
//
// Modes. Before any ESC m, and after ESC @ or ESC A, the mode is 0. Lines in
// modes 0 and 5 carry no data: each is a blank row and clears its plane's
// seed (the job initialisation leaves mode 5, and the driver sends the first
// blank line of a page without a mode command). In mode 3 a line's data are
// delta-row runs against the plane's seed, and a line without data repeats
// the seed. Anything else is refused with the offset and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vprinter {

enum class Command : uint8_t {
  WakeUp,         // one or more 00 bytes outside commands (length = their number)
  Reset,          // ESC @
  Init,           // ESC A
  Mode,           // ESC m n, n = 0, 3 or 5
  StatusRequest,  // ESC k FF
  JobControl,     // ESC v n, n = 2 or 3
  Trailer,        // ESC e 01 00
  Line,           // ESC g n data
  Rts,            // ESC Q 0F n
  PageStart,      // not a command: a page start the decoder was told of
};

const char* CommandName(Command c);

// Planes in the order a colour row sends them.
enum Plane : uint8_t { kPlaneK = 0, kPlaneC = 1, kPlaneM = 2, kPlaneY = 3 };

struct Event {
  Command command = Command::WakeUp;
  uint64_t offset = 0;  // stream offset of the first byte
  uint32_t length = 0;  // bytes of the command; for WakeUp the number of zero bytes
  uint8_t param = 0;    // Mode, JobControl: n; Rts: n; Line: the data count
  // Lines only:
  uint8_t mode = 0;   // the mode the line was read in
  uint8_t plane = 0;  // kPlaneK .. kPlaneY (always K in monochrome)
  uint32_t row = 0;   // index of the row it printed in that plane
};

// "ESC g 5 (mode 3, plane K, row 12) at 40", for test messages.
std::string Describe(const Event& e);

struct DecodeError {
  uint64_t offset = 0;  // stream offset of the byte where the problem lies
  std::string message;
  std::string ToString() const;  // "offset 17: ..."
};

// Largest line width accepted, in bytes, whether fixed or grown.
constexpr size_t kMaxLineBytes = 8192;

struct DecoderOptions {
  // Bytes per dot row. 0: the width grows to the widest run seen (at most
  // kMaxLineBytes); earlier rows are padded with blank bytes.
  size_t bytesPerLine = 0;
  bool colour = false;  // four lines per row, K C M Y, each with its own seed
  // Where pages begin: stream offsets, and indexes of line commands (counted
  // from 0 over the whole stream). An offset inside a command takes effect at
  // the next command.
  std::vector<uint64_t> pageStartOffsets;
  std::vector<uint64_t> pageStartLines;
  // Memory bounds: a stream with more lines or events is refused.
  size_t maxLines = size_t{1} << 21;
  size_t maxEvents = size_t{1} << 22;
};

using Row = std::vector<uint8_t>;

struct DecodedJob {
  size_t bytesPerLine = 0;
  bool colour = false;
  std::vector<Event> events;
  // planes[p][r]: the dots of row r in plane p, bytesPerLine bytes each, first
  // dot in the most significant bit. One plane in monochrome, four in colour.
  std::vector<std::vector<Row>> planes;
  // First row of each page; always starts with 0.
  std::vector<size_t> pageStartRows;
  uint64_t bytes = 0;         // bytes read
  uint64_t pendingBytes = 0;  // bytes of a command not yet complete (live decoding)
  size_t lines = 0;           // line commands read
  size_t incompleteRows = 0;  // colour rows that ended before all four lines came
  std::optional<DecodeError> error;

  bool ok() const { return !error.has_value(); }
  size_t rows() const;
  // Events of one command (and one parameter, when param >= 0).
  size_t Count(Command c, int param = -1) const;
  // The commands in order, one Describe() per line, for test messages.
  std::string Listing() const;
};

// Incremental decoder: bytes may arrive in any pieces.
class StreamDecoder {
 public:
  explicit StreamDecoder(DecoderOptions options = {});

  // Called as each command completes; returning false makes Feed stop right
  // after that command.
  using Observer = std::function<bool(const Event&)>;
  void SetObserver(Observer observer) { observer_ = std::move(observer); }

  // Reads bytes; returns how many were taken (all of them, unless the observer
  // stopped the feed). After an error the decoder takes and ignores every byte.
  size_t Feed(const uint8_t* data, size_t size);
  size_t Feed(std::span<const uint8_t> bytes) { return Feed(bytes.data(), bytes.size()); }

  // A page begins here: seeds cleared, the next line is a black line.
  void StartPage();

  // The end of the stream: an unfinished command becomes an error and a colour
  // row missing planes is completed with blank lines.
  void Finish();

  bool failed() const { return job_.error.has_value(); }
  const std::optional<DecodeError>& error() const { return job_.error; }
  uint64_t offset() const { return pos_; }

  // What was decoded so far, rows padded to the current width. With `finish`
  // the copy is completed as Finish would, the decoder itself is unchanged.
  DecodedJob Snapshot(bool finish = false) const;
  // Finish and hand over the result; the decoder takes no bytes afterwards.
  DecodedJob Take();

 private:
  void Fail(uint64_t offset, std::string message);
  bool Emit(const Event& e);
  void ApplyOffsetPageStarts();
  bool ProcessCommand();
  bool ProcessLine();
  bool Grow(size_t width);
  void CompleteRow(DecodedJob& job, size_t& planeIndex) const;
  DecodeError TruncatedError() const;
  static void PadRows(DecodedJob& job);

  DecoderOptions options_;
  Observer observer_;
  DecodedJob job_;
  uint64_t pos_ = 0;
  // The command being collected: ESC g n with 255 data bytes is the longest.
  uint8_t cmd_[3 + 255] = {};
  size_t cmdLen_ = 0;
  size_t cmdNeed_ = 0;  // total length once known, 0 while unknown
  uint64_t cmdStart_ = 0;
  uint8_t mode_ = 0;
  size_t planeIndex_ = 0;
  size_t width_ = 0;
  bool widthFixed_ = false;
  bool rowsNarrow_ = false;  // some stored rows are shorter than width_
  bool pageBreakPending_ = false;
  std::vector<Row> seeds_;
  size_t nextOffsetStart_ = 0;
  size_t nextLineStart_ = 0;
};

// Decodes a whole stream.
DecodedJob Decode(std::span<const uint8_t> bytes, const DecoderOptions& options = {});

}  // namespace vprinter
