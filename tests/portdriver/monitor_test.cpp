// The status monitor thread: polling, records, events, messages, take-over,
// delayed stops and the end of the thread.
#include <gtest/gtest.h>

#include "ports/ports.h"
#include "tests/portdriver/monitor_fixture.h"

namespace pdtest {
namespace {

constexpr WPARAM kThirtySeconds = 30000;

TEST_F(MonitorTest, OpenStartsTheMonitorWhichHoldsOneReference) {
  ASSERT_EQ(MonitorThread(), nullptr);
  const uint64_t before = plat::NowMs64();
  const uint8_t index = OpenPort(u"LPT1:", NVP_OPEN);
  ASSERT_EQ(index, 1);
  // Thread start (250 ms) and the pause after the post (150 ms).
  EXPECT_GE(plat::NowMs64() - before, 400u);
  EXPECT_NE(MonitorThread(), nullptr);
  ASSERT_TRUE(Eventually([&] { return MonitoredPort() == index && RefCount(index) == 2; }));

  // A shared open of the watched port: no second monitor reference.
  HANDLE thread = MonitorThread();
  EXPECT_EQ(OpenPort(u"LPT1:", NVP_OPEN), index);
  SyncMonitor();
  EXPECT_EQ(RefCount(index), 3);
  EXPECT_EQ(MonitorThread(), thread) << "the running monitor was woken, not replaced";
  EXPECT_TRUE(ClosePort(index));
  EXPECT_TRUE(ClosePort(index));
  EXPECT_EQ(RefCount(index), 1);
}

TEST_F(MonitorTest, EnsureStatusThreadStartsOnceThenWakes) {
  uint64_t t = plat::NowMs64();
  EXPECT_TRUE(EnsureStatusThread());
  EXPECT_GE(plat::NowMs64() - t, 250u);
  HANDLE first = MonitorThread();
  ASSERT_NE(first, nullptr);
  t = plat::NowMs64();
  EXPECT_TRUE(EnsureStatusThread());
  EXPECT_GE(plat::NowMs64() - t, 150u);
  EXPECT_EQ(MonitorThread(), first);
}

TEST_F(MonitorTest, NewOpenEmptiesTheHistory) {
  const uint8_t index = OpenWatched(u"LPT1:");
  lpt1->QueueRead({0x88});
  ASSERT_TRUE(Eventually([] { return HistoryCount() == 1; }));
  EXPECT_EQ(OpenPort(u"LPT1:", NVP_OPEN), index);
  EXPECT_EQ(HistoryCount(), 0u);
  ClosePort(index);
  ClosePort(index);
}

TEST_F(MonitorTest, LastClientCloseStopsTheMonitorThirtySecondsLater) {
  const uint8_t index = OpenWatched(u"LPT1:");
  EXPECT_TRUE(ClosePort(index));
  const uint64_t closedAt = plat::NowMs64();
  EXPECT_EQ(RefCount(index), 1) << "the monitor's reference keeps the port";
  const uint64_t endedAt = WaitMonitorEnded();
  EXPECT_GE(endedAt - closedAt, 30000u);
  EXPECT_FALSE(IsOpen(index));
  EXPECT_EQ(lpt1->OpenNow(), 0);
  EXPECT_EQ(MonitoredPort(), 0);
}

TEST_F(MonitorTest, KeepRunningCancelsTheDelayedStop) {
  const uint8_t index = OpenWatched(u"LPT1:");
  ClosePort(index);
  const uint64_t closedAt = plat::NowMs64();
  SleepUntil(closedAt + 10000);
  EXPECT_TRUE(EnsureStatusThread());
  SleepUntil(closedAt + 45000);
  EXPECT_NE(MonitorThread(), nullptr);
  EXPECT_TRUE(IsOpen(index));
}

TEST_F(MonitorTest, SecondDelayedStopReplacesTheFirst) {
  const uint8_t index = OpenWatched(u"LPT1:");
  ClosePort(index);
  const uint64_t firstAt = plat::NowMs64();
  SleepUntil(firstAt + 10000);
  const uint64_t secondAt = plat::NowMs64();
  ASSERT_TRUE(PostToMonitor(MONITOR_STOP, kThirtySeconds, 0, false));
  SleepUntil(firstAt + 35000);
  EXPECT_NE(MonitorThread(), nullptr) << "the first deadline no longer counts";
  EXPECT_GE(WaitMonitorEnded() - secondAt, 30000u);
  EXPECT_FALSE(IsOpen(index));
}

TEST_F(MonitorTest, StopDeadlineAcrossTheTickWrap) {
  plat::SetClock(0xFFFFFFFFu - 10000, Speed());
  const uint8_t index = OpenWatched(u"LPT1:");
  ClosePort(index);
  const uint64_t closedAt = plat::NowMs64();
  ASSERT_LT(closedAt, uint64_t{1} << 32);
  const uint64_t endedAt = WaitMonitorEnded();
  EXPECT_GE(endedAt - closedAt, 30000u);
  EXPECT_LT(GetTickCount(), 0x10000000u) << "ended after the wrap";
  EXPECT_FALSE(IsOpen(index));
}

TEST_F(MonitorTest, SilentPrinterGivesExactlyOneTimeoutEvent) {
  const uint8_t index = OpenWatched(u"LPT1:");
  const uint64_t postedAt = plat::NowMs64();
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index | (400 << 16), 1, false));
  ASSERT_TRUE(Signalled(timeoutEvent_, 60000));
  EXPECT_GE(plat::NowMs64() - postedAt, 500u) << "timeout + 100 ms";
  EXPECT_FALSE(Signalled(timeoutEvent_, 3000));
  EXPECT_EQ(lpt1->CountWrites(kStatusRequestBytes), 1);
  EXPECT_FALSE(Signalled(dataEvent_, 0));
  ClosePort(index);
}

