// The programs as a user runs them: command lines in, exit status, messages
// and files out. The virtual printer's decoder checks what was printed.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "printer/decoder.h"
#include "tests/support/program_run.h"

namespace {

using kest_test::Execute;
using kest_test::Outcome;
using kest_test::TempDir;

Outcome Kestprint(const std::string& args) { return Execute(std::string(KESTPRINT_PATH) + " " + args); }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A black-and-white test page as a PBM: a frame, diagonal strokes and a block,
// so that every row has dots and rows differ.
std::string WritePbm(const std::string& name, int w, int h) {
  std::string path = TempDir() + "/" + name;
  std::ofstream out(path, std::ios::binary);
  out << "P4\n" << w << " " << h << "\n";
  const int rowBytes = (w + 7) / 8;
  for (int y = 0; y < h; ++y) {
    std::vector<uint8_t> row(rowBytes, 0);
    auto set = [&](int x) {
      if (x >= 0 && x < w) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    };
    set(0);
    set(w - 1);
    set((y * 7) % w);
    if (y < 3 || y >= h - 3) {
      for (int x = 0; x < w; ++x) set(x);
    }
    if (y > h / 3 && y < h / 2) {
      for (int x = w / 4; x < w / 2; ++x) set(x);
    }
    out.write(reinterpret_cast<const char*>(row.data()), rowBytes);
  }
  return path;
}

void PngSize(const std::string& path, uint32_t* w, uint32_t* h) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&img, path.c_str())) << path;
  *w = img.width;
  *h = img.height;
  png_image_free(&img);
}

TEST(Kestprint, SamplePageDecodesToTheImageRows) {
  const int w = 960;  // code 13, 300 dpi: 960 x 1356 dots
  const int h = 1356;
  std::string image = WritePbm("page.pbm", w, h);
  std::string capture = TempDir() + "/page.prn";
  std::string preview = TempDir() + "/page.png";
  Outcome r = Kestprint(image + " --capture " + capture + " --preview " + preview);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("page 1 of 1"), std::string::npos) << r.output;

  std::vector<uint8_t> bytes = ReadFile(capture);
  vprinter::DecoderOptions opts;
  opts.bytesPerLine = w / 8;
  vprinter::DecodedJob job = vprinter::Decode(bytes, opts);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  ASSERT_EQ(job.rows(), static_cast<size_t>(h));
  // Re-read the PBM rows and compare dot for dot.
  std::vector<uint8_t> pbm = ReadFile(image);
  const size_t header = pbm.size() - static_cast<size_t>(w / 8) * h;
  for (int y = 0; y < h; ++y) {
    std::vector<uint8_t> expect(pbm.begin() + header + y * (w / 8), pbm.begin() + header + (y + 1) * (w / 8));
    ASSERT_EQ(job.planes[0][y], expect) << "row " << y;
  }
  EXPECT_EQ(job.Count(vprinter::Command::JobControl, 3), 1u);
  uint32_t pw = 0;
  uint32_t ph = 0;
  PngSize(preview, &pw, &ph);
  EXPECT_EQ(pw, static_cast<uint32_t>(w));
  EXPECT_EQ(ph, static_cast<uint32_t>(h));
}

TEST(Kestprint, EveryPaperInBothBuilds) {
  struct Case {
    const char* dpi;
    const char* paper;
    uint32_t dots;
    uint32_t rows;
  };
  const Case cases[] = {
      {"300", "1", 576, 816},     {"300", "5", 864, 1224},    {"300", "9", 1248, 1764}, {"300", "13", 960, 1356},
      {"300", "60x40", 720, 480}, {"203", "1", 384, 544},     {"203", "5", 640, 904},   {"203", "9", 640, 904},
      {"203", "13", 384, 544},    {"203", "60x40", 480, 320},
  };
  // Larger than every page, placed 1:1 and cut at the page's edges; its left
  // column is black, so every row of the page prints.
  std::string big = WritePbm("big.pbm", 1300, 1800);
  for (const Case& c : cases) {
    std::string preview = TempDir() + "/paper.png";
    std::remove(preview.c_str());
    Outcome r =
        Kestprint(std::string("--quiet --dpi ") + c.dpi + " --paper " + c.paper + " " + big + " --preview " + preview);
    ASSERT_EQ(r.status, 0) << c.dpi << " " << c.paper << ": " << r.output;
    EXPECT_TRUE(r.output.empty()) << r.output;  // --quiet
    uint32_t w = 0;
    uint32_t h = 0;
    PngSize(preview, &w, &h);
    EXPECT_EQ(w, c.dots) << c.dpi << " " << c.paper;
    EXPECT_EQ(h, c.rows) << c.dpi << " " << c.paper;
  }
}

