#include "printer/decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vprinter {

namespace {

constexpr uint8_t kEsc = 0x1B;

std::string Format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

const char* PlaneName(uint8_t plane) {
  static const char* const kNames[] = {"K", "C", "M", "Y"};
  return plane < 4 ? kNames[plane] : "?";
}

}  // namespace

const char* CommandName(Command c) {
  switch (c) {
    case Command::WakeUp:
      return "wake-up";
    case Command::Reset:
      return "ESC @";
    case Command::Init:
      return "ESC A";
    case Command::Mode:
      return "ESC m";
    case Command::StatusRequest:
      return "ESC k";
    case Command::JobControl:
      return "ESC v";
    case Command::Trailer:
      return "ESC e";
    case Command::Line:
      return "ESC g";
    case Command::Rts:
      return "ESC Q";
    case Command::PageStart:
      return "page start";
  }
  return "?";
}

std::string Describe(const Event& e) {
  auto at = static_cast<unsigned long long>(e.offset);
  switch (e.command) {
    case Command::WakeUp:
      return Format("00 x%u at %llu", e.length, at);
    case Command::Mode:
    case Command::JobControl:
      return Format("%s %u at %llu", CommandName(e.command), e.param, at);
    case Command::StatusRequest:
      return Format("ESC k FF at %llu", at);
    case Command::Trailer:
      return Format("ESC e 01 00 at %llu", at);
    case Command::Rts:
      return Format("ESC Q 0F %02X at %llu", e.param, at);
    case Command::Line:
      return Format("ESC g %u (mode %u, plane %s, row %u) at %llu", e.param, e.mode, PlaneName(e.plane), e.row, at);
    default:
      return Format("%s at %llu", CommandName(e.command), at);
  }
}

std::string DecodeError::ToString() const {
  return Format("offset %llu: ", static_cast<unsigned long long>(offset)) + message;
}

size_t DecodedJob::rows() const {
  size_t n = 0;
  for (const auto& p : planes) n = std::max(n, p.size());
  return n;
}

size_t DecodedJob::Count(Command c, int param) const {
  size_t n = 0;
  for (const auto& e : events) {
    if (e.command == c && (param < 0 || e.param == param)) ++n;
  }
  return n;
}

std::string DecodedJob::Listing() const {
  std::string s;
  for (const auto& e : events) {
    s += Describe(e);
    s += '\n';
  }
  if (error) s += "error: " + error->ToString() + '\n';
  return s;
}

StreamDecoder::StreamDecoder(DecoderOptions options) : options_(std::move(options)) {
  std::sort(options_.pageStartOffsets.begin(), options_.pageStartOffsets.end());
  std::sort(options_.pageStartLines.begin(), options_.pageStartLines.end());
  const size_t planes = options_.colour ? 4 : 1;
  job_.colour = options_.colour;
  job_.planes.resize(planes);
  job_.pageStartRows.push_back(0);
  seeds_.resize(planes);
  if (options_.bytesPerLine > kMaxLineBytes) {
    Fail(0, Format("line width of %zu bytes is above the limit of %zu", options_.bytesPerLine, kMaxLineBytes));
    return;
  }
  widthFixed_ = options_.bytesPerLine > 0;
  width_ = options_.bytesPerLine;
  job_.bytesPerLine = width_;
  for (auto& s : seeds_) s.assign(width_, 0);
}

void StreamDecoder::Fail(uint64_t offset, std::string message) {
  if (job_.error) return;
  job_.error = DecodeError{offset, std::move(message)};
  cmdLen_ = 0;
  cmdNeed_ = 0;
}

bool StreamDecoder::Emit(const Event& e) {
  if (job_.events.size() >= options_.maxEvents) {
    Fail(e.offset, Format("more than %zu commands", options_.maxEvents));
    return true;
  }
  job_.events.push_back(e);
  return observer_ ? observer_(e) : true;
}

void StreamDecoder::StartPage() {
  if (planeIndex_ != 0) CompleteRow(job_, planeIndex_);
  for (auto& s : seeds_) std::fill(s.begin(), s.end(), 0);
  // Recorded when the page gets its first row, so that a page start at the
  // end of the stream makes no empty page.
  pageBreakPending_ = true;
}

void StreamDecoder::CompleteRow(DecodedJob& job, size_t& planeIndex) const {
  for (size_t p = planeIndex; p < job.planes.size(); ++p) job.planes[p].emplace_back(width_, 0);
  ++job.incompleteRows;
  planeIndex = 0;
}

void StreamDecoder::PadRows(DecodedJob& job) {
  for (auto& plane : job.planes) {
    for (auto& row : plane) row.resize(job.bytesPerLine, 0);
  }
}

bool StreamDecoder::Grow(size_t width) {
  if (width > kMaxLineBytes) return false;
  width_ = width;
  job_.bytesPerLine = width;
  for (auto& s : seeds_) s.resize(width, 0);
  rowsNarrow_ = rowsNarrow_ || job_.lines > 0;
  return true;
}

