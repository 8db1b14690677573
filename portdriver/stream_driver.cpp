// Stream driver lifecycle: NVP_Init, NVP_Deinit, NVP_Open, NVP_Close, the
// settings, and the start of the status monitor thread.
#include "portdriver/stream_driver.h"

#include <atomic>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_lock.h"
#include "portdriver/port_table.h"
#include "ports/status_monitor.h"

PortDriverSettings g_settings;
HANDLE g_hStatusDataEvent = INVALID_HANDLE_VALUE;
HANDLE g_hStatusTimeoutEvent = INVALID_HANDLE_VALUE;

namespace {

// g_csPorts exists from the first NVP_Init until an NVP_Deinit that saw the
// monitor end. Only NVP_Init and NVP_Deinit change it; requests read it.
std::atomic<bool> g_bLockReady{false};

// A monitor that has ended (or is returning): waited for and closed by the
// next start or by NVP_Deinit. Guarded by g_csPorts.
HANDLE g_hEndedThread = nullptr;

constexpr DWORD kKeepRunningSleepMs = 150;
constexpr DWORD kStartSleepMs = 250;
constexpr DWORD kDeinitWaitMs = 2000;

void QueryDword(HKEY key, const char16_t* name, uint32_t* value) {
  DWORD data = 0;
  DWORD size = sizeof data;
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
      size == sizeof data) {
    *value = data;
  }
}

bool ValueExists(HKEY key, const char16_t* name) {
  DWORD size = 0;
  DWORD type = 0;
  return RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
}

HANDLE CreateNamedEvent(const char16_t* name, DWORD* result) {
  HANDLE h = CreateEventW(nullptr, FALSE, FALSE, name);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    *result = 0;
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

void CloseEvent(HANDLE* h) {
  if (*h != INVALID_HANDLE_VALUE) {
    CloseHandle(*h);
    *h = INVALID_HANDLE_VALUE;
  }
}

// Waits for a monitor that has left its loop and closes its handle. Called
// with g_csPorts held: the ended thread released the lock for the last time
// before its handle became visible here, so it needs nothing more to finish.
void ReapEndedThread() {
  if (g_hEndedThread == nullptr) return;
  WaitForSingleObject(g_hEndedThread, INFINITE);
  CloseHandle(g_hEndedThread);
  g_hEndedThread = nullptr;
}

// Creates the monitor thread. Called with g_csPorts held. The thread signals
// `ready` once its message queue exists, so no post to it can fail for want
// of a queue, whatever the machine's speed.
BOOL StartMonitor(DWORD* sleepMs) {
  ReapEndedThread();
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, &StatusThreadProc, ready, 0, &id);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    if (ready != nullptr) CloseHandle(ready);
    *sleepMs = 0;
    return FALSE;
  }
  g_hStatusThread = h;
  g_dwStatusThreadId = id;
  if (ready != nullptr) {
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
  }
  *sleepMs = kStartSleepMs;
  return TRUE;
}

// True when no monitor runs. A thread whose queue refuses posts although it
// never retired itself has ended abnormally; it is forgotten here. A monitor
// that merely has a full queue still runs: no second one is started.
bool NoMonitor() {
  if (g_hStatusThread == nullptr) return true;
  if (WaitForSingleObject(g_hStatusThread, 0) != WAIT_OBJECT_0) return false;
  RetireStatusThread();
  return true;
}

}  // namespace

BOOL EnsureStatusThreadHeld(DWORD* sleepMs) {
  *sleepMs = 0;
  if (g_hStatusThread != nullptr) {
    if (PostThreadMessageW(g_dwStatusThreadId, MONITOR_KEEP_RUNNING, 0, 0)) {
      *sleepMs = kKeepRunningSleepMs;
      return TRUE;
    }
    if (!NoMonitor()) return TRUE;
  }
  return StartMonitor(sleepMs);
}

DWORD KestReturnOne() { return 1; }

bool PortDriverReady() { return g_bLockReady.load(std::memory_order_acquire); }

void RetireStatusThread() {
  if (g_hStatusThread != nullptr) {
    if (g_hEndedThread != nullptr) CloseHandle(g_hEndedThread);
    g_hEndedThread = g_hStatusThread;
  }
  g_hStatusThread = nullptr;
  g_dwStatusThreadId = 0;
}

