// The printer-status requests of applications: reset a printer, make the
// monitor watch and query a port, collect its status records, stop the
// monitor.
#include <cstring>

#include "commands/commands.h"
#include "platform/devices.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "portdriver/control_internal.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "ports/ports.h"

namespace {

constexpr DWORD kRtsPulseMs = 1500;
constexpr WPARAM kDelayedStopMs = 30000;
constexpr DWORD kResetRequestBytes = 12;
constexpr DWORD kUpdateRequestBytes = 16;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The port name a PortRequest points to, mapped from the caller's space.
class CallerName {
 public:
  CallerName(uint32_t address, uint32_t size)
      : source_(reinterpret_cast<void*>(uintptr_t{address})), size_(size & 0xFF) {
    mapped_ = CeOpenCallerBuffer(&local_, source_, size_, ARG_I_WSTR, FALSE) >= 0;
    if (!mapped_) local_ = nullptr;
  }
  ~CallerName() {
    if (mapped_) CeCloseCallerBuffer(local_, source_, size_, ARG_I_WSTR);
  }
  CallerName(const CallerName&) = delete;
  CallerName& operator=(const CallerName&) = delete;

  bool mapped() const { return mapped_; }
  BYTE* data() const { return static_cast<BYTE*>(local_); }
  DWORD size() const { return size_; }

 private:
  void* source_;
  DWORD size_;
  void* local_ = nullptr;
  bool mapped_ = false;
};

struct RequestFields {
  uint32_t namePointer = 0;
  uint32_t nameSize = 0;
  uint32_t viaRts = 0;
  uint32_t answerTimeout = 0;
};

RequestFields ReadRequest(const BYTE* in, DWORD bytes) {
  PortRequest req{};
  std::memcpy(&req, in, bytes < sizeof req ? bytes : sizeof req);
  return {req.namePointer, req.nameSize, req.viaRts, req.answerTimeout};
}

// Opens (or shares) a port without touching the monitor; the index, or 0.
uint8_t OpenForMonitor(BYTE* name, DWORD nameBytes) {
  BYTE index = 0;
  if (!NVP_IOControl(0, NVP_OPEN_NOMONITOR, name, nameBytes, &index, 1, nullptr)) return 0;
  return index;
}

BOOL CopyOutRecords(const ControlRequest& r, int variant) {
  const DWORD size = static_cast<DWORD>(g_dequeStatusRecords.size() * sizeof(StatusRecord));
  if (r.outLen == 0 && r.out == nullptr) {
    if (r.returned != nullptr) *r.returned = size;
    return TRUE;
  }
  if (r.outLen == 0 || r.out == nullptr) {
    NKDbgPrintfW(u"invalide output buffer\r\n");
    return FALSE;
  }
  if (r.outLen < size) {
    if (variant == 1) {
      NKDbgPrintfW(u"1.buffer too small=> OutBufLen=%ld\r\n", static_cast<long>(r.outLen));
      NKDbgPrintfW(u"1.buffer too small=> dataSize=%ld\r\n", static_cast<long>(size));
    } else {
      NKDbgPrintfW(u"2.buffer too small=> OutBufLen=%ld\r\n", static_cast<long>(r.outLen));
      NKDbgPrintfW(u"2.buffer too small=> dataSize=%ld\r\n", static_cast<long>(size));
    }
    return FALSE;
  }
  if (r.returned != nullptr) *r.returned = size;
  BYTE* dst = r.out;
  while (!g_dequeStatusRecords.empty()) {
    StatusRecord* rec = g_dequeStatusRecords.front();
    g_dequeStatusRecords.pop_front();
    std::memcpy(dst, rec, sizeof(StatusRecord));
    dst += sizeof(StatusRecord);
    LocalFree(rec);
  }
  return TRUE;
}

}  // namespace

BOOL ResetPrinterRequest(PortsLock& lock, const ControlRequest& r) {
  if (r.in == nullptr || r.inLen == 0) return FALSE;
  if (r.inLen < kResetRequestBytes) return Fail(ERROR_INVALID_PARAMETER);
  const RequestFields req = ReadRequest(r.in, kResetRequestBytes);

  CallerName mapped(req.namePointer, req.nameSize);
  if (!mapped.mapped()) {
    NKDbgPrintfW(u"NVP_RESET_PRINTER CeOpenCallerBuffer failed\r\n");
    return FALSE;
  }
  std::u16string name;
  if (!TakeName(mapped.data(), mapped.size(), &name)) return Fail(ERROR_INVALID_PARAMETER);

  HANDLE h = INVALID_HANDLE_VALUE;
  uint8_t portType = 0;
  uint32_t jobActive = 0;
  bool openedHere = false;
  for (auto& [i, rec] : g_mapOpenPorts) {
    if (ShorterNameMatch(name.c_str(), rec->name)) {  // the last match wins
      h = rec->handle;
      portType = rec->portType;
      jobActive = rec->jobActive;
    }
  }
  if (h == INVALID_HANDLE_VALUE) {
    h = PrinterOpen(name.c_str(), &portType);
    // A port that can be neither found nor opened gets no reset at all.
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    openedHere = true;
  }

  BOOL result = TRUE;
  if (req.viaRts != 0) {
    const PortDriverSettings s = g_settings;
    lock.Release();
    result = PortSetRts(h, TRUE);
    if (result) {
      Sleep(kRtsPulseMs);
      result = PortSetRts(h, FALSE);
    }
    if (s.rtsOnOff) {
      const auto command = cmd::RtsCommand(s.rtsOn);
      for (uint32_t attempt = 0; attempt < s.rtsMaxRetries; ++attempt) {
        const BOOL sent = PortWrite(h, portType, command.data(), static_cast<DWORD>(command.size()));
        Sleep(s.rtsRetryWait);
        if (sent) break;
      }
    }
    lock.Reacquire();
  } else if (jobActive != 0) {
    result = FALSE;  // a print job runs: keep the reset away from it
  } else {
    EnsureStatusThread();
    const LPARAM lParam = static_cast<LPARAM>(portType) | (openedHere ? 0x10000 : 0);
    if (PostToMonitor(MONITOR_RESET_PRINTER, reinterpret_cast<WPARAM>(h), lParam, true)) {
      openedHere = false;  // the monitor closes it after sending
    } else {
      result = FALSE;
    }
  }
  if (openedHere) PortClose(h, portType);
  return result;
}

