// NVP_IOControl: the control dispatcher of "NVP1:" and the control functions
// that work on an open port by its index.
#include <cstring>

#include "commands/commands.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "portdriver/control_codes.h"
#include "portdriver/control_internal.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "ports/ports.h"

namespace {

constexpr DWORD kPostSleepMs = 150;
constexpr WPARAM kDelayedStopMs = 30000;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL SendRtsCommand(HANDLE h, uint8_t portType, uint32_t setting) {
  const auto bytes = cmd::RtsCommand(setting);
  return PortWrite(h, portType, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void FreePortRecord(PortRecord* rec) {
  LocalFree(rec->name);
  LocalFree(rec);
}

// NVP_OPEN and NVP_OPEN_NOMONITOR.
BOOL OpenPort(PortsLock& lock, const ControlRequest& r, bool withMonitor) {
  if (r.out == nullptr || r.outLen < 1) return FALSE;
  std::u16string name;
  if (r.in == nullptr || !TakeName(r.in, r.inLen, &name)) return Fail(ERROR_INVALID_PARAMETER);

  uint8_t index = 0;
  for (auto& [i, rec] : g_mapOpenPorts) {
    if (BufferBoundedMatch(name.c_str(), r.inLen, rec->name)) {
      // The 8-bit count must not wrap to 0 under its holders.
      if (rec->refCount == 0xFF) return Fail(ERROR_OUTOFMEMORY);
      ++rec->refCount;
      index = i;
      break;
    }
  }

  if (index == 0) {
    index = ChooseNewIndex();
    if (index == 0) return Fail(ERROR_OUTOFMEMORY);  // index 255 in use
    uint8_t portType = 0;
    HANDLE h = PrinterOpen(name.c_str(), &portType);
    if (h == INVALID_HANDLE_VALUE) {
      NKDbgPrintfW(u"NVP_OPEN PrinterOpen error\r\n");
      return FALSE;
    }
    auto* rec = static_cast<PortRecord*>(LocalAlloc(LPTR, sizeof(PortRecord)));
    const bool modelKept = SetCurrentModelCode(PortDetectModel(h, portType));
    WCHAR* nameCopy = nullptr;
    if (rec != nullptr && modelKept) {
      nameCopy = static_cast<WCHAR*>(LocalAlloc(LPTR, (name.size() + 1) * sizeof(WCHAR)));
    }
    if (rec == nullptr || !modelKept || nameCopy == nullptr) {
      LocalFree(rec);
      PortClose(h, portType);
      lock.Release();
      NKDbgPrintfW(u"NVP_OPEN memory error\r\n");
      return Fail(ERROR_OUTOFMEMORY);
    }
    if (g_settings.rtsOnOff) SendRtsCommand(h, portType, g_settings.rtsOn);
    std::memcpy(nameCopy, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    rec->handle = h;
    rec->portType = portType;
    rec->name = nameCopy;
    rec->refCount = 1;
    rec->jobActive = 0;
    try {
      g_mapOpenPorts.emplace(index, rec);
    } catch (...) {
      PortClose(h, portType);
      FreePortRecord(rec);
      throw;
    }
  }

  if (withMonitor) {
    // A new job judges only the status bytes received from now on.
    ClearStatusQueue(g_dequeStatusHistory);
    // Waking the monitor and the post happen under the lock, so the index
    // posted is still the port just opened; the pauses come after.
    DWORD wakeSleep = 0;
    EnsureStatusThreadHeld(&wakeSleep);
    PostToMonitor(MONITOR_PORT_OPENED, index, 0, true);
    lock.Release();
    Sleep(wakeSleep);
    Sleep(kPostSleepMs);
  } else {
    lock.Release();
  }
  r.out[0] = index;
  if (r.returned != nullptr) *r.returned = 1;
  return TRUE;
}

// The holders of a port as its users see them. References still on their way
// to the monitor with a status query are no client's: they end up as the one
// reference the monitor keeps (it gives back the others). Counting each of
// them would let a backlog of queries keep the last client's close from
// scheduling the monitor's stop, and the monitor never schedules it itself.
int Holders(uint8_t index, const PortRecord& rec) {
  int holders = rec.refCount - rec.refsInTransit;
  if (rec.refsInTransit > 0 && g_byMonitoredPort != index) ++holders;
  return holders;
}

BOOL ClosePort(const ControlRequest& r) {
  PortRecord* rec = FindPort(r.index);
  if (rec == nullptr) return FALSE;
  --rec->refCount;
  if (rec->refCount == 0) {
    if (g_settings.rtsOnOff) SendRtsCommand(rec->handle, rec->portType, g_settings.rtsOff);
    PortClose(rec->handle, rec->portType);
    g_mapOpenPorts.erase(r.index);
    FreePortRecord(rec);
  } else if (Holders(r.index, *rec) == 1 && g_byMonitoredPort != 0 && FindPort(g_byMonitoredPort) != nullptr &&
             GetCurrentThreadId() != g_dwStatusThreadId) {
    // A client left the port to the monitor alone: stop watching in 30 s
    // unless another job comes. The monitor's own releases never schedule
    // its own end.
    PostToMonitor(MONITOR_STOP, kDelayedStopMs, 0, false);
    Sleep(kPostSleepMs);
  }
  return TRUE;
}

BOOL ReadPort(PortsLock& lock, const ControlRequest& r) {
  PortRecord* rec = FindPort(r.index);
  if (rec == nullptr) return FALSE;
  if (r.out == nullptr || r.outLen == 0) return FALSE;
  HANDLE h = rec->handle;
  uint8_t portType = rec->portType;
  lock.Release();
  return PortRead(h, portType, r.out, r.outLen, r.returned);
}

BOOL SetRts(PortsLock& lock, const ControlRequest& r) {
  PortRecord* rec = FindPort(r.index);
  if (rec == nullptr) return FALSE;
  if (r.in == nullptr || r.inLen == 0) return FALSE;
  if (r.inLen < sizeof(uint32_t)) return Fail(ERROR_INVALID_PARAMETER);
  uint32_t value = 0;
  std::memcpy(&value, r.in, sizeof value);
  HANDLE h = rec->handle;
  lock.Release();
  return PortSetRts(h, value != 0 ? TRUE : FALSE);
}

BOOL CheckStatus(const ControlRequest& r) {
  if (FindPort(r.index) == nullptr) return Fail(ERROR_NOT_READY);
  if (g_dequeStatusHistory.empty()) return TRUE;
  uint32_t stopFlag = 0;
  if (r.in != nullptr && r.inLen == sizeof stopFlag) std::memcpy(&stopFlag, r.in, sizeof stopFlag);
  uint32_t pending = 0;
  for (const StatusRecord* rec : g_dequeStatusHistory) {
    const uint8_t b = rec->byte;
    if (cmd::IsStatusByte(b)) pending = cmd::StatusByteError(b);
    if (stopFlag != 0 && b == cmd::kStatusWalkStop) break;
  }
  if (pending != 0) return Fail(pending);
  return TRUE;
}

BOOL SetJobFlag(const ControlRequest& r, uint32_t value) {
  PortRecord* rec = FindPort(r.index);
  if (rec == nullptr) return FALSE;
  rec->jobActive = value;
  return TRUE;
}

BOOL ResetRts(PortsLock& lock, const ControlRequest& r) {
  PortRecord* rec = FindPort(r.index);
  if (rec == nullptr) return FALSE;
  HANDLE h = rec->handle;
  uint8_t portType = rec->portType;
  const PortDriverSettings s = g_settings;
  lock.Release();
  PortPurge(h, portType, FALSE);
  if (!PortSetRts(h, TRUE)) return FALSE;
  Sleep(s.resetTime);
  BOOL result = PortSetRts(h, FALSE);
  Sleep(s.resetWaitTime);
  if (s.rtsOnOff) {
    for (uint32_t attempt = 0; attempt < s.rtsMaxRetries; ++attempt) {
      const BOOL sent = SendRtsCommand(h, portType, s.rtsOn);
      Sleep(s.rtsRetryWait);
      if (sent) break;
    }
  }
  return result;
}

BOOL WritePort(const ControlRequest& r, bool onlyWhenIdle) {
  PortRecord* rec = FindPort(r.index);
  if (rec == nullptr) return FALSE;
  if (onlyWhenIdle && rec->jobActive != 0) return FALSE;
  // The byte count tells the writer how much the port took, also when the
  // write failed part of the way, so that its retry does not repeat it.
  DWORD taken = 0;
  const BOOL ok = PortWrite(rec->handle, rec->portType, r.in, r.inLen, &taken);
  if (r.returned != nullptr) *r.returned = taken;
  return ok;
}

BOOL GetIndex(const ControlRequest& r) {
  std::u16string name;
  if (r.in == nullptr || !TakeName(r.in, r.inLen, &name)) return Fail(ERROR_INVALID_PARAMETER);
  if (r.out == nullptr || r.outLen < 1) return Fail(ERROR_INVALID_PARAMETER);
  if (g_mapOpenPorts.empty()) {
    NKDbgPrintfW(u"NVP_GET_INDEX =>err. g_mapOpenPorts.empty()\r\n");
    return FALSE;
  }
  uint32_t position = 1;
  for (auto& [i, rec] : g_mapOpenPorts) {
    if (ShorterNameMatch(name.c_str(), rec->name)) break;
    ++position;
  }
  r.out[0] = static_cast<BYTE>(position & 0xFF);
  return TRUE;
}

BOOL Dispatch(PortsLock& lock, const ControlRequest& r) {
  switch (r.function) {
    case NVP_OPEN:
      return OpenPort(lock, r, true);
    case NVP_OPEN_NOMONITOR:
      return OpenPort(lock, r, false);
    case NVP_WRITE:
      return WritePort(r, false);
    case NVP_WRITE_IDLE:
      return WritePort(r, true);
    case NVP_CLOSE:
      return ClosePort(r);
    case NVP_READ:
      return ReadPort(lock, r);
    case NVP_SET_RTS:
      return SetRts(lock, r);
    case NVP_CHECK_STATUS:
      return CheckStatus(r);
    case NVP_SET_JOBACTIVE:
      return SetJobFlag(r, 1);
    case NVP_CLEAR_JOBACTIVE:
      return SetJobFlag(r, 0);
    case NVP_RESET_RTS:
      return ResetRts(lock, r);
    case NVP_GET_INDEX:
      return GetIndex(r);
    case NVP_RESET_PRINTER:
      return ResetPrinterRequest(lock, r);
    case NVP_UPDATE_PRINTERSTATUS:
      return UpdatePrinterStatusRequest(lock, r);
    case NVP_GET_PRINTERSTATUS:
      return GetPrinterStatusRequest(lock, r);
    case NVP_STOP_PORTMONITOR:
      return StopPortMonitorRequest(lock, r);
    default:
      return FALSE;
  }
}

}  // namespace

bool TakeName(const void* data, DWORD bytes, std::u16string* name) {
  name->clear();
  const auto* p = static_cast<const BYTE*>(data);
  for (DWORD i = 0; i + sizeof(WCHAR) <= bytes; i += sizeof(WCHAR)) {
    WCHAR c;
    std::memcpy(&c, p + i, sizeof c);
    if (c == 0) return true;
    name->push_back(c);
  }
  return false;
}

KEST_EXPORT BOOL NVP_IOControl(DWORD, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen, DWORD* actualOut) {
  if (!PortDriverReady()) return Fail(ERROR_INVALID_HANDLE);
  const ControlRequest r{
      code & NVP_FUNCTION_MASK, static_cast<uint8_t>(code & NVP_INDEX_MASK), in, inLen, out, outLen, actualOut};
  try {
    PortsLock lock;
    return Dispatch(lock, r);
  } catch (...) {
    // The lock was released on the way out of its scope.
    return FALSE;
  }
}
