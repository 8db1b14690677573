#include "printer/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace vprinter {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Line(const Bytes& data) {
  Bytes out = {0x1B, 0x67, static_cast<uint8_t>(data.size())};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

const Bytes kMode0 = {0x1B, 0x6D, 0x00};
const Bytes kMode3 = {0x1B, 0x6D, 0x03};
const Bytes kBlank = {0x1B, 0x67, 0x00};
const Bytes kJobInit = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};

Row RowWith(size_t width, std::initializer_list<std::pair<size_t, uint8_t>> bytes) {
  Row r(width, 0);
  for (auto [at, v] : bytes) r[at] = v;
  return r;
}

DecoderOptions Mono(size_t bytesPerLine) {
  DecoderOptions o;
  o.bytesPerLine = bytesPerLine;
  return o;
}

// Every command of the language, alone in a stream.
TEST(Decoder, EachCommandIsRead) {
  struct Case {
    Bytes bytes;
    Command command;
    uint8_t param;
  };
  const Case cases[] = {
      {{0x1B, 0x40}, Command::Reset, 0},
      {{0x1B, 0x41}, Command::Init, 0},
      {{0x1B, 0x6D, 0x00}, Command::Mode, 0},
      {{0x1B, 0x6D, 0x03}, Command::Mode, 3},
      {{0x1B, 0x6D, 0x05}, Command::Mode, 5},
      {{0x1B, 0x6B, 0xFF}, Command::StatusRequest, 0xFF},
      {{0x1B, 0x76, 0x02}, Command::JobControl, 2},
      {{0x1B, 0x76, 0x03}, Command::JobControl, 3},
      {{0x1B, 0x65, 0x01, 0x00}, Command::Trailer, 0},
      {{0x1B, 0x67, 0x00}, Command::Line, 0},
      {{0x1B, 0x51, 0x0F, 0x0D}, Command::Rts, 0x0D},
      {{0x1B, 0x51, 0x0F, 0x01}, Command::Rts, 0x01},
      {{0x00}, Command::WakeUp, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Describe(Event{c.command}));
    DecodedJob job = Decode(c.bytes, Mono(4));
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    ASSERT_EQ(job.events.size(), 1u) << job.Listing();
    EXPECT_EQ(job.events[0].command, c.command);
    EXPECT_EQ(job.events[0].param, c.param);
    EXPECT_EQ(job.events[0].offset, 0u);
    EXPECT_EQ(job.events[0].length, c.bytes.size());
    EXPECT_EQ(job.bytes, c.bytes.size());
  }
}

TEST(Decoder, JobInitialisationAndWakeUpBytes) {
  Bytes stream = Cat({{0x00, 0x00, 0x00}, {0x1B, 0x51, 0x0F, 0x0D}, kJobInit, kBlank, {0x1B, 0x76, 0x03}});
  DecodedJob job = Decode(stream, Mono(8));
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.Listing(),
            "00 x3 at 0\n"
            "ESC Q 0F 0D at 3\n"
            "ESC A at 7\n"
            "ESC m 0 at 9\n"
            "ESC m 5 at 12\n"
            "ESC k FF at 15\n"
            "ESC v 2 at 18\n"
            "ESC g 0 (mode 5, plane K, row 0) at 21\n"
            "ESC v 3 at 24\n");
  // A line without data in mode 5 (the mode the initialisation leaves) is blank.
  ASSERT_EQ(job.rows(), 1u);
  EXPECT_EQ(job.planes[0][0], Row(8, 0));
}

