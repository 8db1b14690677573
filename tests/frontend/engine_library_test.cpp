// The engine stand-in with the driver as the tools use it: the shared
// library loaded with dlopen, only its exported names reachable. First with
// the fake NVP1, then with the library's own port driver, which the device
// manager activates from the same file on the first open of "NVP1:", writing
// to a file port.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "engine/engine.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "tests/frontend/page_helpers.h"
#include "tests/support/fake_port_driver.h"

namespace kest_test {
namespace {

const std::vector<uint8_t> kJobInit = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};

DEVMODEW LetterPortrait() {
  DEVMODEW dm{};
  dm.dmSize = sizeof dm;
  dm.dmPaperSize = DMPAPER_LETTER;
  dm.dmOrientation = DMORIENT_PORTRAIT;
  dm.dmPrintQuality = DMRES_HIGH;
  dm.dmColor = DMCOLOR_MONOCHROME;
  return dm;
}

engine::Image LabelPage(int w, int h) {
  return BlackWhite(w, h, [](int x, int y) { return (y % 50 < 10 && x % 7 < 4) || (y % 50 == 30 && x % 3 == 0); });
}

class EngineLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    plat::SetClockSpeed(50.0);
  }
  void TearDown() override {
    plat::UnregisterAllStreamDrivers();
    plat::SetClockSpeed(1.0);
    plat::RegistryClear();
  }
};

TEST_F(EngineLibrary, PrintsThroughTheLoadedLibrary) {
  FakePortDriver fake;
  ASSERT_TRUE(fake.Registered());
  engine::Engine::ResetEngineEntryCalls();
  std::vector<uint8_t> stream;
  int dots = 0;
  engine::Image page;
  {
    engine::Engine eng{std::string(DRIVER_LIBRARY_PATH)};
    ASSERT_TRUE(eng.Loaded()) << eng.LoadError();
    // The driver hooked its twelve entries and left the others to the engine.
    for (int i = 0; i < DRV_ENTRY_COUNT; ++i) {
      const bool hooked = i <= 3 || i == 11 || i == 14 || i == 17 || (i >= 22 && i <= 25) || i == 30;
      EXPECT_EQ(eng.DriverTable().pfn[i] != engine::Engine::EngineEntry(i), hooked) << i;
    }
    ASSERT_TRUE(eng.Enable(LetterPortrait(), u"LPT1:"));
    dots = eng.PageWidth();
    page = LabelPage(eng.PageWidth(), eng.PageHeight());
    EXPECT_TRUE(eng.PrintDocument({page}, 100).Ok());
    eng.Disable();
    stream = fake.Written();
  }
  EXPECT_EQ(engine::Engine::EngineEntryCalls(INDEX_DrvEnablePDEV), 1);
  ASSERT_GT(stream.size(), kJobInit.size());
  EXPECT_TRUE(std::equal(kJobInit.begin(), kJobInit.end(), stream.begin()));
  const vprinter::DecodedJob job = DecodeStream(stream, dots);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.planes[0], FilterBlankRuns(RowsOf(page, dots)));
  EXPECT_EQ(fake.Count(NVP_CLOSE), 1);
  EXPECT_EQ(engine::LiveSurfaces(), 0);
}

// Nothing but the library and a file: the device manager loads the port
// driver from Drivers\BuiltIn\NVP when the front end first finds no
// "NVP1:", and the bytes reach the file through the port driver.
TEST_F(EngineLibrary, ActivatesItsOwnPortDriver) {
  char path[] = "/tmp/kest_engine_portXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(plat::RegistrySetString(u"Drivers\\BuiltIn\\NVP", u"Dll", plat::FromUtf8(DRIVER_LIBRARY_PATH)));
  ASSERT_TRUE(plat::RegistrySetString(u"Drivers\\BuiltIn\\NVP", u"Prefix", u"NVP"));
  ASSERT_TRUE(plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"Index", 1));
  ASSERT_TRUE(plat::MapDevice(u"OUT1:", std::string("file:") + path));

  int dots = 0;
  engine::Image page;
  {
    engine::Engine eng{std::string(DRIVER_LIBRARY_PATH)};
    ASSERT_TRUE(eng.Loaded()) << eng.LoadError();
    const engine::CallResult enabled = eng.Enable(LetterPortrait(), u"OUT1:");
    ASSERT_TRUE(enabled) << "error " << enabled.error;
    dots = eng.PageWidth();
    page = LabelPage(eng.PageWidth(), eng.PageHeight());
    EXPECT_TRUE(eng.PrintDocument({page}).Ok());
    eng.Disable();
    // The port driver goes before the library is unloaded.
    plat::UnregisterAllStreamDrivers();
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(path);
  ASSERT_GT(stream.size(), kJobInit.size());
  const vprinter::DecodedJob job = DecodeStream(stream, dots);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.Count(vprinter::Command::Init), 1u);
  EXPECT_EQ(job.Count(vprinter::Command::JobControl, 3), 1u);
  EXPECT_EQ(job.planes[0], FilterBlankRuns(RowsOf(page, dots)));
}

}  // namespace
}  // namespace kest_test
