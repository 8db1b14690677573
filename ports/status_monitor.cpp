// The status monitor thread. It watches one open port at a time, records
// every byte the printer sends back into both status queues, and serves the
// monitor messages. It holds one reference to the port it watches and gives
// it back through NVP_CLOSE.
#include "ports/status_monitor.h"

#include <cstring>

#include "commands/commands.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_lock.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"
#include "ports/ports.h"

namespace {

constexpr DWORD kReadBufferBytes = 64;
constexpr DWORD kIdleSleepMs = 200;      // watching nothing
constexpr DWORD kParallelSleepMs = 100;  // parallel port with nothing to read
constexpr DWORD kMinPassMs = 20;         // other ports with nothing to read
constexpr DWORD kReplyGraceMs = 100;
constexpr DWORD kRtsDropMs = 20;
constexpr DWORD kRtsSettleMs = 50;

struct Monitor {
  uint8_t index = 0;  // 0 = watching nothing
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint8_t portType = 0;
  bool stopPending = false;
  uint64_t stopDeadline = 0;
  bool replyWatch = false;
  DWORD replyDeadline = 0;

  // The tick count extended to 64 bits, so that a stop deadline past the
  // 32-bit wrap falls due however late the pass that sees it comes.
  DWORD lastTick = 0;
  uint64_t tickHigh = 0;

  uint64_t Now64() {
    const DWORD t = GetTickCount();
    if (t < lastTick) tickHigh += uint64_t{1} << 32;
    lastTick = t;
    return tickHigh | t;
  }
};

void RecordByte(uint8_t index, uint8_t byte) {
  auto* rec = static_cast<StatusRecord*>(LocalAlloc(LPTR, sizeof(StatusRecord)));
  if (rec == nullptr) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  rec->second = static_cast<uint8_t>(now.wSecond);
  rec->minute = static_cast<uint8_t>(now.wMinute);
  rec->hour = static_cast<uint8_t>(now.wHour);
  rec->day = static_cast<uint8_t>(now.wDay);
  rec->month = static_cast<uint8_t>(now.wMonth);
  rec->reserved1 = 0;
  rec->year = now.wYear;
  rec->byte = byte;
  rec->reserved2 = 0;

  PortsLock lock;
  g_byRecordsPort = index;
  try {
    AppendStatusRecord(g_dequeStatusRecords, rec);
  } catch (...) {
    LocalFree(rec);
    return;
  }
  auto* copy = static_cast<StatusRecord*>(LocalAlloc(LPTR, sizeof(StatusRecord)));
  if (copy == nullptr) return;
  std::memcpy(copy, rec, sizeof(StatusRecord));
  try {
    AppendStatusRecord(g_dequeStatusHistory, copy);
  } catch (...) {
    LocalFree(copy);
  }
}

// Gives the monitor's port back and clears the thread globals. Called with
// g_csPorts held, after the caller saw no message waiting in that same hold:
// every post to the monitor is made under the lock, so a sender either got
// its message in before that look, or finds no monitor and starts a new one.
void Retire(Monitor& m) {
  RetireStatusThread();
  g_byMonitoredPort = 0;
  if (m.index != 0 && m.handle != INVALID_HANDLE_VALUE) ReleasePortReference(m.index);
  m.index = 0;
  m.handle = INVALID_HANDLE_VALUE;
}

// The port was lost: forced to its last reference and given back, so that it
// is closed and leaves the table whatever other users it had.
void DropLostPort(Monitor& m) {
  if (m.index == 0) return;
  PortsLock lock;
  if (PortRecord* rec = FindPort(m.index)) rec->refCount = 1;
  g_byMonitoredPort = 0;
  const uint8_t lostIndex = m.index;
  m.index = 0;
  m.handle = INVALID_HANDLE_VALUE;
  m.portType = 0;
  m.replyWatch = false;
  ReleasePortReference(lostIndex);
}

// Ends the thread unless a message waits; a waiting message is served first
// (it may start a new watch, cancel the stop, or hand over a reference).
bool TryEnd(Monitor& m) {
  PortsLock lock;
  MSG msg;
  if (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) return false;
  Retire(m);
  return true;
}

// A reference posted with a status query for a port already watched: one is
// enough. Taken off the references in transit and given back in one hold of
// the lock, so that a client's close never counts it as a user left.
void GiveBackCarried(uint8_t index) {
  PortsLock lock;
  if (PortRecord* rec = FindPort(index); rec != nullptr && rec->refsInTransit > 0) --rec->refsInTransit;
  ReleasePortReference(index);
}

void ResetPrinter(WPARAM wParam, uint32_t lParam) {
  HANDLE h = reinterpret_cast<HANDLE>(wParam);
  const auto portType = static_cast<uint8_t>(lParam & 0xFF);
  if (!PortWrite(h, portType, cmd::kReset.data(), static_cast<DWORD>(cmd::kReset.size()))) {
    SignalStatusEvent(&g_hStatusTimeoutEvent);
  }
  if ((lParam >> 16) != 0) PortClose(h, portType);
}

// MONITOR_STOP with 0 ends the thread now. Messages still queued are not
// served one pass each; only what they hand over is settled: a reset is sent
// and its port closed, a reference is given back.
bool EndNow(Monitor& m) {
  for (;;) {
    MSG msg;
    {
      PortsLock lock;
      if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        Retire(m);
        return true;
      }
    }
    if (msg.message == MONITOR_RESET_PRINTER) {
      ResetPrinter(msg.wParam, static_cast<uint32_t>(msg.lParam));
    } else if (msg.message == MONITOR_QUERY_STATUS && (msg.wParam & kQueryCarriesReference) != 0) {
      GiveBackCarried(static_cast<uint8_t>(msg.wParam & 0xFF));
    }
  }
}