// One mode-3 line against an all-zero seed: data bytes -> the row printed.
TEST(Decoder, DeltaRowRuns) {
  struct Case {
    const char* name;
    Bytes data;
    Row expected;
  };
  constexpr size_t W = 600;
  const Case cases[] = {
      {"one byte at 5", {0x05, 0xFF}, RowWith(W, {{5, 0xFF}})},
      {"offset 30 fits the command byte", {0x1E, 0x11}, RowWith(W, {{30, 0x11}})},
      {"offset 31 takes an extension 00", {0x1F, 0x00, 0x22}, RowWith(W, {{31, 0x22}})},
      {"offset 40", {0x1F, 0x09, 0x33}, RowWith(W, {{40, 0x33}})},
      {"offset 285", {0x1F, 0xFE, 0x44}, RowWith(W, {{285, 0x44}})},
      {"offset 286", {0x1F, 0xFF, 0x00, 0x55}, RowWith(W, {{286, 0x55}})},
      {"offset 541", {0x1F, 0xFF, 0xFF, 0x00, 0x56}, RowWith(W, {{541, 0x56}})},
      {"run of 8 then 1",
       {0xE0, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 9},
       RowWith(W, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}, {8, 9}})},
      {"two bytes one apart", {0x03, 0xB3, 0x01, 0xB5}, RowWith(W, {{3, 0xB3}, {5, 0xB5}})},
      {"offsets count from the end of the previous run",
       {0x20, 0xA0, 0xA1, 0x1F, 0x09, 0xA2},
       RowWith(W, {{0, 0xA0}, {1, 0xA1}, {42, 0xA2}})},
      {"run of 3 at an extended offset", {0x5F, 0xFF, 0x0E, 7, 8, 9}, RowWith(W, {{300, 7}, {301, 8}, {302, 9}})},
      {"a run ending at the last byte", {0x3F, 0xFF, 0xFF, 0x39, 0xC0, 0xC1}, RowWith(W, {{598, 0xC0}, {599, 0xC1}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedJob job = Decode(Cat({kMode3, Line(c.data)}), Mono(W));
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    ASSERT_EQ(job.rows(), 1u);
    EXPECT_EQ(job.planes[0][0], c.expected);
  }
}

TEST(Decoder, SeedRepeatReplaceAndClear) {
  constexpr size_t W = 6;
  Bytes stream = Cat({kMode3, Line({0x21, 0xAA, 0xBB}),  // bytes 1, 2
                      kBlank,                            // mode 3, no data: the seed again
                      Line({0x02, 0xCC}),                // byte 2 replaced, byte 1 kept
                      kMode0, kBlank,                    // blank: seed cleared
                      kMode3, Line({0x04, 0xDD})});      // against zeros now
  DecodedJob job = Decode(stream, Mono(W));
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  const std::vector<Row> expected = {
      {0, 0xAA, 0xBB, 0, 0, 0}, {0, 0xAA, 0xBB, 0, 0, 0}, {0, 0xAA, 0xCC, 0, 0, 0},
      {0, 0, 0, 0, 0, 0},       {0, 0, 0, 0, 0xDD, 0},
  };
  EXPECT_EQ(job.planes[0], expected);
  EXPECT_EQ(job.lines, 5u);
  EXPECT_EQ(job.Count(Command::Line), 5u);
  EXPECT_EQ(job.Count(Command::Mode, 3), 2u);
}

TEST(Decoder, ColourRowsKeepOneSeedPerPlane) {
  constexpr size_t W = 4;
  DecoderOptions o = Mono(W);
  o.colour = true;
  Bytes stream = Cat({kMode3,
                      // row 0: each plane its own byte
                      Line({0x00, 0x10}), Line({0x01, 0x20}), Line({0x02, 0x30}), Line({0x03, 0x40}),
                      // row 1: every plane repeats its own seed, except C which changes byte 0
                      kBlank, Line({0x00, 0x21}), kBlank, kBlank,
                      // row 2: K blank (clears only K), the others repeat
                      kMode0, kBlank, kMode3, kBlank, kBlank, kBlank,
                      // row 3: K against a zero seed, Y against its own
                      Line({0x03, 0x11}), kBlank, kBlank, Line({0x00, 0x44})});
  DecodedJob job = Decode(stream, o);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  ASSERT_EQ(job.planes.size(), 4u);
  ASSERT_EQ(job.rows(), 4u);
  const std::vector<Row> k = {{0x10, 0, 0, 0}, {0x10, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0x11}};
  const std::vector<Row> c = {{0, 0x20, 0, 0}, {0x21, 0x20, 0, 0}, {0x21, 0x20, 0, 0}, {0x21, 0x20, 0, 0}};
  const std::vector<Row> m = {{0, 0, 0x30, 0}, {0, 0, 0x30, 0}, {0, 0, 0x30, 0}, {0, 0, 0x30, 0}};
  const std::vector<Row> y = {{0, 0, 0, 0x40}, {0, 0, 0, 0x40}, {0, 0, 0, 0x40}, {0x44, 0, 0, 0x40}};
  EXPECT_EQ(job.planes[kPlaneK], k);
  EXPECT_EQ(job.planes[kPlaneC], c);
  EXPECT_EQ(job.planes[kPlaneM], m);
  EXPECT_EQ(job.planes[kPlaneY], y);
  EXPECT_EQ(job.incompleteRows, 0u);
}

TEST(Decoder, ColourRowCutShortIsCompletedWithBlankPlanes) {
  DecoderOptions o = Mono(2);
  o.colour = true;
  DecodedJob job = Decode(Cat({kMode3, Line({0x00, 0xFF}), Line({0x01, 0xEE})}), o);
  ASSERT_TRUE(job.ok());
  ASSERT_EQ(job.rows(), 1u);
  EXPECT_EQ(job.planes[kPlaneC][0], (Row{0, 0xEE}));
  EXPECT_EQ(job.planes[kPlaneM][0], (Row{0, 0}));
  EXPECT_EQ(job.planes[kPlaneY][0], (Row{0, 0}));
  EXPECT_EQ(job.incompleteRows, 1u);
}

// The driver clears its seeds at each page start without a command; told where
// pages begin, the decoder does the same.
TEST(Decoder, PageStartsClearSeeds) {
  constexpr size_t W = 3;
  const Bytes page1 = Cat({kMode3, Line({0x20, 0xAA, 0xBB})});
  // Page 2: its first line is blank (sent without a mode command, mode still
  // 3), then a data line encoded against a zero seed.
  const Bytes page2 = Cat({kBlank, kMode3, Line({0x02, 0xCC})});
  const Bytes stream = Cat({page1, page2});
  const std::vector<Row> expected = {{0xAA, 0xBB, 0}, {0, 0, 0}, {0, 0, 0xCC}};

  DecoderOptions byOffset = Mono(W);
  byOffset.pageStartOffsets = {page1.size()};
  DecoderOptions byLine = Mono(W);
  byLine.pageStartLines = {1};
  for (const DecoderOptions& o : {byOffset, byLine}) {
    DecodedJob job = Decode(stream, o);
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    EXPECT_EQ(job.planes[0], expected);
    EXPECT_EQ(job.pageStartRows, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(job.Count(Command::PageStart), 1u);
  }

  // The same through an incremental decoder, told between the pages.
  StreamDecoder d(Mono(W));
  d.Feed(page1);
  d.StartPage();
  d.Feed(page2);
  DecodedJob job = d.Take();
  EXPECT_EQ(job.planes[0], expected);

  // Untold, the first line of page 2 repeats the last row of page 1: the
  // stream itself carries no page boundary.
  job = Decode(stream, Mono(W));
  EXPECT_EQ(job.planes[0][1], (Row{0xAA, 0xBB, 0}));
  EXPECT_EQ(job.pageStartRows, (std::vector<size_t>{0}));
}

TEST(Decoder, JobCommandsClearSeedsAndStartPages) {
  constexpr size_t W = 2;
  const Bytes doc = Cat({kJobInit, kMode3, Line({0x00, 0x0F}), {0x1B, 0x65, 0x01, 0x00}, {0x1B, 0x76, 0x03}});
  // Two documents: the second one's first data line is against a zero seed.
  const Bytes stream = Cat({doc, kJobInit, kMode3, Line({0x01, 0xF0}), {0x1B, 0x76, 0x03}});
  DecodedJob job = Decode(stream, Mono(W));
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.planes[0], (std::vector<Row>{{0x0F, 0}, {0, 0xF0}}));
  // The trailing job end opens no empty page.
  EXPECT_EQ(job.pageStartRows, (std::vector<size_t>{0, 1}));
}

TEST(Decoder, WidthGrowsWhenNotGiven) {
  DecodedJob job = Decode(Cat({kMode3, Line({0x00, 0x01}), Line({0x1F, 0x05, 0x02})}), DecoderOptions{});
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.bytesPerLine, 37u);
  ASSERT_EQ(job.rows(), 2u);
  EXPECT_EQ(job.planes[0][0], RowWith(37, {{0, 0x01}}));
  EXPECT_EQ(job.planes[0][1], RowWith(37, {{0, 0x01}, {36, 0x02}}));
}

