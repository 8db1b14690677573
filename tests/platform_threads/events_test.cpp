#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/devices.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace {

class EventsTest : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetClockSpeed(100.0); }
  void TearDown() override { plat::SetClockSpeed(1.0); }
};

TEST_F(EventsTest, NamedEventIdentityAndLifetime) {
  SetLastError(0);
  HANDLE a = CreateEventW(nullptr, FALSE, FALSE, u"NORV_TEST_EVENT");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE b = CreateEventW(nullptr, TRUE, TRUE, u"NORV_TEST_EVENT");  // flags of the existing event win
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(a, b);
  HANDLE other = CreateEventW(nullptr, FALSE, FALSE, u"NORV_TEST_EVENT_2");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);  // not signalled, auto-reset
  EXPECT_TRUE(EventModify(a, EVENT_SET));
  EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);  // the wait through b reset it

  // Closing one handle keeps the event for the other.
  EXPECT_TRUE(EventModify(b, EVENT_SET));
  EXPECT_TRUE(CloseHandle(a));
  HANDLE c = CreateEventW(nullptr, FALSE, FALSE, u"NORV_TEST_EVENT");
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(b));
  EXPECT_TRUE(CloseHandle(c));

  // Once every handle is closed the name makes a fresh event.
  HANDLE d = CreateEventW(nullptr, TRUE, TRUE, u"NORV_TEST_EVENT");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(d, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(d, 0), WAIT_OBJECT_0);  // manual reset this time
  CloseHandle(d);
  CloseHandle(other);

  // Unnamed events are always distinct.
  HANDLE u1 = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  HANDLE u2 = CreateEventW(nullptr, FALSE, FALSE, u"");
  EXPECT_EQ(WaitForSingleObject(u2, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(u1, 0), WAIT_OBJECT_0);
  CloseHandle(u1);
  CloseHandle(u2);
}

TEST_F(EventsTest, TooLongNameIsRefused) {
  std::u16string name(300, u'x');
  SetLastError(0);
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// One thread, a sequence of operations and the result of a 0 ms wait after each.
TEST_F(EventsTest, ResetModesAndOperations) {
  enum Op { kWait, kSet, kReset, kPulse };
  struct Case {
    const char* what;
    BOOL manual, initial;
    std::vector<std::pair<Op, DWORD>> steps;  // for kWait: the expected result
  };
  const Case cases[] = {
      {"auto, initially set, one wait takes it", FALSE, TRUE, {{kWait, WAIT_OBJECT_0}, {kWait, WAIT_TIMEOUT}}},
      {"auto, set twice is still one release", FALSE, FALSE,
       {{kSet, 0}, {kSet, 0}, {kWait, WAIT_OBJECT_0}, {kWait, WAIT_TIMEOUT}}},
      {"auto, reset after set", FALSE, FALSE, {{kSet, 0}, {kReset, 0}, {kWait, WAIT_TIMEOUT}}},
      {"manual stays set", TRUE, FALSE,
       {{kWait, WAIT_TIMEOUT}, {kSet, 0}, {kWait, WAIT_OBJECT_0}, {kWait, WAIT_OBJECT_0}, {kReset, 0},
        {kWait, WAIT_TIMEOUT}}},
      {"pulse without waiters leaves it not signalled", TRUE, TRUE, {{kPulse, 0}, {kWait, WAIT_TIMEOUT}}},
      {"pulse of an auto event without waiters", FALSE, FALSE, {{kPulse, 0}, {kWait, WAIT_TIMEOUT}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE e = CreateEventW(nullptr, c.manual, c.initial, nullptr);
    ASSERT_NE(e, nullptr);
    for (auto [op, expected] : c.steps) {
      switch (op) {
        case kWait:
          EXPECT_EQ(WaitForSingleObject(e, 0), expected);
          break;
        case kSet:
          EXPECT_TRUE(SetEvent(e));
          break;
        case kReset:
          EXPECT_TRUE(ResetEvent(e));
          break;
        case kPulse:
          EXPECT_TRUE(EventModify(e, EVENT_PULSE));
          break;
      }
    }
    CloseHandle(e);
  }
}

TEST_F(EventsTest, BadHandlesAndFunctions) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetLastError(0);
  EXPECT_FALSE(EventModify(e, 99));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(e);
  const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, e /* closed */, reinterpret_cast<HANDLE>(0x7777770)};
  for (HANDLE h : bad) {
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_FALSE(ResetEvent(h));
    EXPECT_FALSE(EventModify(h, EVENT_SET));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  // A thread handle is waitable but no event.
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(SetEvent(t));
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  CloseHandle(t);
}

TEST_F(EventsTest, TimeoutRunsOnTheStandInClock) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  auto real0 = std::chrono::steady_clock::now();
  uint64_t t0 = plat::NowMs64();
  EXPECT_EQ(WaitForSingleObject(e, 30000), WAIT_TIMEOUT);
  uint64_t elapsed = plat::NowMs64() - t0;
  auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - real0);
  EXPECT_GE(elapsed, 29999u);    // 30 s of stand-in time passed ...
  EXPECT_LT(realMs.count(), 20000);  // ... in 300 ms of real time
  CloseHandle(e);
}

TEST_F(EventsTest, TimedWaitEndsWhenSet) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([&] { SetEvent(e); });
  // A whole day of stand-in time: only the set ends this wait.
  EXPECT_EQ(WaitForSingleObject(e, 24u * 3600 * 1000), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(e);
}

// Three threads wait on one auto-reset event; each set releases exactly one.
TEST_F(EventsTest, AutoResetReleasesOneWaiterPerSet) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE woke = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
      released.fetch_add(1);
      SetEvent(woke);
    });
  }
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    EXPECT_TRUE(SetEvent(e));
    ASSERT_EQ(WaitForSingleObject(woke, INFINITE), WAIT_OBJECT_0);
    // Nobody else wakes in the next 30 s of stand-in time.
    EXPECT_EQ(WaitForSingleObject(woke, 30000), WAIT_TIMEOUT);
    EXPECT_EQ(released.load(), round);
  }
  for (auto& w : waiters) w.join();
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  CloseHandle(e);
  CloseHandle(woke);
}

// A manual-reset event releases every waiter and stays signalled.
TEST_F(EventsTest, ManualResetReleasesAllWaiters) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
      released.fetch_add(1);
    });
  }
  EXPECT_TRUE(SetEvent(e));
  for (auto& w : waiters) w.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  CloseHandle(e);
}

// A pulse releases a thread that waits and leaves the event not signalled.
// The pulse is repeated until the waiter, which may not be waiting yet, is out.
TEST_F(EventsTest, PulseReleasesAWaiterAndResets) {
  for (BOOL manual : {FALSE, TRUE}) {
    SCOPED_TRACE(manual);
    HANDLE e = CreateEventW(nullptr, manual, FALSE, nullptr);
    HANDLE out = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter([&] {
      EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
      SetEvent(out);
    });
    do {
      EXPECT_TRUE(EventModify(e, EVENT_PULSE));
    } while (WaitForSingleObject(out, 1000) == WAIT_TIMEOUT);
    waiter.join();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
    CloseHandle(out);
  }
}

}  // namespace
