// Scoped hold of g_csPorts. The lock is re-entrant, so a holder may call code
// that takes it again; Release and Reacquire drop and retake this holder's
// level only (for port I/O that must run without the lock).
#pragma once

#include "platform/threads.h"
#include "portdriver/port_table.h"

class PortsLock {
 public:
  PortsLock() { EnterCriticalSection(&g_csPorts); }
  ~PortsLock() {
    if (held_) LeaveCriticalSection(&g_csPorts);
  }
  PortsLock(const PortsLock&) = delete;
  PortsLock& operator=(const PortsLock&) = delete;

  void Release() {
    if (held_) {
      held_ = false;
      LeaveCriticalSection(&g_csPorts);
    }
  }
  void Reacquire() {
    if (!held_) {
      EnterCriticalSection(&g_csPorts);
      held_ = true;
    }
  }

 private:
  bool held_ = true;
};
