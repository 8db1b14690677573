#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/system.h"

namespace {

TEST(Clock, OriginAndWrap) {
  plat::SetClock(0xFFFFFFF0u, 1.0);
  DWORD t0 = GetTickCount();
  EXPECT_GE(t0, 0xFFFFFFF0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  // 40 ms later the 32-bit tick count has wrapped past zero.
  EXPECT_LT(GetTickCount(), 0x80000000u);
  EXPECT_GT(plat::NowMs64(), 0xFFFFFFFFull);
  plat::SetClock(0, 1.0);
}

TEST(Clock, SpeedUpMakesLongSleepsShort) {
  plat::SetClock(1000, 1000.0);
  auto real0 = std::chrono::steady_clock::now();
  DWORD t0 = GetTickCount();
  Sleep(30000);  // 30 s of stand-in time, 30 ms of real time
  DWORD elapsed = GetTickCount() - t0;
  auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - real0);
  EXPECT_GE(elapsed, 30000u);
  EXPECT_LT(realMs.count(), 5000);
  plat::SetClock(0, 1.0);
}

TEST(LastError, IsPerThread) {
  SetLastError(21);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 21u);
}

TEST(DebugOutput, WideFormatsAreCaptured) {
  plat::CaptureDebugOutput(true);
  NKDbgPrintfW(u"1.buffer too small=> OutBufLen=%ld\r\n", 25L);
  NKDbgPrintfW(u"%d %x %s %u%%\r\n", -3, 0x1Fu, u"LPT1:", 7u);
  EXPECT_EQ(plat::TakeDebugOutput(), "1.buffer too small=> OutBufLen=25\r\n-3 1f LPT1: 7%\r\n");
  EXPECT_EQ(plat::TakeDebugOutput(), "");
  plat::CaptureDebugOutput(false);
}

TEST(Crt, RandIsThePlatformGenerator) {
  // state = state * 214013 + 2531011; value = (state >> 16) & 0x7FFF.
  crt::srand(1);
  EXPECT_EQ(crt::rand(), 41);
  EXPECT_EQ(crt::rand(), 18467);
  EXPECT_EQ(crt::rand(), 6334);
  crt::srand(119);
  uint32_t state = 119;
  for (int i = 0; i < 1000; ++i) {
    state = state * 214013u + 2531011u;
    int v = crt::rand();
    ASSERT_EQ(v, static_cast<int>((state >> 16) & 0x7FFF));
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 32767);
  }
}

TEST(Alloc, NthAllocationFailsOnce) {
  int64_t live = plat::LiveAllocations();
  plat::FailAllocationAfter(2);
  void* a = LocalAlloc(LPTR, 16);
  void* b = LocalAlloc(LPTR, 16);
  void* c = LocalAlloc(LPTR, 16);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(c)[15], 0);  // zero-initialised
  EXPECT_EQ(plat::LiveAllocations(), live + 2);
  LocalFree(a);
  LocalFree(c);
  EXPECT_EQ(plat::LiveAllocations(), live);
}

TEST(Utf, RoundTrip) {
  std::u16string w = u"Norv Kest \u00e9\u20ac";
  EXPECT_EQ(plat::FromUtf8(plat::ToUtf8(w)), w);
  EXPECT_EQ(plat::ToUtf8(u"COM1:"), "COM1:");
}

}  // namespace
