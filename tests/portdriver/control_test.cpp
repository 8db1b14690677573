// The control interface on scripted ports, without the monitor thread
// (ports are opened with NVP_OPEN_NOMONITOR).
#include <gtest/gtest.h>

#include "commands/commands.h"
#include "platform/devices.h"
#include "tests/portdriver/driver_fixture.h"

namespace pdtest {
namespace {

constexpr DWORD kUntouched = 0xDEADBEEF;

class ControlTest : public PortDriverTest {};

// Pushes a status history as the monitor would have stored it.
void SetHistory(const Bytes& bytes) {
  Locked([&] {
    ClearStatusQueue(g_dequeStatusHistory);
    for (uint8_t b : bytes) {
      auto* r = static_cast<StatusRecord*>(LocalAlloc(LPTR, sizeof(StatusRecord)));
      r->byte = b;
      AppendStatusRecord(g_dequeStatusHistory, r);
    }
    return 0;
  });
}

TEST_F(ControlTest, IndexedFunctionsOnAnIndexThatIsNotOpen) {
  struct Case {
    DWORD code;
    DWORD error;  // last error afterwards; kUntouched: not set
  };
  const Case cases[] = {
      {NVP_WRITE | 3, kUntouched},
      {NVP_CLOSE | 3, kUntouched},
      {NVP_READ | 3, kUntouched},
      {NVP_SET_RTS | 3, kUntouched},
      {NVP_CHECK_STATUS | 3, ERROR_NOT_READY},
      {NVP_SET_JOBACTIVE | 3, kUntouched},
      {NVP_CLEAR_JOBACTIVE | 3, kUntouched},
      {NVP_RESET_RTS | 3, kUntouched},
      {NVP_WRITE_IDLE | 3, kUntouched},
      // Functions outside the table.
      {0xF00, kUntouched},
      {0x1200, kUntouched},
      {0x0, kUntouched},
      {0xFFFF00, kUntouched},
  };
  const uint32_t value = 0;
  BYTE out[16];
  DWORD returned = kUntouched;
  for (const Case& c : cases) {
    SetLastError(kUntouched);
    EXPECT_FALSE(Io(c.code, &value, sizeof value, out, sizeof out, &returned)) << std::hex << c.code;
    EXPECT_EQ(GetLastError(), c.error) << std::hex << c.code;
  }
  EXPECT_EQ(returned, kUntouched);
  EXPECT_EQ(TableSize(), 0u);
}

TEST_F(ControlTest, BufferChecksOfTheNamedAndIndexedFunctions) {
  const uint8_t index = OpenPort(u"COM1:");
  ASSERT_EQ(index, 1);
  const std::u16string name = u"COM1:";
  const DWORD full = NameBytes(name);
  const uint32_t four = 0;
  BYTE out[8];
  DWORD returned = 0;
  struct Case {
    const char* what;
    DWORD code;
    const void* in;
    DWORD inLen;
    void* out;
    DWORD outLen;
    DWORD* returned;
    BOOL result;
    DWORD error;
  };
  const Case cases[] = {
      {"open without output", NVP_OPEN_NOMONITOR, name.c_str(), full, nullptr, 1, nullptr, FALSE, kUntouched},
      {"open with output length 0", NVP_OPEN_NOMONITOR, name.c_str(), full, out, 0, nullptr, FALSE, kUntouched},
      {"open without name", NVP_OPEN_NOMONITOR, nullptr, 0, out, 1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"open, name without NUL", NVP_OPEN_NOMONITOR, name.c_str(), full - 2, out, 1, nullptr, FALSE,
       ERROR_INVALID_PARAMETER},
      {"open, NUL cut in half", NVP_OPEN_NOMONITOR, name.c_str(), full - 1, out, 1, nullptr, FALSE,
       ERROR_INVALID_PARAMETER},
      {"index without output", NVP_GET_INDEX, name.c_str(), full, nullptr, 0, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"index, name without NUL", NVP_GET_INDEX, name.c_str(), full - 2, out, 1, nullptr, FALSE,
       ERROR_INVALID_PARAMETER},
      {"rts without input", NVP_SET_RTS | index, nullptr, 0, nullptr, 0, nullptr, FALSE, kUntouched},
      {"rts with input length 0", NVP_SET_RTS | index, &four, 0, nullptr, 0, nullptr, FALSE, kUntouched},
      {"rts with 2 bytes", NVP_SET_RTS | index, &four, 2, nullptr, 0, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"read without output", NVP_READ | index, nullptr, 0, nullptr, 4, &returned, FALSE, kUntouched},
      {"read with output length 0", NVP_READ | index, nullptr, 0, out, 0, &returned, FALSE, kUntouched},
      {"read without count", NVP_READ | index, nullptr, 0, out, 4, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"write without data", NVP_WRITE | index, nullptr, 4, nullptr, 0, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"stop monitor without name", NVP_STOP_PORTMONITOR, nullptr, 0, nullptr, 0, nullptr, FALSE,
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(kUntouched);
    EXPECT_EQ(Io(c.code, c.in, c.inLen, c.out, c.outLen, c.returned), c.result) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(RefCount(index), 1) << "no failed open took a reference";
  EXPECT_EQ(com1->Opens(), 1);
  EXPECT_TRUE(ClosePort(index));
}

TEST_F(ControlTest, IndexesGrowUntilTheTableIsEmpty) {
  EXPECT_EQ(OpenPort(u"LPT1:"), 1);
  EXPECT_EQ(OpenPort(u"LPT2:"), 2);
  EXPECT_EQ(OpenPort(u"LPT3:"), 3);
  EXPECT_TRUE(ClosePort(1));
  EXPECT_EQ(OpenPort(u"LPT4:"), 4);
  for (uint8_t i : {2, 3, 4}) EXPECT_TRUE(ClosePort(i));
  EXPECT_EQ(TableSize(), 0u);
  EXPECT_EQ(OpenPort(u"LPT3:"), 1);
  EXPECT_TRUE(ClosePort(1));
}

TEST_F(ControlTest, OpenReturnsTheIndexInTheFirstByteAndCountsOne) {
  BYTE out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  DWORD returned = 0;
  const std::u16string name = u"LPT1:";
  ASSERT_TRUE(Io(NVP_OPEN_NOMONITOR, name.c_str(), NameBytes(name), out, sizeof out, &returned));
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 0xAA);
  EXPECT_EQ(returned, 1u);
  EXPECT_TRUE(ClosePort(1));
}

TEST_F(ControlTest, SharedOpensCountReferencesAndCloseOnTheLast) {
  struct Case {
    std::u16string second;
    bool shares;
  };
  // The buffer-bounded match: the stored name must begin the given one.
  const Case cases[] = {
      {u"LPT1:", true},
      {u"lpt1:", true},
      {u"LPT1:extra", true},
      {u"LPT2:", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(plat::ToUtf8(c.second));
    const int opensBefore = lpt1->Opens();
    ASSERT_EQ(OpenPort(u"LPT1:"), 1);
    const uint8_t second = OpenPort(c.second);
    if (c.shares) {
      EXPECT_EQ(second, 1);
      EXPECT_EQ(RefCount(1), 2);
      EXPECT_EQ(TableSize(), 1u);
      EXPECT_TRUE(ClosePort(1));
      EXPECT_EQ(RefCount(1), 1);
      EXPECT_EQ(lpt1->OpenNow(), 1);
    } else {
      EXPECT_EQ(second, 2);
      EXPECT_TRUE(ClosePort(2));
    }
    EXPECT_EQ(lpt1->Opens(), opensBefore + 1) << "one real open";
    EXPECT_TRUE(ClosePort(1));
    EXPECT_FALSE(IsOpen(1));
    EXPECT_EQ(lpt1->OpenNow(), 0);
  }
}

TEST_F(ControlTest, TheTwoNameMatchesBothWays) {
  ports_->Add(u"LPT", false);
  // "LPT1:" stored: the index lookup finds it by "LPT" (either name begins
  // the other), an open of "LPT" does not (the stored name is longer).
  ASSERT_EQ(OpenPort(u"LPT1:"), 1);
  BYTE position = 0;
  const std::u16string shortName = u"LPT";
  ASSERT_TRUE(Io(NVP_GET_INDEX, shortName.c_str(), NameBytes(shortName), &position, 1, nullptr));
  EXPECT_EQ(position, 1);
  EXPECT_EQ(OpenPort(u"LPT"), 2);
  EXPECT_EQ(TableSize(), 2u);
  EXPECT_TRUE(ClosePort(1));
  EXPECT_TRUE(ClosePort(2));

  // "LPT" stored: an open of "LPT1:" shares it (the stored name begins the
  // given one), and the lookup of "LPT1:" finds it too.
  ASSERT_EQ(OpenPort(u"LPT"), 1);
  EXPECT_EQ(OpenPort(u"LPT1:"), 1);
  EXPECT_EQ(RefCount(1), 2);
  const std::u16string longName = u"LPT1:";
  ASSERT_TRUE(Io(NVP_GET_INDEX, longName.c_str(), NameBytes(longName), &position, 1, nullptr));
  EXPECT_EQ(position, 1);
  EXPECT_EQ(lpt1->Opens(), 1) << "LPT1: was not opened for the shared open";
  EXPECT_TRUE(ClosePort(1));
  EXPECT_TRUE(ClosePort(1));
}

TEST(NameMatch, Cases) {
  struct Case {
    std::u16string given;
    DWORD givenBytes;  // 0: the whole name with its NUL
    std::u16string stored;
    bool bounded;
    bool shorter;
  };
  const Case cases[] = {
      {u"LPT1:", 0, u"LPT1:", true, true},
      {u"LPT1:9600", 0, u"LPT1:", true, true},
      {u"LPT", 0, u"LPT1:", false, true},
      {u"lpt1:", 0, u"LPT1:", true, true},
      {u"LPT2:", 0, u"LPT1:", false, false},
      {u"", 0, u"LPT1:", false, true},
      {u"COM1:", 0, u"LPT1:", false, false},
      // The buffer bound limits the comparison: 3 characters of "LPT2:".
      {u"LPT2:", 6, u"LPT1:", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(plat::ToUtf8(c.given) + " / " + plat::ToUtf8(c.stored));
    const DWORD bytes = c.givenBytes != 0 ? c.givenBytes : NameBytes(c.given);
    EXPECT_EQ(BufferBoundedMatch(c.given.c_str(), bytes, c.stored.c_str()), c.bounded);
    EXPECT_EQ(ShorterNameMatch(c.given.c_str(), c.stored.c_str()), c.shorter);
  }
}

TEST_F(ControlTest, GetIndexGivesThePositionNotTheIndex) {
  for (const char16_t* n : {u"LPT1:", u"LPT2:", u"LPT3:", u"LPT4:", u"COM1:"}) OpenPort(n);
  for (uint8_t i : {1, 3, 4}) ClosePort(i);  // 2 and 5 stay
  struct Case {
    std::u16string name;
    BYTE position;
  };
  const Case cases[] = {{u"COM1:", 2}, {u"LPT2:", 1}, {u"COM2:", 3}};
  for (const Case& c : cases) {
    BYTE out = 0;
    DWORD returned = kUntouched;
    EXPECT_TRUE(Io(NVP_GET_INDEX, c.name.c_str(), NameBytes(c.name), &out, 1, &returned));
    EXPECT_EQ(out, c.position) << plat::ToUtf8(c.name);
    EXPECT_EQ(returned, kUntouched);
  }
  ClosePort(2);
  ClosePort(5);
}

TEST_F(ControlTest, GetIndexOnAnEmptyTable) {
  const std::u16string name = u"LPT1:";
  BYTE out = 0;
  EXPECT_FALSE(Io(NVP_GET_INDEX, name.c_str(), NameBytes(name), &out, 1, nullptr));
  EXPECT_EQ(plat::TakeDebugOutput(), "NVP_GET_INDEX =>err. g_mapOpenPorts.empty()\r\n");
}

TEST_F(ControlTest, OpenOfAPortThatCannotBeOpened) {
  lpt2->SetOpenError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenPort(u"LPT2:"), 0);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(plat::TakeDebugOutput(), "NVP_OPEN PrinterOpen error\r\n");
  EXPECT_EQ(TableSize(), 0u);
}

TEST_F(ControlTest, OpenWhenMemoryRunsOut) {
  // Makes each allocation in turn fail until the open no longer allocates
  // that many blocks; every failure must leave no port open and no entry.
  bool sawMemoryError = false;
  for (int n = 1; n < 40; ++n) {
    const uint64_t before = plat::AllocationCount();
    plat::FailAllocationAfter(n);
    const uint8_t index = OpenPort(u"COM1:");
    const uint64_t made = plat::AllocationCount() - before;
    plat::FailAllocationAfter(0);
    const std::string debug = plat::TakeDebugOutput();
    if (index != 0) {
      EXPECT_TRUE(ClosePort(index));
      if (made < static_cast<uint64_t>(n)) break;  // the seam was never reached
      continue;
    }
    if (debug == "NVP_OPEN memory error\r\n") {
      sawMemoryError = true;
      EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
    }
    EXPECT_EQ(TableSize(), 0u) << n;
    EXPECT_EQ(com1->OpenNow(), 0) << "the port was closed again, " << n;
  }
  EXPECT_TRUE(sawMemoryError);
}

TEST_F(ControlTest, TheLimitsOfTheEightBitFields) {
  // A 256th reference to one port.
  ASSERT_EQ(OpenPort(u"LPT1:"), 1);
  for (int i = 2; i <= 255; ++i) ASSERT_EQ(OpenPort(u"LPT1:"), 1) << i;
  EXPECT_EQ(RefCount(1), 255);
  SetLastError(0);
  EXPECT_EQ(OpenPort(u"LPT1:"), 0);
  EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
  EXPECT_EQ(RefCount(1), 255);
  for (int i = 0; i < 255; ++i) ASSERT_TRUE(ClosePort(1));
  EXPECT_FALSE(IsOpen(1));

  // A new port while index 255 is in use.
  auto* rec = static_cast<PortRecord*>(LocalAlloc(LPTR, sizeof(PortRecord)));
  rec->handle = INVALID_HANDLE_VALUE;
  rec->name = static_cast<WCHAR*>(LocalAlloc(LPTR, 8 * sizeof(WCHAR)));
  std::u16string held = u"HELD:";
  std::copy(held.begin(), held.end(), rec->name);
  rec->refCount = 1;
  Locked([&] { return g_mapOpenPorts.emplace(255, rec).second; });
  SetLastError(0);
  EXPECT_EQ(OpenPort(u"LPT2:"), 0);
  EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
  EXPECT_EQ(lpt2->Opens(), 0) << "no port opened for an index that does not exist";
  Locked([&] { return g_mapOpenPorts.erase(255); });
  LocalFree(rec->name);
  LocalFree(rec);
}

TEST_F(ControlTest, WriteAndReadGoToThePort) {
  const uint8_t index = OpenPort(u"COM1:");
  const Bytes data = {1, 2, 3, 0, 5};
  EXPECT_TRUE(Io(NVP_WRITE | index, data.data(), static_cast<DWORD>(data.size()), nullptr, 0, nullptr));
  EXPECT_EQ(com1->Written(), data);
  // Bits 24-31 of the code are not part of the function.
  EXPECT_TRUE(Io(0x7F000000 | NVP_WRITE | index, data.data(), 2, nullptr, 0, nullptr));

  com1->QueueRead({0x80, 0x88});
  BYTE out[8] = {};
  DWORD returned = 0;
  EXPECT_TRUE(Io(NVP_READ | index, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(returned, 2u);
  EXPECT_EQ(out[0], 0x80);
  EXPECT_EQ(out[1], 0x88);

  // A port that takes nothing: the port layer's result and error come back.
  com1->SetAcceptWrites(false);
  EXPECT_FALSE(Io(NVP_WRITE | index, data.data(), 1, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  ClosePort(index);
}

TEST_F(ControlTest, JobFlagBlocksOnlyTheIdleWrite) {
  const uint8_t index = OpenPort(u"LPT1:");
  const Bytes data = {0x1B, 0x40};
  auto writeIdle = [&] { return Io(NVP_WRITE_IDLE | index, data.data(), 2, nullptr, 0, nullptr); };
  EXPECT_TRUE(Io(NVP_SET_JOBACTIVE | index, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_TRUE(Io(NVP_SET_JOBACTIVE | index, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_FALSE(writeIdle());
  EXPECT_TRUE(lpt1->Written().empty());
  EXPECT_TRUE(Io(NVP_WRITE | index, data.data(), 2, nullptr, 0, nullptr)) << "the job itself still writes";
  lpt1->ClearWritten();
  // One clear, whatever number of sets came before.
  EXPECT_TRUE(Io(NVP_CLEAR_JOBACTIVE | index, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_TRUE(writeIdle());
  EXPECT_EQ(lpt1->Written(), data);
  ClosePort(index);
}

TEST_F(ControlTest, CheckStatusJudgesTheNewestStatusByte) {
  const uint8_t index = OpenPort(u"LPT1:");
  struct Case {
    Bytes history;
    bool withStopFlag;
    DWORD inLen;
    BOOL result;
    DWORD error;
  };
  const Case cases[] = {
      {{}, false, 0, TRUE, 0},
      {{0x88, 0x80}, false, 0, TRUE, 0},
      {{0x84, 0x86}, false, 0, FALSE, ERROR_PRINTER_STATE_ERROR_PAPER},
      {{0x8A}, false, 0, FALSE, ERROR_OUT_OF_PAPER},
      {{0x84}, false, 0, FALSE, ERROR_PRINTER_STATE_ERROR},
      {{0x88}, false, 0, FALSE, ERROR_NOT_READY},
      {{0x80, 0x88, 0x41, 0xC0}, false, 0, FALSE, ERROR_NOT_READY},  // other bytes change nothing
      {{0xB1}, false, 0, TRUE, 0},                                   // bits 0, 4, 5 do not matter
      {{0x88, 0x03, 0x80}, true, 4, FALSE, ERROR_NOT_READY},
      {{0x88, 0x03, 0x80}, false, 4, TRUE, 0},
      {{0x88, 0x03, 0x80}, true, 2, TRUE, 0},  // the flag is read only from exactly 4 bytes
  };
  for (const Case& c : cases) {
    SetHistory(c.history);
    const uint32_t flag = c.withStopFlag ? 1 : 0;
    SetLastError(0);
    EXPECT_EQ(Io(NVP_CHECK_STATUS | index, c.inLen ? &flag : nullptr, c.inLen, nullptr, 0, nullptr), c.result)
        << ::testing::PrintToString(c.history);
    EXPECT_EQ(GetLastError(), c.error) << ::testing::PrintToString(c.history);
  }
  EXPECT_EQ(HistoryCount(), 3u) << "the history is only read";
  SetHistory({});
  ClosePort(index);
}

TEST_F(ControlTest, SetRtsOnASerialPortAndOnAParallelPort) {
  const uint8_t serial = OpenPort(u"COM1:");
  const uint8_t parallel = OpenPort(u"LPT1:");
  const uint32_t off = 1;
  const uint32_t on = 0;
  EXPECT_TRUE(Io(NVP_SET_RTS | serial, &off, 4, nullptr, 0, nullptr));
  EXPECT_TRUE(Io(NVP_SET_RTS | serial, &on, 4, nullptr, 0, nullptr));
  auto changes = com1->RtsChanges();
  ASSERT_GE(changes.size(), 2u);
  EXPECT_FALSE(changes[changes.size() - 2].on);
  EXPECT_TRUE(changes.back().on);
  EXPECT_FALSE(Io(NVP_SET_RTS | parallel, &off, 4, nullptr, 0, nullptr));
  ClosePort(serial);
  ClosePort(parallel);
}

class ResetRtsTest : public PortDriverTest {
 protected:
  double Speed() override { return 50.0; }
  void Settings() override {
    SetDword(u"RTSOnOff", 0);
    SetDword(u"RTSMaxRetries", 3);
    SetDword(u"RTSRetryWait", 5);
  }
};

TEST_F(ResetRtsTest, PulsesRtsAndSendsTheRtsOnCommand) {
  const uint8_t index = OpenPort(u"COM1:");
  com1->ClearWritten();
  const size_t changesBefore = com1->RtsChanges().size();
  EXPECT_TRUE(Io(NVP_RESET_RTS | index, nullptr, 0, nullptr, 0, nullptr));
  auto changes = com1->RtsChanges();
  ASSERT_EQ(changes.size(), changesBefore + 2);
  EXPECT_FALSE(changes[changesBefore].on);
  EXPECT_TRUE(changes[changesBefore + 1].on);
  EXPECT_GE(changes[changesBefore + 1].atMs - changes[changesBefore].atMs, 220u) << "ResetTime";
  EXPECT_EQ(com1->Purges(), 1);
  EXPECT_EQ(com1->Written(), (Bytes{0x1B, 0x51, 0x0F, 0x0D}));
  ClosePort(index);
}

TEST_F(ResetRtsTest, RetriesTheRtsOnCommandButReturnsTheRtsResult) {
  const uint8_t index = OpenPort(u"COM1:");
  com1->SetAcceptWrites(false);
  const int attemptsBefore = com1->WriteAttempts();
  EXPECT_TRUE(Io(NVP_RESET_RTS | index, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(com1->WriteAttempts() - attemptsBefore, 3) << "RTSMaxRetries";
  ClosePort(index);
}

TEST_F(ResetRtsTest, OnAParallelPortNothingHappens) {
  const uint8_t index = OpenPort(u"LPT1:");
  lpt1->ClearWritten();
  EXPECT_FALSE(Io(NVP_RESET_RTS | index, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_TRUE(lpt1->Written().empty());
  ClosePort(index);
}

// The settings, read by NVP_Init, and the RTS commands they select.
struct SettingsCase {
  const char* what;
  std::vector<std::pair<std::u16string, DWORD>> values;
  bool keyExists;
  PortDriverSettings expected;
  Bytes onOpen;
  Bytes onClose;
};

class SettingsTest : public PortDriverTest, public ::testing::WithParamInterface<SettingsCase> {
 protected:
  void Settings() override {
    if (!GetParam().keyExists) return;
    ASSERT_TRUE(plat::RegistrySetString(kPortDriverKey, u"Dll", u"x"));
    for (auto& [name, value] : GetParam().values) SetDword(name, value);
  }
};

PortDriverSettings With(bool rtsOnOff, uint32_t on = 13, uint32_t off = 1) {
  PortDriverSettings s;
  s.rtsOnOff = rtsOnOff;
  s.rtsOn = on;
  s.rtsOff = off;
  return s;
}

TEST_P(SettingsTest, AreReadAtInitAndSelectTheRtsCommands) {
  const SettingsCase& c = GetParam();
  const PortDriverSettings s = Locked([] { return g_settings; });
  EXPECT_EQ(s.rtsOnOff, c.expected.rtsOnOff);
  EXPECT_EQ(s.rtsOn, c.expected.rtsOn);
  EXPECT_EQ(s.rtsOff, c.expected.rtsOff);
  EXPECT_EQ(s.resetTime, c.expected.resetTime);
  EXPECT_EQ(s.resetWaitTime, c.expected.resetWaitTime);
  EXPECT_EQ(s.rtsMaxRetries, c.expected.rtsMaxRetries);
  EXPECT_EQ(s.rtsRetryWait, c.expected.rtsRetryWait);

  // One RTS-on command for the real open, none for the shared one.
  const uint8_t index = OpenPort(u"LPT1:");
  EXPECT_EQ(OpenPort(u"LPT1:"), index);
  EXPECT_EQ(lpt1->Written(), c.onOpen);
  lpt1->ClearWritten();
  ClosePort(index);
  EXPECT_TRUE(lpt1->Written().empty());
  ClosePort(index);
  EXPECT_EQ(lpt1->Written(), c.onClose);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, SettingsTest,
    ::testing::Values(SettingsCase{"no key", {}, false, With(false), {}, {}},
                      SettingsCase{"key without values", {}, true, With(false), {}, {}},
                      SettingsCase{"RTSOnOff with data 0",
                                   {{u"RTSOnOff", 0}},
                                   true,
                                   With(true),
                                   {0x1B, 0x51, 0x0F, 0x0D},
                                   {0x1B, 0x51, 0x0F, 0x01}},
                      SettingsCase{"RTSOn 0x10D",
                                   {{u"RTSOnOff", 1}, {u"RTSOn", 0x10D}, {u"RTSOff", 0x202}},
                                   true,
                                   With(true, 0x10D, 0x202),
                                   {0x1B, 0x51, 0x0F, 0x0D},
                                   {0x1B, 0x51, 0x0F, 0x02}},
                      SettingsCase{"RTSOn without RTSOnOff", {{u"RTSOn", 0x22}}, true, With(false, 0x22), {}, {}},
                      SettingsCase{
                          "timings",
                          {{u"ResetTime", 5}, {u"ResetWaitTime", 6}, {u"RTSMaxRetries", 7}, {u"RTSRetryWait", 8}},
                          true,
                          [] {
                            PortDriverSettings s;
                            s.resetTime = 5;
                            s.resetWaitTime = 6;
                            s.rtsMaxRetries = 7;
                            s.rtsRetryWait = 8;
                            return s;
                          }(),
                          {},
                          {}}),
    [](const auto& info) {
      std::string n = info.param.what;
      for (char& ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST_F(ControlTest, ModelCodeOfThePortMostRecentlyOpenedAnew) {
  const char s91[] = "\x00\x27MFG:Norv;DESCRIPTION:USB Printer S91;";
  lpt1->SetDeviceId(std::string(s91, sizeof s91 - 1));
  lpt2->SetDeviceId("DESCRIPTION:USB Printer R5;");
  const uint8_t a = OpenPort(u"LPT1:");
  EXPECT_EQ(GetCurrentModelCode(), 3u);
  const uint8_t b = OpenPort(u"LPT2:");
  EXPECT_EQ(GetCurrentModelCode(), 1u);
  EXPECT_EQ(OpenPort(u"LPT1:"), a);
  EXPECT_EQ(GetCurrentModelCode(), 1u) << "a shared open leaves it";
  ClosePort(a);
  ClosePort(a);
  ClosePort(b);
  EXPECT_EQ(GetCurrentModelCode(), 1u) << "still readable after the job";
  const uint8_t c = OpenPort(u"COM1:");
  EXPECT_EQ(GetCurrentModelCode(), 0u);
  ClosePort(c);
}

TEST_F(ControlTest, StreamEntriesAndEvents) {
  EXPECT_EQ(NVP_Open(0, 0, 0), 1u);
  EXPECT_TRUE(NVP_Close(1));
  // Both events exist under their names, not signalled.
  for (const char16_t* name : {kStatusDataEventName, kStatusTimeoutEventName}) {
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, name);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    CloseHandle(h);
  }
  // Deinit without any request: no monitor, events closed.
  EXPECT_TRUE(NVP_Deinit(0));
  EXPECT_EQ(g_hStatusDataEvent, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_hStatusTimeoutEvent, INVALID_HANDLE_VALUE);
  BYTE out = 0;
  EXPECT_FALSE(Io(NVP_OPEN_NOMONITOR, u"LPT1:", 12, &out, 1, nullptr)) << "no request after deinit";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ASSERT_EQ(NVP_Init(nullptr, nullptr), 1u);
}

TEST_F(ControlTest, ThroughTheDeviceManager) {
  NVP_Deinit(0);
  ASSERT_TRUE(kest_test::RegisterPortDriver());
  HANDLE nvp = CreateFileW(u"NVP1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(nvp, INVALID_HANDLE_VALUE);
  const std::u16string name = u"LPT1:";
  BYTE index = 0;
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(nvp, NVP_OPEN_NOMONITOR, const_cast<char16_t*>(name.c_str()), NameBytes(name), &index, 1,
                              &returned, nullptr));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(returned, 1u);
  const Bytes data = {7, 8};
  EXPECT_TRUE(
      DeviceIoControl(nvp, NVP_WRITE | index, const_cast<uint8_t*>(data.data()), 2, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(lpt1->Written(), data);
  EXPECT_TRUE(DeviceIoControl(nvp, NVP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(lpt1->OpenNow(), 0);
  CloseHandle(nvp);
  plat::UnregisterStreamDriver(u"NVP1:");
  ASSERT_EQ(NVP_Init(nullptr, nullptr), 1u);
}

}  // namespace
}  // namespace pdtest
