// Kernel services of the stand-in: last-error value, the clock, sleeping,
// debug output, heap allocation and the C runtime's random numbers.
#pragma once

#include <string>

#include "platform/types.h"

extern "C" {
// Thread-local last-error value.
KESTPLAT_API DWORD GetLastError();
KESTPLAT_API void SetLastError(DWORD dwErrCode);

// Milliseconds since the clock's origin, wrapping at 2^32.
KESTPLAT_API DWORD GetTickCount();
// Blocks the calling thread for ms milliseconds of stand-in time. Sleep(0)
// yields the processor.
KESTPLAT_API void Sleep(DWORD ms);
// Local wall-clock time.
KESTPLAT_API void GetLocalTime(SYSTEMTIME* st);
KESTPLAT_API void GetSystemTime(SYSTEMTIME* st);

// Debug output: a wide printf subset (%d %ld %u %lu %x %lx %s %c %%) to stderr
// as UTF-8, or into the capture buffer while capturing.
KESTPLAT_API void NKDbgPrintfW(LPCWSTR fmt, ...);

// Heap. LMEM_ZEROINIT clears the block.
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
KESTPLAT_API void* LocalAlloc(UINT flags, size_t bytes);
KESTPLAT_API void* LocalFree(void* p);
}

// The platform C runtime's pseudo-random generator (values 0..32767). Kept in
// its own namespace so it never collides with the host C library's rand.
namespace crt {
KESTPLAT_API int rand();
KESTPLAT_API void srand(unsigned seed);
}  // namespace crt

// Controls for hosts and tests.
namespace plat {
// Clock: the tick count continues from `originMs`; `speed` multiplies the
// rate at which stand-in time passes (1.0 = real time). Every Sleep and timed
// wait runs on this clock.
KESTPLAT_API void SetClock(DWORD originMs, double speed);
KESTPLAT_API void SetClockSpeed(double speed);
KESTPLAT_API double ClockSpeed();
// 64-bit stand-in milliseconds, never wrapping (for timed waits).
KESTPLAT_API uint64_t NowMs64();
// Converts a stand-in duration into real nanoseconds at the current speed.
KESTPLAT_API int64_t StandInMsToRealNs(uint64_t ms);

// Debug output capture: while on, NKDbgPrintfW appends to a buffer instead of
// writing to stderr. TakeDebugOutput returns and clears the buffer.
KESTPLAT_API void CaptureDebugOutput(bool on);
KESTPLAT_API std::string TakeDebugOutput();
// Debug output off entirely (tools without --verbose).
KESTPLAT_API void SetDebugOutputEnabled(bool on);

// Allocation seam: FailAllocationAfter(n) makes the allocation n calls from now
// (1 = the very next one) fail, once. 0 disarms it. AllocationCount counts the
// LocalAlloc calls so far; LiveAllocations the blocks not yet freed.
KESTPLAT_API void FailAllocationAfter(int n);
KESTPLAT_API uint64_t AllocationCount();
KESTPLAT_API int64_t LiveAllocations();

// UTF-16 <-> UTF-8 helpers for hosts.
KESTPLAT_API std::string ToUtf8(const std::u16string& s);
KESTPLAT_API std::u16string FromUtf8(const std::string& s);
}  // namespace plat
