// The open-port table, the status queues and the monitor globals.
#include "portdriver/port_table.h"

#include <algorithm>
#include <atomic>

#include "platform/system.h"

std::map<uint8_t, PortRecord*> g_mapOpenPorts;
CurrentPort* g_pCurrentPort = nullptr;
std::deque<StatusRecord*> g_dequeStatusHistory;
std::deque<StatusRecord*> g_dequeStatusRecords;
uint8_t g_byMonitoredPort = 0;
uint8_t g_byRecordsPort = 0;
HANDLE g_hStatusThread = nullptr;
DWORD g_dwStatusThreadId = 0;
CRITICAL_SECTION g_csPorts;

namespace {

WCHAR FoldCase(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

size_t NameLength(const WCHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Compares up to n characters, stopping where both names end.
bool SameStart(const WCHAR* a, const WCHAR* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    if (a[i] == 0) return true;  // both end here
  }
  return true;
}

// Frees what is left at unload. Ports are not closed: unloading sends nothing.
// Defined after the containers, so it runs before they are destroyed.
struct UnloadCleanup {
  ~UnloadCleanup() {
    for (auto& [index, rec] : g_mapOpenPorts) {
      LocalFree(rec->name);
      LocalFree(rec);
    }
    g_mapOpenPorts.clear();
    ClearStatusQueue(g_dequeStatusHistory);
    ClearStatusQueue(g_dequeStatusRecords);
    LocalFree(g_pCurrentPort);
    g_pCurrentPort = nullptr;
  }
} g_unloadCleanup;

}  // namespace

uint32_t GetCurrentModelCode() {
  // Read without g_csPorts by the GDI half: the record is never freed while
  // the library is loaded, only its code is overwritten.
  CurrentPort* current = std::atomic_ref<CurrentPort*>(g_pCurrentPort).load(std::memory_order_acquire);
  if (current == nullptr) return 0;
  return std::atomic_ref<uint32_t>(current->modelCode).load(std::memory_order_relaxed);
}

bool SetCurrentModelCode(uint32_t modelCode) {
  CurrentPort* current = g_pCurrentPort;
  if (current == nullptr) {
    current = static_cast<CurrentPort*>(LocalAlloc(LPTR, sizeof(CurrentPort)));
    if (current == nullptr) return false;
    current->modelCode = modelCode;
    std::atomic_ref<CurrentPort*>(g_pCurrentPort).store(current, std::memory_order_release);
    return true;
  }
  std::atomic_ref<uint32_t>(current->modelCode).store(modelCode, std::memory_order_relaxed);
  return true;
}

uint8_t ChooseNewIndex() {
  if (g_mapOpenPorts.empty()) return 1;
  const uint8_t largest = g_mapOpenPorts.rbegin()->first;
  return largest == 0xFF ? 0 : static_cast<uint8_t>(largest + 1);
}

bool BufferBoundedMatch(const WCHAR* given, DWORD givenBytes, const WCHAR* stored) {
  const size_t storedLen = NameLength(stored);
  const size_t n = std::min<size_t>(givenBytes / 2, storedLen);
  return SameStart(given, stored, n);
}

bool ShorterNameMatch(const WCHAR* given, const WCHAR* stored) {
  const size_t n = std::min(NameLength(given), NameLength(stored));
  return SameStart(given, stored, n);
}

void ClearStatusQueue(std::deque<StatusRecord*>& queue) {
  for (StatusRecord* r : queue) LocalFree(r);
  queue.clear();
}

void AppendStatusRecord(std::deque<StatusRecord*>& queue, StatusRecord* record) {
  queue.push_back(record);
  while (queue.size() > kStatusQueueLimit) {
    LocalFree(queue.front());
    queue.pop_front();
  }
}

PortRecord* FindPort(uint8_t index) {
  auto it = g_mapOpenPorts.find(index);
  return it == g_mapOpenPorts.end() ? nullptr : it->second;
}