TEST_F(MonitorTest, ReplyDeadlineAcrossTheTickWrap) {
  const uint8_t index = OpenWatched(u"COM1:");
  // Slow the clock so that the request surely goes out before the wrap, with
  // a deadline past it (numerically below the tick count of the send).
  plat::SetClock(0xFFFFFFFFu - 200, 0.05);
  const uint64_t postedAt = plat::NowMs64();
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index | (400 << 16), 1, false));
  ASSERT_TRUE(Eventually([&] { return com1->CountWrites(kStatusRequestBytes) == 1; }));
  const DWORD sentAt = com1->FirstWriteTick(kStatusRequestBytes);
  ASSERT_GT(sentAt, 0xFFFFFFFFu - 500) << "the deadline wraps";
  plat::SetClockSpeed(Speed());
  ASSERT_TRUE(Signalled(timeoutEvent_, 60000));
  EXPECT_GE(plat::NowMs64() - postedAt, 500u) << "no early timeout before the wrap";
  EXPECT_FALSE(Signalled(timeoutEvent_, 3000));
  ClosePort(index);
}

TEST_F(MonitorTest, TimeoutZeroNeverSignals) {
  const uint8_t index = OpenWatched(u"LPT1:");
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index, 1, false));
  ASSERT_TRUE(Eventually([&] { return lpt1->CountWrites(kStatusRequestBytes) == 1; }));
  EXPECT_FALSE(Signalled(timeoutEvent_, 5000));
  ClosePort(index);
}

TEST_F(MonitorTest, AnswerEndsTheReplyWatch) {
  lpt1->SetAutoReply(kStatusRequestBytes, {0x80});
  const uint8_t index = OpenWatched(u"LPT1:");
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index | (400 << 16), 1, false));
  ASSERT_TRUE(Signalled(dataEvent_, 60000));
  EXPECT_FALSE(Signalled(timeoutEvent_, 3000));
  EXPECT_EQ(RecordBytes(g_dequeStatusRecords), Bytes{0x80});
  ClosePort(index);
}

TEST_F(MonitorTest, StatusRequestThatCannotBeSentSignalsTheTimeoutAtOnce) {
  const uint8_t index = OpenWatched(u"COM1:");
  com1->SetAcceptWrites(false);
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index | (30000 << 16), 1, false));
  EXPECT_TRUE(Signalled(timeoutEvent_, 10000)) << "long before the 30 s answer time";
  com1->SetAcceptWrites(true);
  ClosePort(index);
}

TEST_F(MonitorTest, QueryByRtsPulse) {
  const uint8_t index = OpenWatched(u"COM1:");
  const size_t before = com1->RtsChanges().size();
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index, 0x10001, false));
  ASSERT_TRUE(Eventually([&] { return com1->RtsChanges().size() >= before + 2; }));
  auto changes = com1->RtsChanges();
  EXPECT_FALSE(changes[before].on);
  EXPECT_TRUE(changes[before + 1].on);
  EXPECT_GE(changes[before + 1].atMs - changes[before].atMs, 20u);
  EXPECT_EQ(com1->CountWrites(kStatusRequestBytes), 0);
  ClosePort(index);
}