// Starts watching port i. With carriesReference the sender obtained the
// monitor's reference; otherwise the monitor takes its own here, in the same
// hold of the lock as the look-up, so it never watches a port it holds no
// reference to. False when port i is not open (then watching nothing) or has
// no reference left to give.
bool TakeOver(Monitor& m, uint8_t i, bool carriesReference) {
  HANDLE newHandle = INVALID_HANDLE_VALUE;
  uint8_t newType = 0;
  bool found = false;
  {
    PortsLock lock;
    PortRecord* rec = FindPort(i);
    if (rec != nullptr && !carriesReference) {
      if (rec->refCount == 0xFF) return false;  // keep watching the old port
      ++rec->refCount;
    }
    // The reference that came with the message is the monitor's own now.
    if (rec != nullptr && carriesReference && rec->refsInTransit > 0) --rec->refsInTransit;
    if (g_byRecordsPort != i) ClearStatusQueue(g_dequeStatusRecords);
    if (rec != nullptr) {
      newHandle = rec->handle;
      newType = rec->portType;
      g_byMonitoredPort = i;
      found = true;
    } else {
      g_byMonitoredPort = 0;
    }
  }
  if (m.index != 0 && m.handle != INVALID_HANDLE_VALUE) ReleasePortReference(m.index);
  m.index = found ? i : 0;
  m.handle = newHandle;
  m.portType = newType;
  if (!found) m.replyWatch = false;
  return found;
}

void RequestStatus(Monitor& m, WPARAM wParam, uint32_t lParam) {
  const DWORD timeout = static_cast<DWORD>((wParam >> 16) & 0xFFFF);
  if ((lParam >> 16) != 0) {
    if (!PortSetRts(m.handle, TRUE)) {
      SignalStatusEvent(&g_hStatusTimeoutEvent);
      return;
    }
    Sleep(kRtsDropMs);
    const BOOL raised = PortSetRts(m.handle, FALSE);
    Sleep(kRtsSettleMs);
    if (!raised) {
      SignalStatusEvent(&g_hStatusTimeoutEvent);
      return;
    }
  } else if (!PortWrite(m.handle, m.portType, cmd::kStatusRequest.data(),
                        static_cast<DWORD>(cmd::kStatusRequest.size()))) {
    SignalStatusEvent(&g_hStatusTimeoutEvent);
    return;
  }
  if (timeout > 0) {
    m.replyWatch = true;
    m.replyDeadline = GetTickCount() + timeout + kReplyGraceMs;
  }
}