void ReleasePortReference(uint8_t index) { NVP_IOControl(0, NVP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr); }

void SignalStatusEvent(HANDLE* which) {
  HANDLE h;
  {
    PortsLock lock;
    h = *which;
  }
  if (h != INVALID_HANDLE_VALUE && h != nullptr) EventModify(h, EVENT_SET);
}

BOOL EnsureStatusThread() {
  DWORD sleepMs = 0;
  BOOL running;
  {
    PortsLock lock;
    running = EnsureStatusThreadHeld(&sleepMs);
  }
  // Lets the monitor take the message before the caller posts the next one.
  // When the caller holds g_csPorts itself, it keeps it through this pause.
  if (sleepMs != 0) Sleep(sleepMs);
  return running;
}

BOOL PostToMonitor(UINT message, WPARAM wParam, LPARAM lParam, bool startIfNeeded) {
  PortsLock lock;
  if (g_hStatusThread != nullptr && PostThreadMessageW(g_dwStatusThreadId, message, wParam, lParam)) return TRUE;
  if (!startIfNeeded || !NoMonitor()) return FALSE;
  DWORD sleepMs = 0;
  if (!StartMonitor(&sleepMs)) return FALSE;
  return PostThreadMessageW(g_dwStatusThreadId, message, wParam, lParam);
}

KEST_EXPORT DWORD NVP_Init(LPCWSTR, LPCVOID) {
  if (!g_bLockReady.load(std::memory_order_acquire)) {
    InitializeCriticalSection(&g_csPorts);
    g_bLockReady.store(true, std::memory_order_release);
  }
  DWORD result = 1;
  {
    PortsLock lock;
    CloseEvent(&g_hStatusDataEvent);
    CloseEvent(&g_hStatusTimeoutEvent);
    g_hStatusDataEvent = CreateNamedEvent(kStatusDataEventName, &result);
    g_hStatusTimeoutEvent = CreateNamedEvent(kStatusTimeoutEventName, &result);
    // Each load reads its settings afresh: a value removed since the last
    // initialisation falls back to its default.
    g_settings = PortDriverSettings{};
  }

  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortDriverKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return result;
  PortDriverSettings s;
  s.rtsOnOff = ValueExists(key, u"RTSOnOff");
  QueryDword(key, u"RTSOn", &s.rtsOn);
  QueryDword(key, u"RTSOff", &s.rtsOff);
  QueryDword(key, u"ResetTime", &s.resetTime);
  QueryDword(key, u"ResetWaitTime", &s.resetWaitTime);
  QueryDword(key, u"RTSMaxRetries", &s.rtsMaxRetries);
  QueryDword(key, u"RTSRetryWait", &s.rtsRetryWait);
  RegCloseKey(key);
  {
    PortsLock lock;
    g_settings = s;
  }
  return result;
}

KEST_EXPORT BOOL NVP_Deinit(DWORD) {
  if (!g_bLockReady.load(std::memory_order_acquire)) return TRUE;
  HANDLE thread = nullptr;
  {
    PortsLock lock;
    thread = g_hStatusThread;
    if (thread != nullptr) PostThreadMessageW(g_dwStatusThreadId, MONITOR_STOP, 0, 0);
  }
  bool monitorGone = true;
  if (thread != nullptr) monitorGone = WaitForSingleObject(thread, kDeinitWaitMs) == WAIT_OBJECT_0;
  {
    PortsLock lock;
    if (monitorGone) {
      if (g_hStatusThread == thread && thread != nullptr) RetireStatusThread();
      ReapEndedThread();
    }
    CloseEvent(&g_hStatusDataEvent);
    CloseEvent(&g_hStatusTimeoutEvent);
  }
  // A monitor still running keeps using g_csPorts: the lock then stays, and
  // the next NVP_Init goes on with it.
  if (monitorGone) {
    g_bLockReady.store(false, std::memory_order_release);
    DeleteCriticalSection(&g_csPorts);
  }
  return TRUE;
}

KEST_EXPORT DWORD NVP_Open(DWORD, DWORD, DWORD) { return KestReturnOne(); }

KEST_EXPORT BOOL NVP_Close(DWORD) { return static_cast<BOOL>(KestReturnOne()); }
