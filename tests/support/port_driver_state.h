// Looking at the in-process port driver from a test: its state read under its
// own lock, waits bounded in real time, "NVP1:" registered as the device
// manager would load it, and virtual printers mapped to port names.
//
// Header only: the test programs that include it link the driver itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices.h"
#include "platform/threads.h"
#include "platform/types.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "printer/virtual_printer.h"

namespace kest_test {

// Waits (in real time, generously) until pred holds; false after
// `realSeconds`, which means a hang, never a slow machine. The tests depend on
// the order of things only.
template <class F>
bool Eventually(F pred, int realSeconds = 60) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(realSeconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs f with g_csPorts held and returns what it returns.
template <class F>
auto Locked(F f) {
  EnterCriticalSection(&g_csPorts);
  struct Leave {
    ~Leave() { LeaveCriticalSection(&g_csPorts); }
  } leave;
  return f();
}

// The size of a port name as NVP_OPEN takes it, terminator included.
inline DWORD NameBytes(const std::u16string& name) { return static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)); }

inline size_t OpenPortCount() {
  return Locked([] { return g_mapOpenPorts.size(); });
}

// The reference count of an open port; -1 when the index is not open.
inline int RefCount(uint8_t index) {
  return Locked([&] {
    PortRecord* rec = FindPort(index);
    return rec == nullptr ? -1 : int{rec->refCount};
  });
}

// The status bytes of one of the driver's queues, oldest first.
inline std::vector<uint8_t> QueueBytes(const std::deque<StatusRecord*>& queue) {
  return Locked([&] {
    std::vector<uint8_t> out;
    for (const StatusRecord* r : queue) out.push_back(r->byte);
    return out;
  });
}

// "NVP1:" with the driver's five entries, as the device manager loads it.
inline bool RegisterPortDriver() {
  static const plat::StreamDriverEntries kEntries = {NVP_Init, NVP_Deinit, NVP_Open, NVP_Close, NVP_IOControl};
  return plat::RegisterStreamDriver(kPortDriverDevice, kEntries);
}

// A virtual printer that answers on `port`; null if the name cannot be mapped.
// The "virtual:" scheme must be registered.
inline std::shared_ptr<vprinter::VirtualPrinter> MapVirtualPrinter(const std::string& name, const std::u16string& port,
                                                                   const vprinter::PrinterOptions& options) {
  auto printer = vprinter::Create(name, options);
  if (!plat::MapDevice(port, "virtual:" + name)) return nullptr;
  return printer;
}

}  // namespace kest_test