// MONITOR_QUERY_STATUS and MONITOR_PORT_OPENED (which never carries a
// reference: the monitor takes its own).
void QueryStatus(Monitor& m, WPARAM wParam, uint32_t lParam, bool mayCarryReference) {
  const auto i = static_cast<uint8_t>(wParam & 0xFF);
  const bool carries = mayCarryReference && (wParam & kQueryCarriesReference) != 0;
  if (i != m.index) {
    if (!TakeOver(m, i, carries)) return;
  } else if (carries && i != 0) {
    GiveBackCarried(i);
  }
  if ((lParam & 0xFFFF) != 0) RequestStatus(m, wParam, lParam);
}

// Serves one message; true when the thread has ended.
bool Dispatch(Monitor& m, const MSG& msg) {
  const auto lParam = static_cast<uint32_t>(msg.lParam);
  switch (msg.message) {
    case MONITOR_STOP:
      if (msg.wParam != 0) {
        m.stopPending = true;
        m.stopDeadline = m.Now64() + msg.wParam;
        return false;
      }
      return EndNow(m);
    case MONITOR_KEEP_RUNNING:
      m.stopPending = false;
      return false;
    case MONITOR_RESET_PRINTER:
      ResetPrinter(msg.wParam, lParam);
      return false;
    case MONITOR_PORT_OPENED:
      QueryStatus(m, msg.wParam, lParam, false);
      return false;
    case MONITOR_QUERY_STATUS:
      QueryStatus(m, msg.wParam, lParam, true);
      return false;
    default:
      return false;
  }
}

}  // namespace

DWORD StatusThreadProc(LPVOID readyEvent) {
  // The first look at the queue creates it; only then may anyone post.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  if (readyEvent != nullptr) EventModify(static_cast<HANDLE>(readyEvent), EVENT_SET);

  Monitor m;
  m.lastTick = GetTickCount();
  for (;;) {
    bool nothingRead = false;
    bool lostThisPass = false;
    const DWORD now = GetTickCount();
    m.Now64();

    if (m.index != 0) {
      BYTE buffer[kReadBufferBytes];
      DWORD count = 0;
      BOOL ok;
      DWORD error;
      {
        PortsLock lock;
        ok = PortRead(m.handle, m.portType, buffer, sizeof buffer, &count);
        error = GetLastError();
      }
      if (!ok) {
        if (error == ERROR_GRACEFUL_DISCONNECT || error == ERROR_SERIAL_NO_DEVICE) {
          lostThisPass = true;
        } else {
          nothingRead = true;  // timeouts and other errors: poll again
        }
      } else if (count == 0) {
        nothingRead = true;
      } else {
        if (count > sizeof buffer) count = sizeof buffer;
        for (DWORD k = 0; k < count; ++k) RecordByte(m.index, buffer[k]);
        m.replyWatch = false;
        SignalStatusEvent(&g_hStatusDataEvent);
      }
    }

    // Signed difference: a deadline just past the 32-bit wrap is still ahead.
    if (m.replyWatch && static_cast<int32_t>(now - m.replyDeadline) > 0) {
      SignalStatusEvent(&g_hStatusTimeoutEvent);
      m.replyWatch = false;
    }

    if (lostThisPass) {
      DropLostPort(m);
      if (TryEnd(m)) return 1;
      continue;
    }
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (GetMessageW(&msg, nullptr, 0, 0) > 0 && Dispatch(m, msg)) return 1;
      continue;
    }
    if (m.stopPending && m.Now64() >= m.stopDeadline) {
      if (TryEnd(m)) return 1;
      continue;
    }

    if (m.index == 0) {
      Sleep(kIdleSleepMs);
    } else if (nothingRead && m.portType == PORTTYPE_PARALLEL) {
      Sleep(kParallelSleepMs);
    } else if (nothingRead) {
      // A read with nothing to fetch normally waits about 20 ms itself; a
      // port that answers at once must not turn the loop into a spin.
      const DWORD spent = GetTickCount() - now;
      Sleep(spent < kMinPassMs ? kMinPassMs - spent : 0);
    } else {
      Sleep(0);
    }
  }
}
