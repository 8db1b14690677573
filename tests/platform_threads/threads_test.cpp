#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/devices.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace {

// Timed waits in these tests run on a sped-up clock: 30 s of stand-in time
// take 300 ms of real time.
class ThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetClockSpeed(100.0); }
  void TearDown() override { plat::SetClockSpeed(1.0); }
};

struct Started {
  HANDLE handle;
  DWORD id;
};

template <class F>
Started Start(F* body) {
  Started s{nullptr, 0};
  s.handle = CreateThread(
      nullptr, 0, [](LPVOID p) -> DWORD { return (*static_cast<F*>(p))(); }, body, 0, &s.id);
  return s;
}

void DrainOwnQueue() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST_F(ThreadsTest, ThreadIdsAreSmallStableAndDistinct) {
  DWORD mine = GetCurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(GetCurrentThreadId(), mine);
  DWORD seenInside = 0;
  auto body = [&]() -> DWORD {
    seenInside = GetCurrentThreadId();
    return 0;
  };
  Started t = Start(&body);
  ASSERT_NE(t.handle, nullptr);
  ASSERT_EQ(WaitForSingleObject(t.handle, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(seenInside, t.id);
  EXPECT_NE(t.id, mine);
  EXPECT_NE(t.id, 0u);
  EXPECT_TRUE(CloseHandle(t.handle));
}

// Messages posted to the calling thread itself: order, filters and removal.
TEST_F(ThreadsTest, PeekFiltersAndRemoval) {
  DrainOwnQueue();
  const DWORD self = GetCurrentThreadId();
  for (UINT m : {WM_USER + 1, WM_USER + 5, WM_USER + 3, WM_USER + 5}) {
    ASSERT_TRUE(PostThreadMessageW(self, m, m * 10, -static_cast<LPARAM>(m)));
  }
  struct Case {
    UINT min, max, remove;
    BOOL found;
    UINT message;
  };
  const Case cases[] = {
      {0, 0, PM_NOREMOVE, TRUE, WM_USER + 1},            // all, first left in place
      {0, 0, PM_NOREMOVE, TRUE, WM_USER + 1},            // ... and still there
      {WM_USER + 3, WM_USER + 5, PM_NOREMOVE, TRUE, WM_USER + 5},
      {WM_USER + 3, WM_USER + 3, PM_REMOVE, TRUE, WM_USER + 3},
      {WM_USER + 3, WM_USER + 3, PM_REMOVE, FALSE, 0},   // taken already
      {WM_USER + 6, WM_USER + 9, PM_REMOVE, FALSE, 0},   // nothing in range
      {0, 0, PM_REMOVE, TRUE, WM_USER + 1},
      {0, 0, PM_REMOVE, TRUE, WM_USER + 5},
      {0, 0, PM_REMOVE, TRUE, WM_USER + 5},
      {0, 0, PM_REMOVE, FALSE, 0},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(i++);
    MSG m{};
    ASSERT_EQ(PeekMessageW(&m, nullptr, c.min, c.max, c.remove), c.found);
    if (!c.found) continue;
    EXPECT_EQ(m.message, c.message);
    EXPECT_EQ(m.wParam, c.message * 10);
    EXPECT_EQ(m.lParam, -static_cast<LPARAM>(c.message));
    EXPECT_EQ(m.hwnd, nullptr);
  }
}

// A queue nobody empties stops taking messages instead of growing without end.
TEST_F(ThreadsTest, FullQueueRefusesPosts) {
  DrainOwnQueue();
  const DWORD self = GetCurrentThreadId();
  int accepted = 0;
  while (accepted < 20000 && PostThreadMessageW(self, WM_USER, 0, 0)) ++accepted;
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  DrainOwnQueue();
  EXPECT_TRUE(PostThreadMessageW(self, WM_USER, 0, 0));
  DrainOwnQueue();
}

TEST_F(ThreadsTest, PeekAndGetRefuseBadArguments) {
  MSG m;
  HWND someWindow = reinterpret_cast<HWND>(0x1234);
  EXPECT_FALSE(PeekMessageW(nullptr, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(PeekMessageW(&m, someWindow, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
  EXPECT_EQ(GetMessageW(&m, someWindow, 0, 0), -1);
}

// A worker with a queue takes posted messages in order with GetMessageW,
// blocking in between, and ends on WM_QUIT.
TEST_F(ThreadsTest, PostThenGetInOrderUntilQuit) {
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::vector<MSG> got;
  BOOL quitResult = TRUE;
  auto body = [&]() -> DWORD {
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
    SetEvent(ready);
    BOOL r;
    while ((r = GetMessageW(&m, nullptr, 0, 0)) == TRUE) got.push_back(m);
    quitResult = r;
    return static_cast<DWORD>(got.size());
  };
  Started t = Start(&body);
  ASSERT_NE(t.handle, nullptr);
  ASSERT_EQ(WaitForSingleObject(ready, INFINITE), WAIT_OBJECT_0);
  // The worker blocks in GetMessageW: still running after 30 s.
  EXPECT_EQ(WaitForSingleObject(t.handle, 30000), WAIT_TIMEOUT);
  for (UINT i = 1; i <= 5; ++i) ASSERT_TRUE(PostThreadMessageW(t.id, WM_USER + i, i, 0));
  ASSERT_TRUE(PostThreadMessageW(t.id, WM_QUIT, 0, 0));
  ASSERT_EQ(WaitForSingleObject(t.handle, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(quitResult, FALSE);
  ASSERT_EQ(got.size(), 5u);
  for (UINT i = 1; i <= 5; ++i) {
    EXPECT_EQ(got[i - 1].message, WM_USER + i);
    EXPECT_EQ(got[i - 1].wParam, i);
  }
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t.handle, &code));
  EXPECT_EQ(code, 5u);
  CloseHandle(t.handle);
  CloseHandle(ready);
}

// GetMessageW with a filter leaves other messages for later.
TEST_F(ThreadsTest, GetWithFilterSkipsOtherMessages) {
  DrainOwnQueue();
  const DWORD self = GetCurrentThreadId();
  ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 0, 0));
  ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 2, 0, 0));
  MSG m;
  ASSERT_EQ(GetMessageW(&m, nullptr, WM_USER + 2, WM_USER + 2), TRUE);
  EXPECT_EQ(m.message, WM_USER + 2);
  ASSERT_EQ(GetMessageW(&m, nullptr, 0, 0), TRUE);
  EXPECT_EQ(m.message, WM_USER + 1);
  EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(ThreadsTest, PostFailsWithoutQueueOrAfterEnd) {
  // A thread that never asked for a queue.
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto idle = [&]() -> DWORD { return WaitForSingleObject(release, INFINITE); };
  Started noQueue = Start(&idle);
  ASSERT_NE(noQueue.handle, nullptr);
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(noQueue.id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  SetEvent(release);
  ASSERT_EQ(WaitForSingleObject(noQueue.handle, INFINITE), WAIT_OBJECT_0);
  CloseHandle(noQueue.handle);

  // A thread that had a queue and ended, through CreateThread ...
  auto withQueue = []() -> DWORD {
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    return 0;
  };
  Started ended = Start(&withQueue);
  ASSERT_EQ(WaitForSingleObject(ended.handle, INFINITE), WAIT_OBJECT_0);
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(ended.id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  CloseHandle(ended.handle);

  // ... and a host thread.
  DWORD hostId = 0;
  std::thread([&] {
    hostId = GetCurrentThreadId();
    withQueue();
    EXPECT_TRUE(PostThreadMessageW(hostId, WM_USER, 0, 0));
  }).join();
  EXPECT_FALSE(PostThreadMessageW(hostId, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);

  // Thread id 0 is nobody.
  EXPECT_FALSE(PostThreadMessageW(0, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST_F(ThreadsTest, ThreadHandleSignalledAtExitAndOutlivesClose) {
  HANDLE go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  auto body = [&]() -> DWORD {
    WaitForSingleObject(go, INFINITE);
    SetEvent(done);
    return 42;
  };
  const int before = plat::RunningThreads();
  Started t = Start(&body);
  ASSERT_NE(t.handle, nullptr);
  EXPECT_EQ(plat::RunningThreads(), before + 1);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t.handle, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t.handle, 0), WAIT_TIMEOUT);
  SetEvent(go);
  ASSERT_EQ(WaitForSingleObject(t.handle, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t.handle, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_EQ(plat::RunningThreads(), before);  // counted out once a waiter sees the end
  ASSERT_TRUE(GetExitCodeThread(t.handle, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);  // taken, for the second thread below
  EXPECT_FALSE(GetExitCodeThread(t.handle, nullptr));
  EXPECT_TRUE(CloseHandle(t.handle));
  EXPECT_EQ(WaitForSingleObject(t.handle, 0), WAIT_FAILED);
  EXPECT_FALSE(GetExitCodeThread(t.handle, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // Closing the handle of a running thread leaves it running.
  Started t2 = Start(&body);
  ASSERT_NE(t2.handle, nullptr);
  EXPECT_TRUE(CloseHandle(t2.handle));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
  CloseHandle(go);
  CloseHandle(done);
}

TEST_F(ThreadsTest, CreateThreadRefusesWhatItCannotDo) {
  DWORD id = 77;
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, &id), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(id, 77u);
  auto body = []() -> DWORD { return 0; };
  Started s{nullptr, 0};
  s.handle = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, &body, CREATE_SUSPENDED, &s.id);
  EXPECT_EQ(s.handle, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(ThreadsTest, ExceptionEndsOnlyItsThread) {
  plat::CaptureDebugOutput(true);
  auto body = []() -> DWORD { throw std::runtime_error("boom"); };
  Started t = Start(&body);
  ASSERT_EQ(WaitForSingleObject(t.handle, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t.handle, &code);
  EXPECT_EQ(code, ERROR_GEN_FAILURE);
  EXPECT_NE(plat::TakeDebugOutput().find("ended by an exception"), std::string::npos);
  plat::CaptureDebugOutput(false);
  CloseHandle(t.handle);
}

TEST_F(ThreadsTest, CriticalSectionIsRecursiveAndExclusive) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);  // the owner enters again
  LeaveCriticalSection(&cs);

  std::atomic<bool> entered{false};
  auto contender = [&]() -> DWORD {
    EnterCriticalSection(&cs);
    entered = true;
    LeaveCriticalSection(&cs);
    return 0;
  };
  Started t = Start(&contender);
  // Held once more by this thread: the contender stays out.
  EXPECT_EQ(WaitForSingleObject(t.handle, 30000), WAIT_TIMEOUT);
  EXPECT_FALSE(entered);
  LeaveCriticalSection(&cs);
  ASSERT_EQ(WaitForSingleObject(t.handle, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(entered);
  CloseHandle(t.handle);

  // Plain counting under the lock from several threads adds up exactly (and
  // ThreadSanitizer sees no race on the counter).
  long counter = 0;
  auto adder = [&]() -> DWORD {
    for (int i = 0; i < 20000; ++i) {
      EnterCriticalSection(&cs);
      EnterCriticalSection(&cs);
      ++counter;
      LeaveCriticalSection(&cs);
      LeaveCriticalSection(&cs);
    }
    return 0;
  };
  Started a = Start(&adder);
  Started b = Start(&adder);
  adder();
  WaitForSingleObject(a.handle, INFINITE);
  WaitForSingleObject(b.handle, INFINITE);
  EXPECT_EQ(counter, 60000);
  CloseHandle(a.handle);
  CloseHandle(b.handle);
  DeleteCriticalSection(&cs);
  EXPECT_EQ(cs.impl, nullptr);
}

TEST_F(ThreadsTest, LeaveByAnotherThreadIsRefused) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  plat::CaptureDebugOutput(true);
  std::thread([&] { LeaveCriticalSection(&cs); }).join();
  EXPECT_NE(plat::TakeDebugOutput().find("not held by this thread"), std::string::npos);
  plat::CaptureDebugOutput(false);
  // Still held by this thread: a contender cannot get in until it leaves.
  std::atomic<bool> entered{false};
  auto contender = [&]() -> DWORD {
    EnterCriticalSection(&cs);
    entered = true;
    LeaveCriticalSection(&cs);
    return 0;
  };
  Started t = Start(&contender);
  EXPECT_EQ(WaitForSingleObject(t.handle, 30000), WAIT_TIMEOUT);
  EXPECT_FALSE(entered);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(WaitForSingleObject(t.handle, INFINITE), WAIT_OBJECT_0);
  CloseHandle(t.handle);
  // Deleting while held by the deleting thread lets go first.
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  DeleteCriticalSection(&cs);
  EXPECT_EQ(cs.impl, nullptr);
}

}  // namespace