BOOL UpdatePrinterStatusRequest(PortsLock&, const ControlRequest& r) {
  if (r.in == nullptr || r.inLen == 0) return FALSE;
  if (r.inLen < kUpdateRequestBytes) return Fail(ERROR_INVALID_PARAMETER);
  const RequestFields req = ReadRequest(r.in, kUpdateRequestBytes);
  EnsureStatusThread();

  CallerName mapped(req.namePointer, req.nameSize);
  if (!mapped.mapped()) {
    NKDbgPrintfW(u"NVP_UPDATE_PRINTERSTATUS CeOpenCallerBuffer failed\r\n");
    return FALSE;
  }
  std::u16string name;
  if (!TakeName(mapped.data(), mapped.size(), &name)) return Fail(ERROR_INVALID_PARAMETER);

  uint8_t index = 0;
  WPARAM handed = 0;
  if (g_byMonitoredPort != 0) {
    PortRecord* watched = FindPort(g_byMonitoredPort);
    if (watched != nullptr && ShorterNameMatch(name.c_str(), watched->name)) index = g_byMonitoredPort;
  }
  if (index == 0) {
    index = OpenForMonitor(mapped.data(), mapped.size());
    if (index == 0) return FALSE;
    handed = kQueryCarriesReference;
  }
  PortRecord* rec = FindPort(index);
  const uint32_t jobActive = rec != nullptr ? rec->jobActive : 0;
  const LPARAM lParam = req.viaRts != 0 ? 0x10001 : (jobActive == 0 ? 1 : 0);
  const WPARAM wParam = WPARAM{index} | handed | (WPARAM{req.answerTimeout & 0xFFFF} << 16);
  if (!PostToMonitor(MONITOR_QUERY_STATUS, wParam, lParam, true)) {
    if (handed != 0) NVP_IOControl(0, NVP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr);
    return FALSE;
  }
  // Still under the lock: the monitor settles it no sooner than it is counted.
  if (handed != 0 && rec != nullptr) ++rec->refsInTransit;
  return TRUE;
}

BOOL GetPrinterStatusRequest(PortsLock&, const ControlRequest& r) {
  if (r.in == nullptr || r.inLen == 0) return FALSE;
  std::u16string name;
  if (!TakeName(r.in, r.inLen, &name)) return Fail(ERROR_INVALID_PARAMETER);
  EnsureStatusThread();

  if (g_byMonitoredPort != 0) {
    PortRecord* watched = FindPort(g_byMonitoredPort);
    if (watched != nullptr && BufferBoundedMatch(name.c_str(), r.inLen, watched->name)) return CopyOutRecords(r, 1);
  }
  if (g_byMonitoredPort == 0 && g_byRecordsPort != 0) return CopyOutRecords(r, 2);

  // Not watched yet: start watching; the records come with a later call.
  if (r.returned != nullptr) *r.returned = 0;
  const uint8_t index = OpenForMonitor(r.in, r.inLen);
  if (index == 0) return FALSE;
  if (!PostToMonitor(MONITOR_QUERY_STATUS, WPARAM{index} | kQueryCarriesReference, 0, true)) {
    NVP_IOControl(0, NVP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr);
    return FALSE;
  }
  if (PortRecord* rec = FindPort(index)) ++rec->refsInTransit;
  return TRUE;
}

BOOL StopPortMonitorRequest(PortsLock&, const ControlRequest& r) {
  if (g_mapOpenPorts.empty()) return FALSE;
  std::u16string name;
  if (r.in == nullptr || !TakeName(r.in, r.inLen, &name)) return Fail(ERROR_INVALID_PARAMETER);
  bool open = false;
  for (auto& [i, rec] : g_mapOpenPorts) {
    if (BufferBoundedMatch(name.c_str(), r.inLen, rec->name)) {
      open = true;
      break;
    }
  }
  if (!open) return FALSE;
  if (g_byMonitoredPort == 0 || FindPort(g_byMonitoredPort) == nullptr) return FALSE;
  return PostToMonitor(MONITOR_STOP, kDelayedStopMs, 0, false);
}
