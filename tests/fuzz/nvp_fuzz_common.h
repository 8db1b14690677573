// Shared by the fuzz targets of the port driver: one process-wide setup (the
// "NVP1:" stream driver over virtual printers, a fast stand-in clock) and the
// helpers that read the driver's state under its lock, bring the monitor
// thread to a known point and stop it at the end of an input.
#pragma once

#include <dirent.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "ports/ports.h"
#include "printer/backend.h"
#include "printer/virtual_printer.h"
#include "tests/support/port_driver_state.h"

namespace nvpfuzz {

// Stand-in time runs this much faster than real time: the driver's pauses
// (250 ms after starting the monitor, 150 ms after each post, the RTS pulses,
// the delayed stop of 30 s) then cost microseconds.
constexpr double kClockSpeed = 10000.0;

// The port a barrier reset goes to (see SyncMonitor).
constexpr char16_t kBarrierPort[] = u"LPT9:";

// What the input was doing, for the report of a failed check.
inline char g_context[160] = "";

[[noreturn]] inline void Fail(const char* what, long a = 0, long b = 0) {
  std::fprintf(stderr, "oracle failed: %s (%ld, %ld) during: %s\n", what, a, b, g_context);
  std::abort();
}
inline void Check(bool ok, const char* what, long a = 0, long b = 0) {
  if (!ok) Fail(what, a, b);
}

using kest_test::Locked;
using kest_test::NameBytes;
using kest_test::QueueBytes;
using kest_test::RefCount;

inline size_t TableSize() { return kest_test::OpenPortCount(); }

// Waits in real time for pred; a driver that never gets there is a fault
// (a lost message, a thread that hangs), reported after a generous while.
template <class F>
void WaitFor(F pred, const char* what) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // Most waits end within a monitor pass: a few yields first, then short
  // sleeps, so that a slow wait does not hold a processor.
  for (int spins = 0; !pred(); ++spins) {
    if (spins < 200) {
      std::this_thread::yield();
      continue;
    }
    if (std::chrono::steady_clock::now() > end) Fail(what);
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
}

inline std::shared_ptr<vprinter::VirtualPrinter> MakePrinter(const std::string& name, const std::u16string& port,
                                                             vprinter::PrinterOptions o) {
  auto p = kest_test::MapVirtualPrinter(name, port, o);
  if (p == nullptr) Fail("device map");
  return p;
}

// Process-wide setup, once: settings, the barrier printer, the clock and the
// stream driver. The caller maps its own printers before the first input.
inline void SetUpProcess() {
  // Short sleeps end when asked instead of up to 50 us later; the monitor
  // threads inherit this from the thread that starts them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  plat::RegistryClear();
  plat::SetDebugOutputEnabled(false);
  // RTS commands on, with few quick retries, so that the RTS paths stay cheap.
  plat::RegistrySetDword(kPortDriverKey, u"RTSOnOff", 0);
  plat::RegistrySetDword(kPortDriverKey, u"RTSMaxRetries", 3);
  plat::RegistrySetDword(kPortDriverKey, u"RTSRetryWait", 5);
  plat::RegistrySetDword(kPortDriverKey, u"PrintTimeout", 200);
  vprinter::RegisterScheme();
  vprinter::PrinterOptions barrier;
  barrier.attachment = vprinter::Attachment::PrinterClass;
  barrier.state = vprinter::State::Silent;
  MakePrinter("fz-barrier", kBarrierPort, barrier);
  const char* speed = std::getenv("KEST_FUZZ_CLOCK_SPEED");  // for measuring other speeds
  plat::SetClock(1000000, speed != nullptr ? std::atof(speed) : kClockSpeed);
  plat::SetCallerBufferCheck(true);
  if (!kest_test::RegisterPortDriver()) Fail("stream driver");
}

// Opens and closes one port so that the current-port record exists: every
// input then starts with the same allocations.
inline void MakeCurrentPortRecord(const std::u16string& port) {
  BYTE index = 0;
  if (!NVP_IOControl(1, NVP_OPEN_NOMONITOR, reinterpret_cast<BYTE*>(const_cast<char16_t*>(port.c_str())),
                     NameBytes(port), &index, 1, nullptr)) {
    Fail("first open");
  }
  NVP_IOControl(1, NVP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr);
}

// Returns once the monitor has served every message posted before: a reset
// handed to it on the barrier port closes that port after the reset is sent.
// No-op when no monitor runs.
inline void SyncMonitor() {
  uint8_t type = 0;
  HANDLE h = INVALID_HANDLE_VALUE;
  // The previous barrier's port leaves the device namespace just after the
  // printer saw it closed.
  WaitFor([&] { return (h = PrinterOpen(kBarrierPort, &type)) != INVALID_HANDLE_VALUE; }, "barrier port");
  if (!PostToMonitor(MONITOR_RESET_PRINTER, reinterpret_cast<WPARAM>(h), type | 0x10000, false)) {
    PortClose(h, type);
    return;
  }
  auto barrier = vprinter::Get("fz-barrier");
  WaitFor([&] { return !barrier->IsOpen(); }, "monitor never served the barrier");
  barrier->ClearJob();
}

// Threads of the process as the system sees them.
inline int SystemThreads() {
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return 0;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

// Ends the monitor now (as NVP_Deinit does) and waits until its thread has
// gone, so that no thread runs between inputs.
// `threadsBefore`, when given, is SystemThreads() from before the monitor
// started: a thread that has left its routine still runs its thread-local
// destructors, and the leak check between inputs must not see it half gone.
inline void StopMonitor(int threadsBefore = -1) {
  HANDLE t = Locked([] { return g_hStatusThread; });
  // The handle stays valid: an ended monitor's handle is closed only by the
  // next start or NVP_Deinit, which nothing else calls meanwhile.
  if (t != nullptr) {
    PostToMonitor(MONITOR_STOP, 0, 0, false);
    if (WaitForSingleObject(t, INFINITE) != WAIT_OBJECT_0) Fail("monitor wait");
  }
  // A monitor that ended by itself (its delayed stop fell due) may still be
  // on its way out of its routine.
  WaitFor([] { return plat::RunningThreads() == 0; }, "a thread is left running");
  Check(Locked([] { return g_hStatusThread == nullptr && g_dwStatusThreadId == 0; }), "monitor globals kept");
  if (threadsBefore >= 0) {
    WaitFor([&] { return SystemThreads() <= threadsBefore; }, "an ended thread never went away");
  }
}

// Empties both status queues (records outlive the monitor by design).
inline void ClearQueues() {
  Locked([] {
    ClearStatusQueue(g_dequeStatusHistory);
    ClearStatusQueue(g_dequeStatusRecords);
    g_byRecordsPort = 0;
    return 0;
  });
}

}  // namespace nvpfuzz
