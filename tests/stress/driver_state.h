// Looking at the port driver's state from a test: under its lock, and with
// waits bounded in real time that depend only on the order of things.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "platform/threads.h"
#include "platform/types.h"
#include "portdriver/port_table.h"

namespace stress {

// Waits until `done` holds; false after `realSeconds` (a hang, not a slow machine).
template <class F>
bool Eventually(F done, int realSeconds = 60) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(realSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs f with g_csPorts held.
template <class F>
auto Locked(F f) {
  EnterCriticalSection(&g_csPorts);
  struct Leave {
    ~Leave() { LeaveCriticalSection(&g_csPorts); }
  } leave;
  return f();
}

inline DWORD NameBytes(const std::u16string& name) { return static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)); }

}  // namespace stress
