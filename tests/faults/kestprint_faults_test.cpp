// kestprint against a failing virtual printer, as a user runs it: the
// --printer-fault option, the exit status, the message, and what the printer
// received (the capture, decoded).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "printer/decoder.h"
#include "tests/support/program_run.h"

namespace {

using kest_test::Outcome;
using kest_test::TempDir;

Outcome Kestprint(const std::string& args) { return kest_test::Execute(std::string(KESTPRINT_PATH) + " " + args); }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Paper code 1 at 300 dpi: 576 x 816 dots.
constexpr int kDots = 576;
constexpr int kRows = 816;

// A page whose rows all carry dots and all differ, as a PBM; its rows as the
// printer must print them.
std::vector<std::vector<uint8_t>> WritePage(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << "P4\n" << kDots << " " << kRows << "\n";
  std::vector<std::vector<uint8_t>> rows;
  uint32_t s = 99;
  for (int y = 0; y < kRows; ++y) {
    std::vector<uint8_t> row(kDots / 8);
    for (uint8_t& b : row) {
      s = s * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(s >> 24);
    }
    row[0] |= 0x80;
    out.write(reinterpret_cast<const char*>(row.data()), static_cast<std::streamsize>(row.size()));
    rows.push_back(row);
  }
  return rows;
}

// A write timeout of 100 ms instead of 500: a stalled flush gives up sooner.
std::string ShortTimeouts() {
  const std::string path = TempDir() + "/short.reg";
  std::ofstream out(path);
  out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\NVP]\n\"PrintTimeout\"=dword:00000064\n";
  return path;
}

struct FaultCase {
  const char* name;
  const char* faults;
  int status;
  const char* words;  // in the output; nullptr: none expected
  // Rows of the page that reached the printer: all, none, or a first part.
  enum class Rows { All, None, Some } rows;
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class KestprintFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(KestprintFaults, ExitStatusMessageAndCapture) {
  const FaultCase& c = GetParam();
  const std::string image = TempDir() + "/" + c.name + ".pbm";
  const std::string capture = TempDir() + "/" + c.name + ".prn";
  const auto rows = WritePage(image);
  const Outcome r = Kestprint(std::string("--quiet --paper 1 --registry ") + ShortTimeouts() + " " + c.faults +
                              " --capture " + capture + " " + image);
  EXPECT_EQ(r.status, c.status) << r.output;
  if (c.words != nullptr) {
    EXPECT_NE(r.output.find(c.words), std::string::npos) << r.output;
  } else {
    EXPECT_TRUE(r.output.empty()) << r.output;
  }

  vprinter::DecoderOptions opts;
  opts.bytesPerLine = kDots / 8;
  const vprinter::DecodedJob job = vprinter::Decode(ReadFile(capture), opts);
  const std::vector<std::vector<uint8_t>> none;
  const auto& printed = job.planes.empty() ? none : job.planes[0];
  switch (c.rows) {
    case FaultCase::Rows::All:
      ASSERT_TRUE(job.ok()) << job.error->ToString();
      EXPECT_EQ(printed, rows);
      EXPECT_EQ(job.Count(vprinter::Command::JobControl, 3), 1u);
      break;
    case FaultCase::Rows::None:
      EXPECT_TRUE(printed.empty()) << printed.size() << " rows";
      break;
    case FaultCase::Rows::Some:
      ASSERT_FALSE(printed.empty());
      ASSERT_LT(printed.size(), rows.size());
      // What arrived is the page's beginning, row for row.
      EXPECT_EQ(printed, std::vector<std::vector<uint8_t>>(rows.begin(), rows.begin() + printed.size()));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, KestprintFaults,
    ::testing::Values(FaultCase{"Stalled", "--printer-fault stall-writes", 2,
                                "the printer took no data (write timed out)", FaultCase::Rows::None},
                      FaultCase{"ShortWrites", "--printer-fault max-write=7", 0, nullptr, FaultCase::Rows::All},
                      FaultCase{"PaperOutMidPage", "--printer-fault paper-out-after-lines=300", 2, "out of paper",
                                FaultCase::Rows::Some},
                      FaultCase{"UnpluggedMidPage", "--printer-fault unplug-after-lines=300", 2,
                                "the printer was disconnected", FaultCase::Rows::Some},
                      FaultCase{"RefusesToOpen", "--printer-fault refuse-open", 3, "could not be opened: access denied",
                                FaultCase::Rows::None},
                      FaultCase{"Silent", "--printer-fault silent", 0, nullptr, FaultCase::Rows::All}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KestprintFaultOption, BadFaultsAreRefusedBeforeAnythingIsSent) {
  const std::string image = TempDir() + "/refused.pbm";
  WritePage(image);
  struct Case {
    const char* fault;
    const char* words;
  };
  const Case cases[] = {
      {"bogus", "unknown fault bogus"},
      {"max-write=0", "max-write=N takes a byte count of at least 1"},
      {"max-write", "max-write=N takes a byte count"},
      {"max-write=12x", "max-write=N takes a byte count"},
      {"stall-writes=1", "stall-writes takes no value"},
      {"paper-out-after-lines", "paper-out-after-lines=N takes a count"},
      {"ready-after-lines=3", "unknown event ready"},
      {"jam-after-bytes=3", "unknown event jam"},
      {"-after-lines=3", "unknown fault -after-lines"},
  };
  for (const Case& c : cases) {
    const std::string capture = TempDir() + "/refused.prn";
    std::remove(capture.c_str());
    const Outcome r = Kestprint(std::string("--printer-fault ") + c.fault + " --capture " + capture + " " + image);
    EXPECT_EQ(r.status, 1) << c.fault << ": " << r.output;
    EXPECT_NE(r.output.find(std::string("--printer-fault ") + c.fault + ": " + c.words), std::string::npos)
        << c.fault << ": " << r.output;
    EXPECT_FALSE(std::ifstream(capture).good()) << c.fault << ": nothing may be printed";
  }
  const Outcome missing = Kestprint("--printer-fault");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("--printer-fault needs a value"), std::string::npos) << missing.output;
}

}  // namespace