void StreamDecoder::ApplyOffsetPageStarts() {
  const auto& offs = options_.pageStartOffsets;
  while (nextOffsetStart_ < offs.size() && offs[nextOffsetStart_] <= pos_) {
    StartPage();
    ++nextOffsetStart_;
  }
}

size_t StreamDecoder::Feed(const uint8_t* data, size_t size) {
  if (data == nullptr) return 0;
  size_t i = 0;
  while (i < size) {
    if (failed()) {
      pos_ += size - i;
      job_.bytes = pos_;
      return size;
    }
    if (cmdLen_ == 0) {
      ApplyOffsetPageStarts();
      const uint8_t b = data[i];
      if (b == 0x00) {
        // Wake-up bytes: one event per run.
        if (!job_.events.empty()) {
          Event& last = job_.events.back();
          if (last.command == Command::WakeUp && last.offset + last.length == pos_) {
            ++last.length;
            ++i;
            ++pos_;
            continue;
          }
        }
        Event e;
        e.command = Command::WakeUp;
        e.offset = pos_;
        e.length = 1;
        ++i;
        ++pos_;
        if (!Emit(e)) break;
        continue;
      }
      if (b != kEsc) {
        Fail(pos_, Format("byte %02X outside a command (a command begins with ESC, 1B)", b));
        continue;
      }
      cmdStart_ = pos_;
      cmd_[0] = b;
      cmdLen_ = 1;
      cmdNeed_ = 0;
      ++i;
      ++pos_;
      continue;
    }
    if (cmdNeed_ != 0) {
      const size_t n = std::min(cmdNeed_ - cmdLen_, size - i);
      std::memcpy(cmd_ + cmdLen_, data + i, n);
      cmdLen_ += n;
      i += n;
      pos_ += n;
    } else {
      cmd_[cmdLen_++] = data[i++];
      ++pos_;
      if (cmdLen_ == 2) {
        switch (cmd_[1]) {
          case '@':
          case 'A':
            cmdNeed_ = 2;
            break;
          case 'm':
          case 'k':
          case 'v':
            cmdNeed_ = 3;
            break;
          case 'e':
          case 'Q':
            cmdNeed_ = 4;
            break;
          case 'g':
            break;  // the count byte decides
          default:
            Fail(cmdStart_, Format("unknown command ESC %02X", cmd_[1]));
            continue;
        }
      } else if (cmdLen_ == 3) {
        cmdNeed_ = 3 + size_t{cmd_[2]};  // ESC g n
      }
    }
    if (cmdNeed_ != 0 && cmdLen_ == cmdNeed_) {
      const bool go = ProcessCommand();
      cmdLen_ = 0;
      cmdNeed_ = 0;
      if (!go) break;
    }
  }
  job_.bytes = pos_;
  return i;
}

bool StreamDecoder::ProcessCommand() {
  Event e;
  e.offset = cmdStart_;
  e.length = static_cast<uint32_t>(cmdLen_);
  switch (cmd_[1]) {
    case '@':
    case 'A':
      e.command = cmd_[1] == '@' ? Command::Reset : Command::Init;
      mode_ = 0;
      StartPage();
      return Emit(e);
    case 'm':
      if (cmd_[2] != 0 && cmd_[2] != 3 && cmd_[2] != 5) {
        Fail(cmdStart_ + 2, Format("ESC m %u: unknown mode (modes are 0, 3 and 5)", cmd_[2]));
        return true;
      }
      e.command = Command::Mode;
      e.param = cmd_[2];
      mode_ = cmd_[2];
      return Emit(e);
    case 'k':
      if (cmd_[2] != 0xFF) {
        Fail(cmdStart_ + 2, Format("ESC k %02X: the status request is ESC k FF", cmd_[2]));
        return true;
      }
      e.command = Command::StatusRequest;
      e.param = 0xFF;
      return Emit(e);
    case 'v':
      if (cmd_[2] != 2 && cmd_[2] != 3) {
        Fail(cmdStart_ + 2, Format("ESC v %u: unknown job command (2 and 3 exist)", cmd_[2]));
        return true;
      }
      e.command = Command::JobControl;
      e.param = cmd_[2];
      StartPage();
      return Emit(e);
    case 'e':
      if (cmd_[2] != 1 || cmd_[3] != 0) {
        Fail(cmdStart_ + 2, Format("ESC e %02X %02X: the trailer is ESC e 01 00", cmd_[2], cmd_[3]));
        return true;
      }
      e.command = Command::Trailer;
      StartPage();
      return Emit(e);
    case 'Q':
      if (cmd_[2] != 0x0F) {
        Fail(cmdStart_ + 2, Format("ESC Q %02X: the RTS command is ESC Q 0F n", cmd_[2]));
        return true;
      }
      e.command = Command::Rts;
      e.param = cmd_[3];
      return Emit(e);
    case 'g':
      return ProcessLine();
  }
  return true;  // not reached: unknown letters fail when they are read
}

