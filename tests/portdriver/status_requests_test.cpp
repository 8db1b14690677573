// The printer-status requests of applications: reset, status update, status
// records, stop of the monitor.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/devices.h"
#include "tests/portdriver/monitor_fixture.h"

namespace pdtest {
namespace {

constexpr DWORD kNoError = 0xDEADBEEF;
// The request starts the monitor first, whose platform calls set their own values.
constexpr DWORD kAnyError = 0xFEEDFACE;

// A PortRequest as an application builds it: the name lives in its own
// memory, registered so that the driver can map it.
class CallerRequest {
 public:
  explicit CallerRequest(const std::u16string& name, uint32_t viaRts = 0, uint32_t timeout = 0) : name_(name) {
    address_ = plat::RegisterCallerBuffer(name_.data(), NameBytes(name_));
    req = {address_, NameBytes(name_), viaRts, timeout};
  }
  ~CallerRequest() { plat::UnregisterCallerBuffer(address_); }
  CallerRequest(const CallerRequest&) = delete;
  CallerRequest& operator=(const CallerRequest&) = delete;

  PortRequest req;

 private:
  std::u16string name_;
  uint32_t address_ = 0;
};

BOOL Reset(const CallerRequest& r, DWORD length = 12) {
  return Io(NVP_RESET_PRINTER, &r.req, length, nullptr, 0, nullptr);
}
BOOL Update(const CallerRequest& r, DWORD length = 16) {
  return Io(NVP_UPDATE_PRINTERSTATUS, &r.req, length, nullptr, 0, nullptr);
}
BOOL GetStatus(const std::u16string& name, void* out, DWORD outLen, DWORD* returned) {
  return Io(NVP_GET_PRINTERSTATUS, name.c_str(), NameBytes(name), out, outLen, returned);
}
BOOL StopMonitor(const std::u16string& name) {
  return Io(NVP_STOP_PORTMONITOR, name.c_str(), NameBytes(name), nullptr, 0, nullptr);
}

class StatusRequestTest : public MonitorTest {
 protected:
  // Makes the monitor watch LPT1: (through a first status request) and
  // gives it three status bytes.
  void WatchWithThreeRecords() {
    DWORD returned = 99;
    BYTE out[64];
    ASSERT_TRUE(GetStatus(u"LPT1:", out, sizeof out, &returned));
    EXPECT_EQ(returned, 0u) << "monitoring only started";
    ASSERT_TRUE(Eventually([] { return MonitoredPort() == 1; }));
    EXPECT_EQ(RefCount(1), 1) << "the reference of the request went to the monitor";
    lpt1->QueueRead({0x80, 0x88, 0x82});
    ASSERT_TRUE(Eventually([] { return RecordCount() == 3; }));
  }
};

TEST_F(StatusRequestTest, FirstRequestStartsWatchingThenRecordsAreCopiedOut) {
  WatchWithThreeRecords();
  plat::TakeDebugOutput();

  struct Case {
    const char* what;
    bool withBuffer;
    DWORD outLen;
    BOOL result;
    DWORD returned;
    const char* debug;
    size_t recordsAfter;
  };
  const Case cases[] = {
      {"size query", false, 0, TRUE, 30, "", 3},
      {"length 0 with a buffer", true, 0, FALSE, 77, "invalide output buffer\r\n", 3},
      {"length without a buffer", false, 30, FALSE, 77, "invalide output buffer\r\n", 3},
      {"too small", true, 25, FALSE, 77, "1.buffer too small=> OutBufLen=25\r\n1.buffer too small=> dataSize=30\r\n",
       3},
      {"exact", true, 30, TRUE, 30, "", 0},
      {"empty afterwards", true, 30, TRUE, 0, "", 0},
  };
  BYTE out[30] = {};
  for (const Case& c : cases) {
    DWORD returned = 77;
    EXPECT_EQ(GetStatus(u"LPT1:", c.withBuffer ? out : nullptr, c.outLen, &returned), c.result) << c.what;
    EXPECT_EQ(returned, c.returned) << c.what;
    EXPECT_EQ(plat::TakeDebugOutput(), c.debug) << c.what;
    EXPECT_EQ(RecordCount(), c.recordsAfter) << c.what;
  }
  // Oldest first, 10 bytes each, the byte at offset 8.
  EXPECT_EQ(out[8], 0x80);
  EXPECT_EQ(out[18], 0x88);
  EXPECT_EQ(out[28], 0x82);
  EXPECT_EQ(out[9], 0);
  EXPECT_EQ(out[5], 0);
  SYSTEMTIME now;
  GetLocalTime(&now);
  uint16_t year = 0;
  std::memcpy(&year, out + 6, 2);
  EXPECT_EQ(year, now.wYear);
  EXPECT_EQ(RecordCount(), 0u);
}

TEST_F(StatusRequestTest, LeftoverRecordsAfterTheMonitorEnded) {
  WatchWithThreeRecords();
  ASSERT_TRUE(PostToMonitor(MONITOR_STOP, 0, 0, false));
  WaitMonitorEnded();
  EXPECT_FALSE(IsOpen(1)) << "the monitor held the only reference";
  plat::TakeDebugOutput();
  // Whatever name is given: the last port's records.
  BYTE out[30];
  DWORD returned = 0;
  EXPECT_TRUE(GetStatus(u"COM2:", nullptr, 0, &returned));
  EXPECT_EQ(returned, 30u);
  EXPECT_FALSE(GetStatus(u"COM2:", out, 25, &returned));
  EXPECT_EQ(plat::TakeDebugOutput(), "2.buffer too small=> OutBufLen=25\r\n2.buffer too small=> dataSize=30\r\n");
  EXPECT_TRUE(GetStatus(u"COM2:", out, sizeof out, &returned));
  EXPECT_EQ(returned, 30u);
  EXPECT_EQ(out[18], 0x88);
}

TEST_F(StatusRequestTest, GetStatusForAPortThatCannotBeOpened) {
  DWORD returned = 5;
  BYTE out[10];
  EXPECT_FALSE(GetStatus(u"LPT9:", out, sizeof out, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(plat::TakeDebugOutput(), "NVP_OPEN PrinterOpen error\r\n");
  EXPECT_EQ(TableSize(), 0u);
}

TEST_F(StatusRequestTest, BadRequests) {
  CallerRequest lpt1Request(u"LPT1:");
  PortRequest unmapped = lpt1Request.req;
  unmapped.namePointer = 0x1234;  // not registered by this caller
  PortRequest noSize = lpt1Request.req;
  noSize.nameSize = 0x100;  // only the low 8 bits count
  struct Case {
    const char* what;
    DWORD code;
    const void* in;
    DWORD inLen;
    DWORD error;
    const char* debug;
  };
  const Case cases[] = {
      {"reset without input", NVP_RESET_PRINTER, nullptr, 0, kNoError, ""},
      {"reset of 11 bytes", NVP_RESET_PRINTER, &lpt1Request.req, 11, ERROR_INVALID_PARAMETER, ""},
      {"update of 15 bytes", NVP_UPDATE_PRINTERSTATUS, &lpt1Request.req, 15, ERROR_INVALID_PARAMETER, ""},
      {"update without input", NVP_UPDATE_PRINTERSTATUS, nullptr, 0, kNoError, ""},
      {"reset, name not mapped", NVP_RESET_PRINTER, &unmapped, 12, kNoError,
       "NVP_RESET_PRINTER CeOpenCallerBuffer failed\r\n"},
      {"update, name not mapped", NVP_UPDATE_PRINTERSTATUS, &unmapped, 16, kAnyError,
       "NVP_UPDATE_PRINTERSTATUS CeOpenCallerBuffer failed\r\n"},
      {"reset, name size 0", NVP_RESET_PRINTER, &noSize, 12, kNoError,
       "NVP_RESET_PRINTER CeOpenCallerBuffer failed\r\n"},
      {"status without name", NVP_GET_PRINTERSTATUS, nullptr, 0, kNoError, ""},
  };
  for (const Case& c : cases) {
    SetLastError(kNoError);
    EXPECT_FALSE(Io(c.code, c.in, c.inLen, nullptr, 0, nullptr)) << c.what;
    if (c.error != kAnyError) {
      EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(plat::TakeDebugOutput(), c.debug) << c.what;
  }
  // A mapped name without its NUL inside the given size.
  char16_t unterminated[5] = {u'L', u'P', u'T', u'1', u':'};
  const uint32_t address = plat::RegisterCallerBuffer(unterminated, sizeof unterminated);
  const PortRequest cut = {address, sizeof unterminated, 0, 0};
  for (DWORD code : {NVP_RESET_PRINTER, NVP_UPDATE_PRINTERSTATUS}) {
    EXPECT_FALSE(Io(code, &cut, sizeof cut, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  plat::UnregisterCallerBuffer(address);
  EXPECT_EQ(TableSize(), 0u);
  EXPECT_EQ(lpt1->Opens(), 0);
}

TEST_F(StatusRequestTest, ResetIsKeptAwayFromARunningJobUnlessByRts) {
  const uint8_t parallel = OpenPort(u"LPT1:");
  const uint8_t serial = OpenPort(u"COM1:");
  for (uint8_t i : {parallel, serial}) Io(NVP_SET_JOBACTIVE | i, nullptr, 0, nullptr, 0, nullptr);

  CallerRequest byCommand(u"LPT1:");
  EXPECT_FALSE(Reset(byCommand));
  EXPECT_EQ(MonitorThread(), nullptr) << "nothing handed to a monitor";

  // By RTS the job does not matter: RTS off for 1500 ms, then on again.
  CallerRequest byRts(u"COM1:", 1);
  const size_t before = com1->RtsChanges().size();
  EXPECT_TRUE(Reset(byRts));
  auto changes = com1->RtsChanges();
  ASSERT_EQ(changes.size(), before + 2);
  EXPECT_FALSE(changes[before].on);
  EXPECT_TRUE(changes[before + 1].on);
  EXPECT_GE(changes[before + 1].atMs - changes[before].atMs, 1500u);
  // A parallel port has no RTS line to pulse.
  CallerRequest parallelByRts(u"LPT1:", 1);
  EXPECT_FALSE(Reset(parallelByRts));

  // After the job: the monitor sends the reset on the open port and leaves it open.
  Io(NVP_CLEAR_JOBACTIVE | parallel, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_TRUE(Reset(byCommand));
  EXPECT_TRUE(Eventually([&] { return lpt1->CountWrites(kResetBytes) == 1; }));
  EXPECT_EQ(lpt1->OpenNow(), 1);
  EXPECT_EQ(RefCount(parallel), 1);
  ClosePort(parallel);
  ClosePort(serial);
}

TEST_F(StatusRequestTest, ResetOfAPortThatIsNotOpen) {
  CallerRequest request(u"LPT2:");
  EXPECT_TRUE(Reset(request));
  EXPECT_EQ(TableSize(), 0u) << "opened for the request only";
  EXPECT_TRUE(Eventually([&] { return lpt2->CountWrites(kResetBytes) == 1 && lpt2->OpenNow() == 0; }));
  EXPECT_EQ(lpt2->Opens(), 1);

  // Neither open nor openable: nothing to hand over.
  CallerRequest nowhere(u"LPT9:");
  const HANDLE thread = MonitorThread();
  EXPECT_FALSE(Reset(nowhere));
  EXPECT_EQ(MonitorThread(), thread);
}

TEST_F(StatusRequestTest, ResetAndUpdateFindAnOpenPortByTheShorterName) {
  const uint8_t index = OpenWatched(u"LPT1:");
  CallerRequest request(u"LPT");
  EXPECT_TRUE(Update(request));
  EXPECT_TRUE(Eventually([&] { return lpt1->CountWrites(kStatusRequestBytes) == 1; }));
  EXPECT_EQ(RefCount(index), 2) << "the watched port: no new reference";
  EXPECT_TRUE(Reset(request));
  EXPECT_TRUE(Eventually([&] { return lpt1->CountWrites(kResetBytes) == 1; }));
  EXPECT_EQ(TableSize(), 1u);
  ClosePort(index);
}

TEST_F(StatusRequestTest, AnswerTimeoutKeepsItsLowSixteenBits) {
  const uint8_t index = OpenPort(u"LPT1:");
  CallerRequest request(u"LPT1:", 0, 70000);  // reaches the monitor as 4464 ms
  const uint64_t postedAt = plat::NowMs64();
  EXPECT_TRUE(Update(request));
  ASSERT_TRUE(Signalled(timeoutEvent_, 120000));
  const uint64_t waited = plat::NowMs64() - postedAt;
  EXPECT_GE(waited, 4564u);
  EXPECT_LT(waited, 60000u) << "not 70 s";
  EXPECT_EQ(lpt1->CountWrites(kStatusRequestBytes), 1);
  EXPECT_EQ(MonitoredPort(), index);
  EXPECT_EQ(RefCount(index), 2);
  ClosePort(index);
}

TEST_F(StatusRequestTest, UpdateDuringAJobOnlySwitchesTheMonitor) {
  const uint8_t index = OpenPort(u"LPT2:");
  Io(NVP_SET_JOBACTIVE | index, nullptr, 0, nullptr, 0, nullptr);
  CallerRequest request(u"LPT2:");
  EXPECT_TRUE(Update(request));
  ASSERT_TRUE(Eventually([&] { return MonitoredPort() == index; }));
  SyncMonitor();
  EXPECT_EQ(lpt2->CountWrites(kStatusRequestBytes), 0);
  ClosePort(index);
}

TEST_F(StatusRequestTest, UpdateByRtsPulse) {
  const uint8_t index = OpenPort(u"COM1:");
  const size_t before = com1->RtsChanges().size();
  CallerRequest request(u"COM1:", 1);
  EXPECT_TRUE(Update(request));
  EXPECT_TRUE(Eventually([&] { return com1->RtsChanges().size() == before + 2; }));
  EXPECT_EQ(com1->CountWrites(kStatusRequestBytes), 0);
  ClosePort(index);
}

TEST_F(StatusRequestTest, RepeatedRequestsTakeOneMonitorReference) {
  // Requests that come faster than the monitor serves them each hand it a
  // reference; it keeps one.
  const uint8_t index = OpenPort(u"LPT1:");
  CallerRequest request(u"LPT1:");
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Update(request));
    BYTE out[10];
    DWORD returned = 0;
    EXPECT_TRUE(GetStatus(u"LPT1:", out, sizeof out, &returned));
  }
  ASSERT_TRUE(Eventually([&] { return MonitoredPort() == index; }));
  SyncMonitor();
  EXPECT_EQ(RefCount(index), 2);
  ClosePort(index);
}

TEST_F(StatusRequestTest, StopPortMonitor) {
  EXPECT_FALSE(StopMonitor(u"LPT1:")) << "empty table";
  const uint8_t watched = OpenWatched(u"LPT1:");
  const uint8_t other = OpenPort(u"LPT2:");
  EXPECT_FALSE(StopMonitor(u"COM1:")) << "a name that is not open";
  // Any open port's name schedules the end of the monitor as a whole.
  EXPECT_TRUE(StopMonitor(u"LPT2:"));
  const uint64_t stoppedAt = plat::NowMs64();
  EXPECT_GE(WaitMonitorEnded() - stoppedAt, 30000u);
  EXPECT_EQ(RefCount(watched), 1) << "the client's reference stays";
  EXPECT_FALSE(StopMonitor(u"LPT1:")) << "nothing watched";
  ClosePort(watched);
  ClosePort(other);
}

}  // namespace
}  // namespace pdtest