TEST(Decoder, MalformedStreamsAreRefused) {
  struct Case {
    const char* name;
    Bytes bytes;
    size_t bytesPerLine;
    uint64_t offset;
    const char* message;
  };
  const Case cases[] = {
      {"lone ESC", {0x1B}, 4, 0, "truncated command ESC: the stream ends after 1 bytes"},
      {"ESC m without its mode", {0x1B, 0x6D}, 4, 0, "truncated command ESC m: the stream ends after 2 of its 3 bytes"},
      {"ESC g without its count", Cat({kJobInit, {0x1B, 0x67}}), 4, 14, "truncated command ESC g"},
      {"ESC g cut inside its data", Cat({kMode3, {0x1B, 0x67, 0x05, 0x01, 0x02}}), 4, 3,
       "truncated command ESC g: the stream ends after 5 of its 8 bytes"},
      {"ESC e cut", {0x1B, 0x65, 0x01}, 4, 0, "truncated command ESC e"},
      {"unknown command", Cat({kMode0, {0x1B, 0x5A, 0x00}}), 4, 3, "unknown command ESC 5A"},
      {"byte outside a command", Cat({kBlank, {0x41}}), 4, 3, "byte 41 outside a command"},
      {"unknown mode", {0x1B, 0x6D, 0x04}, 4, 2, "ESC m 4: unknown mode"},
      {"status request with another byte", {0x1B, 0x6B, 0x00}, 4, 2, "ESC k 00"},
      {"unknown job command", {0x1B, 0x76, 0x01}, 4, 2, "ESC v 1"},
      {"wrong trailer", {0x1B, 0x65, 0x01, 0x01}, 4, 2, "ESC e 01 01"},
      {"wrong RTS command", {0x1B, 0x51, 0x0E, 0x0D}, 4, 2, "ESC Q 0E"},
      {"data in mode 0", Line({0x00, 0xFF}), 4, 2, "ESC g 2 in mode 0: lines in mode 0 carry no data"},
      {"data in mode 5", Cat({{0x1B, 0x6D, 0x05}, Line({0x00, 0xFF})}), 4, 5, "in mode 5"},
      {"run count past the end", Cat({kMode3, Line({0x20, 0xFF})}), 4, 6, "run of 2 bytes: count past the end"},
      {"second run past the end", Cat({kMode3, Line({0x00, 0x01, 0x40})}), 4, 8, "run of 3 bytes: count past the end"},
      {"offset extension missing", Cat({kMode3, Line({0x1F})}), 64, 6, "offset bytes run past the end"},
      {"offset extension FF then nothing", Cat({kMode3, Line({0x1F, 0xFF})}), 600, 6, "offset bytes run past"},
      {"run starting past the width", Cat({kMode3, Line({0x04, 0xFF})}), 4, 6,
       "run over bytes 4..4: past the line width of 4"},
      {"run crossing the width", Cat({kMode3, Line({0x00, 0x01, 0x22, 0xA, 0xB})}), 4, 8, "run over bytes 3..4"},
      {"grown width above the limit", Cat({kMode3, Line(Cat({{0x1F}, Bytes(33, 0xFF), {0x00, 0x01}}))}), 0, 6,
       "past the line width of 8192"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedJob job = Decode(c.bytes, Mono(c.bytesPerLine));
    ASSERT_FALSE(job.ok()) << job.Listing();
    EXPECT_EQ(job.error->offset, c.offset) << job.error->ToString();
    EXPECT_NE(job.error->message.find(c.message), std::string::npos) << job.error->ToString();
  }
}

TEST(Decoder, RowsBeforeAnErrorAreKeptAndTheRestIgnored) {
  Bytes stream = Cat({kMode3, Line({0x00, 0x81}), {0x1B, 0x99}, Line({0x00, 0x42})});
  StreamDecoder d(Mono(2));
  EXPECT_EQ(d.Feed(stream), stream.size());
  EXPECT_EQ(d.Feed(kBlank), kBlank.size());
  DecodedJob job = d.Take();
  ASSERT_FALSE(job.ok());
  EXPECT_EQ(job.error->ToString(), "offset 8: unknown command ESC 99");
  EXPECT_EQ(job.planes[0], (std::vector<Row>{{0x81, 0}}));
  EXPECT_EQ(job.bytes, stream.size() + 3);
}

TEST(Decoder, MemoryBoundsRefuseHugeStreams) {
  DecoderOptions o = Mono(1);
  o.maxLines = 3;
  Bytes stream = Cat({kBlank, kBlank, kBlank, kBlank});
  DecodedJob job = Decode(stream, o);
  ASSERT_FALSE(job.ok());
  EXPECT_EQ(job.error->ToString(), "offset 9: more than 3 lines");
  EXPECT_EQ(job.rows(), 3u);

  o = Mono(kMaxLineBytes + 1);
  job = Decode(kBlank, o);
  ASSERT_FALSE(job.ok());
  EXPECT_NE(job.error->message.find("above the limit"), std::string::npos);
}

TEST(Decoder, ObserverCanStopTheFeedAfterACommand) {
  Bytes stream = Cat({kJobInit, kBlank, kBlank});
  StreamDecoder d(Mono(1));
  d.SetObserver([](const Event& e) { return !(e.command == Command::JobControl && e.param == 2); });
  EXPECT_EQ(d.Feed(stream), kJobInit.size());
  EXPECT_EQ(d.Feed(stream.data() + kJobInit.size(), 6), 6u);
  EXPECT_EQ(d.Snapshot().rows(), 2u);
}

TEST(Decoder, SnapshotShowsAnUnfinishedCommandWithoutFailing) {
  StreamDecoder d(Mono(2));
  const Bytes part = {0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02};
  d.Feed(part);
  DecodedJob live = d.Snapshot();
  EXPECT_TRUE(live.ok());
  EXPECT_EQ(live.pendingBytes, 3u);
  DecodedJob finished = d.Snapshot(/*finish=*/true);
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error->offset, 3u);
  d.Feed(Bytes{0x00, 0x99});
  DecodedJob job = d.Take();
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.planes[0], (std::vector<Row>{{0x99, 0}}));
}