bool StreamDecoder::ProcessLine() {
  const size_t n = cmd_[2];
  const uint8_t* data = cmd_ + 3;
  const auto& lineStarts = options_.pageStartLines;
  while (nextLineStart_ < lineStarts.size() && lineStarts[nextLineStart_] <= job_.lines) {
    StartPage();
    ++nextLineStart_;
  }
  if (job_.lines >= options_.maxLines) {
    Fail(cmdStart_, Format("more than %zu lines", options_.maxLines));
    return true;
  }
  const uint8_t plane = options_.colour ? static_cast<uint8_t>(planeIndex_) : 0;
  Row& seed = seeds_[plane];
  if (mode_ != 3) {
    // Modes 0 and 5 read lines without data: a blank line, which also clears
    // the plane's seed.
    if (n != 0) {
      Fail(cmdStart_ + 2, Format("ESC g %zu in mode %u: lines in mode %u carry no data", n, mode_, mode_));
      return true;
    }
    std::fill(seed.begin(), seed.end(), 0);
  } else {
    // Delta rows: runs replacing 1..8 bytes of the seed, each after a gap of
    // unchanged bytes; an empty line repeats the seed.
    size_t i = 0;
    size_t at = 0;
    while (i < n) {
      const uint64_t runOffset = cmdStart_ + 3 + i;
      const uint8_t c = data[i++];
      const size_t count = (c >> 5) + 1;
      size_t gap = c & 31;
      if (gap == 31) {
        for (;;) {
          if (i >= n) {
            Fail(runOffset,
                 Format("run command %02X: its offset bytes run past the end of the line's %zu data bytes", c, n));
            return true;
          }
          const uint8_t x = data[i++];
          gap += x;
          if (x != 0xFF) break;
        }
      }
      if (i + count > n) {
        Fail(runOffset, Format("run of %zu bytes: count past the end of the line's %zu data bytes", count, n));
        return true;
      }
      const size_t start = at + gap;
      const size_t end = start + count;
      if (end > width_ && (widthFixed_ || !Grow(end))) {
        Fail(runOffset, Format("run over bytes %zu..%zu: past the line width of %zu bytes", start, end - 1,
                               widthFixed_ ? width_ : kMaxLineBytes));
        return true;
      }
      std::memcpy(seed.data() + start, data + i, count);
      i += count;
      at = end;
    }
  }
  if (pageBreakPending_) {
    pageBreakPending_ = false;
    const size_t rows = job_.rows();
    if (rows > job_.pageStartRows.back()) {
      job_.pageStartRows.push_back(rows);
      Event p;
      p.command = Command::PageStart;
      p.offset = cmdStart_;
      Emit(p);
      if (failed()) return true;
    }
  }
  auto& rows = job_.planes[plane];
  rows.push_back(seed);
  Event e;
  e.command = Command::Line;
  e.offset = cmdStart_;
  e.length = static_cast<uint32_t>(3 + n);
  e.param = static_cast<uint8_t>(n);
  e.mode = mode_;
  e.plane = plane;
  e.row = static_cast<uint32_t>(rows.size() - 1);
  ++job_.lines;
  if (options_.colour) planeIndex_ = (planeIndex_ + 1) % 4;
  return Emit(e);
}

DecodedJob StreamDecoder::Snapshot(bool finish) const {
  DecodedJob j = job_;
  j.bytes = pos_;
  j.pendingBytes = j.error ? 0 : cmdLen_;
  if (rowsNarrow_) PadRows(j);
  if (finish) {
    if (!j.error && cmdLen_ > 0) j.error = TruncatedError();
    j.pendingBytes = 0;
    size_t pi = planeIndex_;
    if (pi != 0) CompleteRow(j, pi);
  }
  return j;
}

DecodeError StreamDecoder::TruncatedError() const {
  const std::string what = cmdLen_ >= 2 ? Format("ESC %c", static_cast<char>(cmd_[1])) : std::string("ESC");
  if (cmdNeed_ != 0) {
    return DecodeError{cmdStart_, Format("truncated command %s: the stream ends after %zu of its %zu bytes",
                                         what.c_str(), cmdLen_, cmdNeed_)};
  }
  return DecodeError{cmdStart_, Format("truncated command %s: the stream ends after %zu bytes", what.c_str(), cmdLen_)};
}

void StreamDecoder::Finish() {
  if (!failed() && cmdLen_ > 0) job_.error = TruncatedError();
  cmdLen_ = 0;
  cmdNeed_ = 0;
  if (planeIndex_ != 0) CompleteRow(job_, planeIndex_);
}

DecodedJob StreamDecoder::Take() {
  Finish();
  job_.bytes = pos_;
  job_.pendingBytes = 0;
  if (rowsNarrow_) PadRows(job_);
  rowsNarrow_ = false;
  DecodedJob out = std::move(job_);
  // What is left takes no more bytes.
  job_ = DecodedJob{};
  job_.error = DecodeError{pos_, "the decoder's result was already taken"};
  return out;
}

DecodedJob Decode(std::span<const uint8_t> bytes, const DecoderOptions& options) {
  StreamDecoder d(options);
  d.Feed(bytes);
  return d.Take();
}

}  // namespace vprinter