TEST_F(MonitorTest, ResetMessageWritesAndClosesTheHandleItWasHanded) {
  ASSERT_TRUE(EnsureStatusThread());
  struct Case {
    LPARAM lParam;
    bool closed;
  };
  for (const Case c : {Case{PORTTYPE_PARALLEL | 0x10000, true}, Case{PORTTYPE_PARALLEL, false}}) {
    uint8_t type = 0;
    HANDLE h = PrinterOpen(u"LPT2:", &type);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    lpt2->ClearWritten();
    ASSERT_TRUE(PostToMonitor(MONITOR_RESET_PRINTER, reinterpret_cast<WPARAM>(h), c.lParam, false));
    ASSERT_TRUE(Eventually([&] { return lpt2->Written() == kResetBytes; }));
    if (c.closed) {
      EXPECT_TRUE(Eventually([&] { return lpt2->OpenNow() == 0; }));
    } else {
      // A reset handed over after it, with its handle to close, marks the end
      // of this one.
      uint8_t barrierType = 0;
      HANDLE barrier = PrinterOpen(u"LPT3:", &barrierType);
      ASSERT_TRUE(
          PostToMonitor(MONITOR_RESET_PRINTER, reinterpret_cast<WPARAM>(barrier), barrierType | 0x10000, false));
      ASSERT_TRUE(Eventually([&] { return lpt3->Closes() == 1; }));
      EXPECT_EQ(lpt2->OpenNow(), 1);
      EXPECT_TRUE(PortClose(h, PORTTYPE_PARALLEL));
    }
  }
  EXPECT_EQ(TableSize(), 0u) << "the monitor's own port is not touched";
}

TEST_F(MonitorTest, ResetThatCannotBeWrittenSignalsTheTimeout) {
  ASSERT_TRUE(EnsureStatusThread());
  com2->SetAcceptWrites(false);
  uint8_t type = 0;
  HANDLE h = PrinterOpen(u"COM2:", &type);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(PostToMonitor(MONITOR_RESET_PRINTER, reinterpret_cast<WPARAM>(h), type | 0x10000, false));
  EXPECT_TRUE(Signalled(timeoutEvent_, 60000));
  EXPECT_TRUE(Eventually([&] { return com2->OpenNow() == 0; })) << "closed all the same";
}

// Clients keep waking a monitor whose stop falls due at any moment: every
// open ends up watched by exactly one monitor, whether the old one was woken
// in time or a new one was started after it ended.
TEST_F(MonitorTest, WakingAMonitorThatIsJustEnding) {
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(PostToMonitor(MONITOR_STOP, 1 + round % 3, 0, true));
    if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 7)));
    ASSERT_EQ(OpenPort(u"LPT1:", NVP_OPEN), 1);
    ASSERT_TRUE(Eventually([] { return MonitoredPort() == 1 && RefCount(1) == 2; }));
    SyncMonitor();
    EXPECT_EQ(RefCount(1), 2);
    EXPECT_EQ(MonitoredPort(), 1);
    ClosePort(1);
  }
}

// The monitor's stop falls due while a client holds the lock: the monitor
// waits for the lock on its way out while the client wakes it and hands it a
// port. It must stay and watch that port.
TEST_F(MonitorTest, WokenWhileWaitingToEnd) {
  ASSERT_TRUE(EnsureStatusThread());  // idle: no port, no lock taken per pass
  ASSERT_TRUE(PostToMonitor(MONITOR_STOP, 50, 0, false));
  EnterCriticalSection(&g_csPorts);
  Sleep(1000);  // the stop falls due; the monitor now waits for the lock
  const uint8_t index = OpenPort(u"LPT1:", NVP_OPEN);
  LeaveCriticalSection(&g_csPorts);
  ASSERT_EQ(index, 1);
  EXPECT_TRUE(Eventually([] { return MonitoredPort() == 1 && RefCount(1) == 2; }));
  EXPECT_NE(MonitorThread(), nullptr);
  ClosePort(index);
}

TEST_F(MonitorTest, ThreeBytesInOneReadMakeThreeRecordsInEachQueue) {
  const uint8_t index = OpenWatched(u"LPT1:");
  SYSTEMTIME now;
  GetLocalTime(&now);
  lpt1->QueueRead({0x80, 0x88, 0x81});  // unasked: the printer reports on its own
  ASSERT_TRUE(Signalled(dataEvent_, 60000));
  EXPECT_EQ(RecordBytes(g_dequeStatusRecords), (Bytes{0x80, 0x88, 0x81}));
  EXPECT_EQ(RecordBytes(g_dequeStatusHistory), (Bytes{0x80, 0x88, 0x81}));
  EXPECT_FALSE(Signalled(dataEvent_, 2000)) << "one event for the read";
  Locked([&] {
    EXPECT_EQ(g_byRecordsPort, index);
    const StatusRecord& r = *g_dequeStatusRecords.front();
    EXPECT_EQ(r.year, now.wYear);
    EXPECT_EQ(r.month, now.wMonth);
    EXPECT_EQ(r.reserved1, 0);
    EXPECT_EQ(r.reserved2, 0);
    EXPECT_LT(r.second, 60);
    EXPECT_NE(g_dequeStatusRecords.front(), g_dequeStatusHistory.front()) << "separate copies";
    return 0;
  });
  ClosePort(index);
}