// A plain encoder of the test's own: each changed byte becomes a run of its
// own, or up to 8 neighbours are grouped, as the random choice says.
Bytes EncodeDelta(const Row& row, const Row& seed, std::mt19937& rng) {
  Bytes out;
  size_t last = 0;
  size_t j = 0;
  while (j < row.size()) {
    if (row[j] == seed[j]) {
      ++j;
      continue;
    }
    size_t count = 1;
    const size_t want = 1 + rng() % 8;
    while (count < want && j + count < row.size() && row[j + count] != seed[j + count]) ++count;
    size_t gap = j - last;
    out.push_back(static_cast<uint8_t>(((count - 1) << 5) | std::min<size_t>(gap, 31)));
    if (gap >= 31) {
      gap -= 31;
      while (gap >= 255) {
        out.push_back(0xFF);
        gap -= 255;
      }
      out.push_back(static_cast<uint8_t>(gap));
    }
    out.insert(out.end(), row.begin() + j, row.begin() + j + count);
    j += count;
    last = j;
  }
  return out;
}

// Random pages through both planes' seeds, fed in random pieces: the decoded
// rows are the rows encoded.
TEST(Decoder, RandomRowsRoundTripInAnyPieces) {
  std::mt19937 rng(12345);
  for (bool colour : {false, true}) {
    constexpr size_t W = 100;
    const size_t planes = colour ? 4 : 1;
    std::vector<Row> seeds(planes, Row(W, 0));
    std::vector<std::vector<Row>> expected(planes);
    Bytes stream = kJobInit;
    uint8_t mode = 5;
    for (int r = 0; r < 200; ++r) {
      for (size_t p = 0; p < planes; ++p) {
        Row row = seeds[p];
        switch (rng() % 4) {
          case 0:
            row.assign(W, 0);
            break;
          case 1:
            break;  // repeat
          default:
            for (int k = rng() % 40; k > 0; --k) row[rng() % W] = static_cast<uint8_t>(rng());
        }
        const bool blank = std::all_of(row.begin(), row.end(), [](uint8_t b) { return b == 0; });
        if (blank && rng() % 2) {
          if (mode != 0) stream.insert(stream.end(), kMode0.begin(), kMode0.end());
          mode = 0;
          stream.insert(stream.end(), kBlank.begin(), kBlank.end());
        } else {
          Bytes data = EncodeDelta(row, seeds[p], rng);
          if (data.size() > 255) {
            // Too long for one line: send it as a blank line then fresh data.
            row.assign(W, 0);
            data.clear();
          }
          if (mode != 3) stream.insert(stream.end(), kMode3.begin(), kMode3.end());
          mode = 3;
          Bytes line = Line(data);
          stream.insert(stream.end(), line.begin(), line.end());
        }
        seeds[p] = row;
        expected[p].push_back(row);
      }
    }
    DecoderOptions o = Mono(W);
    o.colour = colour;
    StreamDecoder d(o);
    size_t at = 0;
    while (at < stream.size()) {
      size_t n = std::min<size_t>(1 + rng() % 50, stream.size() - at);
      ASSERT_EQ(d.Feed(stream.data() + at, n), n);
      at += n;
    }
    DecodedJob job = d.Take();
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    EXPECT_EQ(job.planes, expected);
    EXPECT_EQ(job.incompleteRows, 0u);
  }
}