TEST(Kestprint, LandscapeAndColour) {
  std::string image = WritePbm("small.pbm", 200, 100);
  std::string capture = TempDir() + "/land.prn";
  // Landscape code 9 at 300 dpi: 1764 printer lines of 1248 dots.
  Outcome r = Kestprint("--quiet --landscape --paper 9 --fit " + image + " --capture " + capture);
  ASSERT_EQ(r.status, 0) << r.output;
  vprinter::DecoderOptions opts;
  opts.bytesPerLine = 1248 / 8;
  vprinter::DecodedJob job = vprinter::Decode(ReadFile(capture), opts);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_GT(job.rows(), 0u);
  EXPECT_LE(job.rows(), 1764u);

  std::string colourCapture = TempDir() + "/colour.prn";
  r = Kestprint("--quiet --colour --paper 1 " + image + " --capture " + colourCapture);
  ASSERT_EQ(r.status, 0) << r.output;
  opts.bytesPerLine = 576 / 8;
  opts.colour = true;
  job = vprinter::Decode(ReadFile(colourCapture), opts);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.planes.size(), 4u);
  EXPECT_EQ(job.incompleteRows, 0u);
}

TEST(Kestprint, PrinterStatesGiveTheirExitStatusAndWords) {
  std::string image = WritePbm("state.pbm", 64, 64);
  struct Case {
    const char* state;
    int status;
    const char* words;
  };
  const Case cases[] = {
      {"ready", 0, nullptr},
      {"not-ready", 2, "not ready"},
      {"paper-out", 2, "out of paper"},
      {"error", 2, "printer error"},
  };
  for (const Case& c : cases) {
    Outcome r = Kestprint(std::string("--quiet --printer-state ") + c.state + " " + image);
    EXPECT_EQ(r.status, c.status) << c.state << ": " << r.output;
    if (c.words != nullptr) {
      EXPECT_NE(r.output.find(c.words), std::string::npos) << c.state << ": " << r.output;
    }
  }
}

TEST(Kestprint, BadInputIsRefusedBeforeAnythingIsSent) {
  std::string bad = TempDir() + "/bad.png";
  {
    std::ofstream out(bad, std::ios::binary);
    out << "\x89PNG\r\n\x1a\n not really";
  }
  std::string capture = TempDir() + "/never.prn";
  std::remove(capture.c_str());
  struct Case {
    std::string args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {TempDir() + "/missing.png --capture " + capture, 1, "missing.png"},
      {bad + " --capture " + capture, 1, "bad.png"},
      {"--no-such-option x.png", 1, "unknown option"},
      {"", 1, "no image"},
      {"--paper 7 x.png", 1, "--paper"},
      {"--port LPT9: " + WritePbm("p.pbm", 8, 8), 3, "LPT9:"},
  };
  for (const Case& c : cases) {
    Outcome r = Kestprint(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << ": " << r.output;
  }
  EXPECT_FALSE(std::ifstream(capture).good());
}

TEST(Kestprint, PrintsThroughARealPseudoTerminalToKestsim) {
  std::string image = WritePbm("serial.pbm", 384, 120);
  std::string simCapture = TempDir() + "/sim.prn";
  std::string cmd = std::string(KESTSIM_PATH) + " --pty --once --capture " + simCapture;
  FILE* sim = popen(cmd.c_str(), "r");
  ASSERT_NE(sim, nullptr);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, sim), nullptr);
  std::string pty(line);
  while (!pty.empty() && (pty.back() == '\n' || pty.back() == '\r')) pty.pop_back();
  ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << pty;
  Outcome r = Kestprint("--quiet --paper 1 --dpi 203 --device COM1:=tty:" + pty + " --port COM1:9600 " + image);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(WEXITSTATUS(pclose(sim)), 0);
  vprinter::DecoderOptions opts;
  opts.bytesPerLine = 384 / 8;
  vprinter::DecodedJob job = vprinter::Decode(ReadFile(simCapture), opts);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_GE(job.rows(), 120u);
  EXPECT_EQ(job.Count(vprinter::Command::JobControl, 3), 1u);
}

}  // namespace

namespace {

TEST(Kestctl, CommandsAgainstTheVirtualPrinter) {
  std::string payload = TempDir() + "/raw.bin";
  {
    std::ofstream out(payload, std::ios::binary);
    out << "\x1b@";
  }
  struct Case {
    std::string args;
    int status;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"status", 0, "80  ready"},
      {"status --via-rts --timeout 500", 0, "ready"},
      {"reset", 0, ""},
      {"reset --via-rts", 0, ""},
      {"send " + payload, 0, "sent 2 bytes to LPT1:"},
      {"watch --seconds 1", 0, ""},
      {"stop", 2, "not open"},  // nothing of this process is open or watched
      {"--port COM7: status", 3, "COM7:"},
      {"frobnicate", 1, "unknown command"},
      {"send", 1, "needs a FILE"},
  };
  for (const Case& c : cases) {
    Outcome r = Execute(std::string(KESTCTL_PATH) + " " + c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.output;
    EXPECT_NE(r.output.find(c.output), std::string::npos) << c.args << ": " << r.output;
  }
}

}  // namespace
