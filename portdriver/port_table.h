// The open-port table, the status queues and the monitor globals, all guarded
// by g_csPorts.
#pragma once

#include <cstdint>
#include <deque>
#include <map>

#include "platform/threads.h"
#include "platform/types.h"

struct PortRecord {
  HANDLE handle;
  uint8_t portType;
  WCHAR* name;  // heap copy, NUL-terminated, owned by the record
  uint8_t refCount;
  uint32_t jobActive;
  // References a request obtained for the monitor and posted to it with a
  // status query it has not served yet: counted in refCount, yet held by no
  // client, so a client's close does not count them as users left.
  uint8_t refsInTransit;
};

struct CurrentPort {
  uint32_t modelCode;
};

// One received byte with its time of arrival; copied to applications as is.
#pragma pack(push, 1)
struct StatusRecord {
  uint8_t second;
  uint8_t minute;
  uint8_t hour;
  uint8_t day;
  uint8_t month;
  uint8_t reserved1;
  uint16_t year;  // little-endian on every host this runs on
  uint8_t byte;
  uint8_t reserved2;
};
#pragma pack(pop)
static_assert(sizeof(StatusRecord) == 10);

constexpr size_t kStatusQueueLimit = 64;

extern std::map<uint8_t, PortRecord*> g_mapOpenPorts;
extern CurrentPort* g_pCurrentPort;
extern std::deque<StatusRecord*> g_dequeStatusHistory;
extern std::deque<StatusRecord*> g_dequeStatusRecords;
extern uint8_t g_byMonitoredPort;
extern uint8_t g_byRecordsPort;
extern HANDLE g_hStatusThread;
extern DWORD g_dwStatusThreadId;
extern CRITICAL_SECTION g_csPorts;

// The model code of the port most recently opened anew; 0 before any.
uint32_t GetCurrentModelCode();

// Index for a new port: 1 for an empty table, else one past the largest;
// 0 when the largest index in use is 255 (no index left).
uint8_t ChooseNewIndex();
// Name matches (ignoring case, as port names on this platform do).
bool BufferBoundedMatch(const WCHAR* given, DWORD givenBytes, const WCHAR* stored);
bool ShorterNameMatch(const WCHAR* given, const WCHAR* stored);
// Empties a queue, freeing its records.
void ClearStatusQueue(std::deque<StatusRecord*>& queue);
// Appends a record the queue then owns, dropping the oldest beyond the limit.
void AppendStatusRecord(std::deque<StatusRecord*>& queue, StatusRecord* record);
// The record under an index; null when the index is not open.
PortRecord* FindPort(uint8_t index);
// Records the model code of a port opened anew; false when the current-port
// record cannot be allocated (only possible before the first success).
bool SetCurrentModelCode(uint32_t modelCode);