// Random and mutated streams: the decoder ends with a result or a clear error,
// never reads outside the stream (the sanitizer builds check that) and stays
// within its bounds.
TEST(Decoder, ArbitraryBytesNeverBreakIt) {
  std::mt19937 rng(777);
  const Bytes valid = Cat({kJobInit,
                           kMode3,
                           Line({0xE0, 1, 2, 3, 4, 5, 6, 7, 8, 0x1F, 0xFF, 0x00, 9}),
                           kMode0,
                           kBlank,
                           {0x1B, 0x65, 0x01, 0x00, 0x1B, 0x76, 0x03}});
  for (int iter = 0; iter < 3000; ++iter) {
    Bytes s;
    if (iter % 2) {
      s.resize(rng() % 600);
      for (auto& b : s) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0x1B : rng());
    } else {
      s = valid;
      for (int k = 1 + rng() % 4; k > 0; --k) s[rng() % s.size()] = static_cast<uint8_t>(rng());
      if (rng() % 3 == 0) s.resize(rng() % s.size());
    }
    DecoderOptions o;
    o.bytesPerLine = rng() % 3 == 0 ? 0 : 1 + rng() % 300;
    o.colour = rng() % 2;
    o.maxLines = 50;
    DecodedJob job = Decode(s, o);
    // Fed in two pieces, the same result.
    StreamDecoder split(o);
    const size_t cut = s.empty() ? 0 : rng() % s.size();
    split.Feed(s.data(), cut);
    split.Feed(s.data() + cut, s.size() - cut);
    DecodedJob job2 = split.Take();
    ASSERT_EQ(job2.planes, job.planes);
    ASSERT_EQ(job2.events.size(), job.events.size());
    ASSERT_EQ(job2.error.has_value(), job.error.has_value());
    if (job.error) {
      ASSERT_EQ(job2.error->ToString(), job.error->ToString());
    }
    EXPECT_EQ(job.bytes, s.size());
    EXPECT_LE(job.lines, 50u);
    EXPECT_LE(job.bytesPerLine, kMaxLineBytes);
    for (const auto& plane : job.planes) {
      for (const auto& row : plane) ASSERT_EQ(row.size(), job.bytesPerLine);
    }
    if (job.error) {
      EXPECT_LE(job.error->offset, s.size());
    }
  }
}

}  // namespace
}  // namespace vprinter