TEST_F(MonitorTest, QueuesKeepTheNewestSixtyFour) {
  const uint8_t index = OpenWatched(u"LPT1:");
  Bytes seventy;
  for (uint8_t b = 0; b < 70; ++b) seventy.push_back(b);
  lpt1->QueueRead(seventy);
  const Bytes newest(seventy.begin() + 6, seventy.end());
  EXPECT_TRUE(Eventually([&] { return RecordBytes(g_dequeStatusRecords) == newest; }));
  EXPECT_EQ(RecordBytes(g_dequeStatusHistory), newest);
  ClosePort(index);
}

TEST_F(MonitorTest, QueryForTheWatchedPortTouchesNothingElse) {
  const uint8_t index = OpenWatched(u"LPT1:");
  lpt1->QueueRead({0x80, 0x80});
  ASSERT_TRUE(Eventually([] { return RecordCount() == 2; }));
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index, 1, false));
  SyncMonitor();
  EXPECT_EQ(lpt1->CountWrites(kStatusRequestBytes), 1);
  EXPECT_EQ(RecordCount(), 2u);
  EXPECT_EQ(RefCount(index), 2);
  ClosePort(index);
}

TEST_F(MonitorTest, TakeOverGivesTheOldPortBackAndEmptiesTheRecords) {
  const uint8_t first = OpenWatched(u"LPT1:");
  lpt1->QueueRead({0x80});
  ASSERT_TRUE(Eventually([] { return RecordCount() == 1; }));
  const uint8_t second = OpenWatched(u"LPT2:");
  EXPECT_TRUE(Eventually([&] { return RefCount(first) == 1; })) << "the old reference given back";
  EXPECT_EQ(RefCount(second), 2);
  EXPECT_EQ(RecordCount(), 0u);
  // A port that is not open: the monitor ends up watching nothing.
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, 9, 1, false));
  EXPECT_TRUE(Eventually([&] { return MonitoredPort() == 0 && RefCount(second) == 1; }));
  ClosePort(first);
  ClosePort(second);
  EXPECT_EQ(TableSize(), 0u);
}

TEST_F(MonitorTest, UnpluggedPrinterIsClosedAndTheMonitorEnds) {
  const uint8_t index = OpenWatched(u"LPT1:");
  ASSERT_EQ(RefCount(index), 2);
  lpt1->SetGone(true);
  WaitMonitorEnded();
  EXPECT_FALSE(IsOpen(index)) << "closed whatever other users it had";
  EXPECT_EQ(lpt1->OpenNow(), 0);
  EXPECT_EQ(MonitoredPort(), 0);
  const Bytes data = {1, 2};
  EXPECT_FALSE(Io(NVP_WRITE | index, data.data(), 2, nullptr, 0, nullptr));
  EXPECT_FALSE(Io(NVP_CHECK_STATUS | index, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_FALSE(ClosePort(index));
  EXPECT_FALSE(Signalled(dataEvent_, 0));
  EXPECT_FALSE(Signalled(timeoutEvent_, 0));

  // Plugged in again: the next job opens it anew.
  lpt1->SetGone(false);
  EXPECT_EQ(OpenWatched(u"LPT1:"), 1);
  EXPECT_EQ(lpt1->Opens(), 2);
  ClosePort(1);
}

TEST_F(MonitorTest, DeinitEndsTheMonitorWhichGivesItsPortBack) {
  const uint8_t index = OpenWatched(u"LPT1:");
  ClosePort(index);
  EXPECT_TRUE(NVP_Deinit(0));
  EXPECT_EQ(g_hStatusThread, nullptr);
  EXPECT_TRUE(g_mapOpenPorts.empty());
  EXPECT_EQ(lpt1->OpenNow(), 0);
  ASSERT_EQ(NVP_Init(nullptr, nullptr), 1u);
}

TEST_F(MonitorTest, DeinitKeepsTheLockOfAMonitorThatDidNotEnd) {
  const uint8_t index = OpenWatched(u"LPT1:");
  ClosePort(index);  // the monitor's reference is the last
  const int attempts = lpt1->WriteAttempts();
  lpt1->HoldWrites(true);
  ASSERT_TRUE(PostToMonitor(MONITOR_QUERY_STATUS, index, 1, false));
  ASSERT_TRUE(Eventually([&] { return lpt1->WriteAttempts() > attempts; }));  // stuck in the write
  EXPECT_TRUE(NVP_Deinit(0));                                                 // gives up after 2 s
  EXPECT_NE(MonitorThread(), nullptr) << "the lock is still there to read it under";
  lpt1->HoldWrites(false);
  EXPECT_TRUE(Eventually([] { return MonitorThread() == nullptr; })) << "the stop was still served";
  EXPECT_FALSE(IsOpen(index));
  ASSERT_EQ(NVP_Init(nullptr, nullptr), 1u);
}

}  // namespace
}  // namespace pdtest
