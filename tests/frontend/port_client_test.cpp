// The connection to the port driver: settings, open with activation, job
// start bytes, readiness wait, job marks and close, seen from the fake NVP1.
#include <dlfcn.h>

#include <cstring>
#include <ostream>
#include <string>

#include "tests/frontend/frontend_fixture.h"

namespace kest_test {
namespace {

std::vector<uint8_t> WideBytes(const std::u16string& s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::vector<DWORD> Functions(const std::vector<ControlRequest>& requests) {
  std::vector<DWORD> out;
  for (const auto& r : requests) out.push_back(r.function);
  return out;
}

DWORD InputValue(const ControlRequest& r) {
  DWORD v = 0;
  if (r.input.size() == 4) std::memcpy(&v, r.input.data(), 4);
  return v;
}

// --- settings ---------------------------------------------------------------

struct SettingsCase {
  const char* name;
  const char* reg;  // REGEDIT4 text, or null for no key at all
  int32_t printTimeout;
  uint32_t wakeUpBytes;
  int32_t resetStatusViaRts;
};
void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

class Settings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(Settings, AreReadAtConstruction) {
  const SettingsCase& c = GetParam();
  plat::RegistryClear();
  if (c.reg != nullptr) {
    std::string error;
    ASSERT_TRUE(plat::RegistryLoadText(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\NVP]\n") + c.reg,
                                       "settings", &error))
        << error;
  }
  auto context = std::make_unique<PrinterContext>();
  EXPECT_EQ(context->printTimeout, c.printTimeout);
  EXPECT_EQ(context->wakeUpBytes, c.wakeUpBytes);
  EXPECT_EQ(context->resetStatusViaRts, c.resetStatusViaRts);
  EXPECT_EQ(context->hDevice, INVALID_HANDLE_VALUE);
  context.reset();
  plat::RegistryClear();
}

INSTANTIATE_TEST_SUITE_P(
    Registry, Settings,
    ::testing::Values(
        SettingsCase{"NoKey", nullptr, 800, 0, 0}, SettingsCase{"EmptyKey", "", 800, 0, 0},
        SettingsCase{"AllThree",
                     "\"PrintTimeout\"=dword:000003e8\n\"numWakeUpBytes\"=dword:00000003\n"
                     "\"EnableResetStatusviaRTS\"=dword:00000001\n",
                     1000, 3, 1},
        // The type is not looked at: four bytes of any type count.
        SettingsCase{"BinaryOfFourBytes", "\"numWakeUpBytes\"=hex:05,00,00,00\n", 800, 5, 0},
        // A value that does not fit four bytes keeps the default.
        SettingsCase{"TooLongKeepsDefault", "\"PrintTimeout\"=\"a long string value\"\n", 800, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- opening ----------------------------------------------------------------

class PortClient : public FrontendTest {};

// The port driver is not loaded at first: the first open of "NVP1:" fails,
// the device manager is asked to load the driver key, and the second open
// finds the device the activation brought.
class Activation : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    plat::SetClockSpeed(kClockSpeed);
    module_ = dlopen(ACTIVATION_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    setHook_ = reinterpret_cast<void (*)(void (*)(const char16_t*))>(dlsym(module_, "ActivationModuleSetHook"));
    activations_ = reinterpret_cast<int (*)()>(dlsym(module_, "ActivationModuleActivations"));
    reset_ = reinterpret_cast<void (*)()>(dlsym(module_, "ActivationModuleReset"));
    ASSERT_TRUE(setHook_ && activations_ && reset_);
    reset_();
    ASSERT_TRUE(plat::RegistrySetString(u"Drivers\\BuiltIn\\NVP", u"Dll", plat::FromUtf8(ACTIVATION_MODULE_PATH)));
    ASSERT_TRUE(plat::RegistrySetString(u"Drivers\\BuiltIn\\NVP", u"Prefix", u"NVP"));
    ASSERT_TRUE(plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", u"Index", 1));
    s_fake.reset();
    s_keys.clear();
  }
  void TearDown() override {
    g_printer.Shutdown();
    s_fake.reset();
    if (reset_) reset_();
    if (module_) dlclose(module_);
    plat::SetClockSpeed(1.0);
    plat::RegistryClear();
  }

  static void BringUpFake(const char16_t* key) {
    s_keys.push_back(key != nullptr ? key : u"");
    s_fake = std::make_unique<FakePortDriver>();
    s_fake->SetPortIndex(4);
  }

  static inline std::unique_ptr<FakePortDriver> s_fake;
  static inline std::vector<std::u16string> s_keys;
  void* module_ = nullptr;
  void (*setHook_)(void (*)(const char16_t*)) = nullptr;
  int (*activations_)() = nullptr;
  void (*reset_)() = nullptr;
};

TEST_F(Activation, FirstOpenFailsThenActivationMakesTheSecondSucceed) {
  setHook_(&BringUpFake);
  ASSERT_NE(g_printer.StartJob(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(activations_(), 1);
  ASSERT_EQ(s_keys.size(), 1u);
  EXPECT_EQ(s_keys[0], u"Drivers\\BuiltIn\\NVP");
  ASSERT_TRUE(s_fake && s_fake->Registered());
  EXPECT_EQ(s_fake->DeviceOpens(), 1);
  const auto requests = s_fake->Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].code, NVP_OPEN);
  EXPECT_EQ(requests[0].input, WideBytes(u"LPT1:"));
  EXPECT_EQ(g_printer.controlBase, 4);
}

TEST_F(Activation, TwoFailedOpensRequestTheActivationTwiceAndFail) {
  SetLastError(0);
  EXPECT_EQ(g_printer.StartJob(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(activations_(), 2);
  EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
}

TEST_F(PortClient, RefusedPortNameClosesTheInstanceOnce) {
  fake().RefuseOpen(ERROR_UNKNOWN_PORT);
  SetLastError(0);
  EXPECT_EQ(g_printer.StartJob(u"COM7:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(fake().DeviceOpens(), 1);
  EXPECT_EQ(fake().DeviceCloses(), 1);
  const auto requests = fake().Requests();
  ASSERT_EQ(requests.size(), 1u) << "nothing but the one NVP_OPEN";
  EXPECT_EQ(requests[0].code, NVP_OPEN);
  EXPECT_EQ(requests[0].input, WideBytes(u"COM7:"));
  EXPECT_EQ(requests[0].outputLength, 1u);
  EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
}

// No name, or the empty name, means the default print port: the registry's
// DefaultPrintPort when it is a string, else "LPT1:".
TEST_F(PortClient, MissingPortNameMeansTheDefaultPrintPort) {
  struct Case {
    const char* reg;  // Printers\Ports values, or null for no key
    std::u16string expected;
  };
  const Case cases[] = {
      {nullptr, u"LPT1:"},
      {"\"DefaultPrintPort\"=\"COM3:9600\"\n", u"COM3:9600"},
      {"\"DefaultPrintPort\"=dword:00000001\n", u"LPT1:"},
      {"\"DefaultPrintPort\"=\"\"\n", u"LPT1:"},
      {"\"DefaultPrintPort\"=hex(1):4c,00,50,00,54,00,32,00,3a,00\n", u"LPT2:"},  // stored without a NUL
  };
  for (const Case& c : cases) {
    plat::RegistryDeleteTree(u"Printers");
    if (c.reg != nullptr) {
      std::string error;
      ASSERT_TRUE(plat::RegistryLoadText(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Printers\\Ports]\n") + c.reg,
                                         "ports", &error))
          << error;
    }
    for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u""}) {
      fake().Clear();
      ASSERT_NE(g_printer.OpenDevice(name), INVALID_HANDLE_VALUE);
      const auto opens = fake().RequestsOf(NVP_OPEN);
      ASSERT_EQ(opens.size(), 1u);
      EXPECT_EQ(opens[0].input, WideBytes(c.expected)) << (c.reg ? c.reg : "no key");
    }
  }
}

TEST_F(PortClient, OpenOnAnOpenConnectionClosesItFirst) {
  fake().SetPortIndex(2);
  ASSERT_NE(g_printer.OpenDevice(u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(g_printer.AppendOutput("\x01\x02", 2));
  fake().SetPortIndex(3);
  ASSERT_NE(g_printer.OpenDevice(u"LPT2:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Functions(fake().Requests()), (std::vector<DWORD>{NVP_OPEN, NVP_WRITE, NVP_CLOSE, NVP_OPEN}));
  EXPECT_EQ(fake().RequestsOf(NVP_CLOSE)[0].code, NVP_CLOSE + 2);
  EXPECT_EQ(fake().Written(), Bytes({1, 2}));
  EXPECT_EQ(fake().DeviceOpens(), 2);
  EXPECT_EQ(fake().DeviceCloses(), 1);
  EXPECT_EQ(g_printer.controlBase, 3);
}

// --- job start ----------------------------------------------------------------

struct JobStartCase {
  const char* name;
  uint32_t model;
  uint32_t wakeUpBytes;
  int32_t resetStatusViaRts;
  int zeroWrites;
  bool statusReset;
};
void PrintTo(const JobStartCase& c, std::ostream* os) { *os << c.name; }

class JobStart : public FrontendTest, public ::testing::WithParamInterface<JobStartCase> {};

TEST_P(JobStart, SendsWakeUpPulseResetAndInitialisation) {
  const JobStartCase& c = GetParam();
  CurrentModel model(c.model);
  g_printer.wakeUpBytes = c.wakeUpBytes;
  g_printer.resetStatusViaRts = c.resetStatusViaRts;
  fake().SetPortIndex(7);
  ASSERT_NE(g_printer.StartJob(u"COM1:"), INVALID_HANDLE_VALUE);

  std::vector<std::vector<uint8_t>> writes;
  for (int i = 0; i < c.zeroWrites; ++i) writes.push_back({0x00});
  const size_t zeroEnd = writes.size();
  if (c.statusReset) writes.push_back(Bytes({0x1B, 0x51, 0x0F, 0x0D}));
  writes.push_back(kJobInitBytes);
  EXPECT_EQ(fake().Writes(), writes);

  // The order on the connection: open, the zero bytes, the RTS pulse, then
  // the rest; every code carries the port index.
  const auto requests = fake().Requests();
  std::vector<DWORD> functions = {NVP_OPEN};
  for (size_t i = 0; i < zeroEnd; ++i) functions.push_back(NVP_WRITE);
  functions.push_back(NVP_SET_RTS);
  functions.push_back(NVP_SET_RTS);
  for (size_t i = zeroEnd; i < writes.size(); ++i) functions.push_back(NVP_WRITE);
  EXPECT_EQ(Functions(requests), functions);
  for (size_t i = 1; i < requests.size(); ++i) EXPECT_EQ(requests[i].index, 7) << i;
  const auto rts = fake().RequestsOf(NVP_SET_RTS);
  ASSERT_EQ(rts.size(), 2u);
  EXPECT_EQ(InputValue(rts[0]), 1u);  // RTS off
  EXPECT_EQ(InputValue(rts[1]), 0u);  // RTS on again
  EXPECT_GE(rts[1].tick - rts[0].tick, 20u);
  EXPECT_EQ(g_printer.outputCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Models, JobStart,
                         ::testing::Values(JobStartCase{"S91Model3", 3, 3, 0, 3, false},
                                           JobStartCase{"S91Model6", 6, 2, 0, 2, false},
                                           JobStartCase{"OtherModel", 1, 3, 0, 0, false},
                                           JobStartCase{"Model7", 7, 3, 0, 0, false},
                                           JobStartCase{"NoPortOpenedYet", 0, 3, 0, 0, false},
                                           JobStartCase{"S91NoWakeUpBytes", 3, 0, 0, 0, false},
                                           JobStartCase{"StatusResetViaRts", 1, 0, 1, 0, true},
                                           JobStartCase{"OnlyOneCounts", 1, 0, 2, 0, false},
                                           JobStartCase{"S91AndStatusReset", 6, 1, 1, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortClient, FailuresDuringTheJobStartAreIgnored) {
  fake().FailFunction(NVP_SET_RTS, ERROR_NOT_SUPPORTED);  // a port without RTS
  ASSERT_NE(g_printer.StartJob(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake().Writes(), (std::vector<std::vector<uint8_t>>{kJobInitBytes}));
}

// --- readiness ----------------------------------------------------------------

struct WaitCase {
  const char* name;
  DWORD stopFlag;
  int32_t printTimeout;
  std::vector<DWORD> queued;  // then `status` for ever
  DWORD status;
  int requests;
  BOOL result;
  DWORD error;
};
void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }

class WaitReady : public FrontendTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitReady, RetriesOnlyWhileNotReady) {
  const WaitCase& c = GetParam();
  fake().SetPortIndex(1);
  ASSERT_NE(g_printer.OpenDevice(u"LPT1:"), INVALID_HANDLE_VALUE);
  g_printer.printTimeout = c.printTimeout;
  for (DWORD e : c.queued) fake().QueueStatus({e});
  fake().SetStatus(c.status);
  fake().Clear();

  SetLastError(0);
  EXPECT_EQ(g_printer.WaitReady(c.stopFlag), c.result);
  if (!c.result) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  const auto requests = fake().Requests();
  ASSERT_EQ(static_cast<int>(requests.size()), c.requests);
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].code, NVP_CHECK_STATUS + 1);
    EXPECT_EQ(requests[i].input.size(), 4u);
    EXPECT_EQ(InputValue(requests[i]), c.stopFlag);
    // 100 ms of the stand-in clock between two requests.
    if (i > 0) {
      EXPECT_GE(requests[i].tick - requests[i - 1].tick, 100u) << i;
    }
  }
  if (requests.size() > 1) {
    EXPECT_GE(requests.back().tick - requests.front().tick, 100u * (requests.size() - 1));
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, WaitReady,
    ::testing::Values(WaitCase{"ReadyAtOnce", 0, 800, {}, 0, 1, TRUE, 0},
                      WaitCase{"StaysNotReady", 0, 800, {}, 21, 9, FALSE, 21},
                      WaitCase{"ReadyOnTheThirdRequest", 0, 800, {21, 21}, 0, 3, TRUE, 0},
                      WaitCase{"PaperOutEndsAtOnce", 0, 800, {}, 28, 1, FALSE, 28},
                      WaitCase{"ErrorAfterNotReady", 0, 800, {21, 16000}, 16000, 2, FALSE, 16000},
                      WaitCase{"ReadyOnTheLastRetry", 0, 800, {21, 21, 21, 21, 21, 21, 21, 21}, 0, 9, TRUE, 0},
                      // With a stop flag the budget is printTimeout / 100 retries.
                      WaitCase{"FlagWithTimeout250", 5, 250, {}, 21, 3, FALSE, 21},
                      WaitCase{"FlagWithTimeout50", 1, 50, {}, 21, 1, FALSE, 21},
                      WaitCase{"FlagWithNegativeTimeout", 1, -500, {}, 21, 1, FALSE, 21}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortClient, WaitOnAClosedConnectionFailsAtOnce) {
  SetLastError(0);
  EXPECT_FALSE(g_printer.WaitReady(0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(fake().Requests().empty());
}

// --- the other requests -------------------------------------------------------

TEST_F(PortClient, SingleRequestsCarryTheIndexAndReturnTheResult) {
  fake().SetPortIndex(9);
  ASSERT_NE(g_printer.OpenDevice(u"LPT1:"), INVALID_HANDLE_VALUE);
  struct Op {
    DWORD function;
    BOOL (*call)();
  };
  const Op ops[] = {
      {NVP_SET_JOBACTIVE, [] { return g_printer.MarkJobActive(); }},
      {NVP_CLEAR_JOBACTIVE, [] { return g_printer.MarkJobInactive(); }},
      {NVP_RESET_RTS, [] { return g_printer.ResetPort(); }},
      {NVP_SET_RTS, [] { return g_printer.SetRts(5); }},
  };
  for (const Op& op : ops) {
    fake().Clear();
    EXPECT_TRUE(op.call());
    auto requests = fake().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, op.function + 9);
    EXPECT_EQ(requests[0].input.size(), op.function == NVP_SET_RTS ? 4u : 0u);
    if (op.function == NVP_SET_RTS) {
      EXPECT_EQ(InputValue(requests[0]), 5u);
    }

    fake().FailFunction(op.function, ERROR_GEN_FAILURE);
    SetLastError(0);
    EXPECT_FALSE(op.call());
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    fake().FailFunction(op.function, 0);
  }
}

// --- closing ----------------------------------------------------------------------

TEST_F(PortClient, CloseWritesWhatIsBufferedAndReleasesThePort) {
  fake().SetPortIndex(6);
  ASSERT_NE(g_printer.OpenDevice(u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(g_printer.AppendOutput("\x10\x20\x30", 3));
  fake().Clear();
  g_printer.CloseDevice();
  EXPECT_EQ(Functions(fake().Requests()), (std::vector<DWORD>{NVP_WRITE, NVP_CLOSE}));
  EXPECT_EQ(fake().RequestsOf(NVP_CLOSE)[0].code, NVP_CLOSE + 6);
  EXPECT_EQ(fake().Written(), Bytes({0x10, 0x20, 0x30}));
  EXPECT_EQ(fake().DeviceCloses(), 1);
  EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
}

TEST_F(PortClient, CloseOnAClosedConnectionDoesNothing) {
  ASSERT_TRUE(g_printer.AppendOutput("\x10", 1));
  g_printer.CloseDevice();
  g_printer.CloseDevice();
  EXPECT_TRUE(fake().Requests().empty());
  EXPECT_EQ(fake().DeviceOpens(), 0);
  EXPECT_EQ(fake().DeviceCloses(), 0);
  EXPECT_EQ(g_printer.outputCount, 1) << "no flush without a connection";
}

TEST_F(PortClient, ShutdownFreesTheBuffersAndCloses) {
  const int64_t before = plat::LiveAllocations();
  GDIINFO gi{};
  gi.ulHorzRes = 576;
  gi.ulVertRes = 816;
  DEVMODEW dm{};
  dm.dmOrientation = DMORIENT_LANDSCAPE;
  dm.dmColor = DMCOLOR_COLOR;
  ASSERT_TRUE(g_printer.SetupRaster(&gi, &dm));
  ASSERT_NE(g_printer.StartJob(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_GT(plat::LiveAllocations(), before);
  EXPECT_TRUE(g_printer.Shutdown());
  EXPECT_EQ(plat::LiveAllocations(), before);
  EXPECT_EQ(g_printer.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake().Count(NVP_CLOSE), 1);
  EXPECT_EQ(fake().DeviceCloses(), 1);
}

}  // namespace
}  // namespace kest_test
