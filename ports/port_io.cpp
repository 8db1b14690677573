// Raw port I/O. A parallel or USB printer-class port that moves no bytes is
// asked for its status, which tells a printer that is still there from one
// that is gone.

#include "platform/devices.h"
#include "platform/system.h"
#include "ports/ports.h"

namespace {

bool StatusAnswers(HANDLE h) {
  BYTE status[4] = {};
  DWORD returned = 0;
  return DeviceIoControl(h, IOCTL_PRINTER_GET_STATUS, nullptr, 0, status, sizeof status, &returned, nullptr) != 0;
}

bool KnownType(uint8_t portType) { return portType >= PORTTYPE_SERIAL && portType <= PORTTYPE_OTHER; }

}  // namespace

BOOL PortWrite(HANDLE h, uint8_t portType, const void* data, DWORD count, DWORD* written) {
  DWORD unused = 0;
  DWORD& taken = written != nullptr ? *written : unused;
  taken = 0;
  SetLastError(ERROR_SUCCESS);
  if (h == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!KnownType(portType)) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  const BYTE* p = static_cast<const BYTE*>(data);
  while (count > 0) {
    DWORD step = 0;
    if (!WriteFile(h, p, count, &step, nullptr)) return FALSE;
    if (step == 0) {
      // A printer that still answers has only stopped taking data for now;
      // the platform's own error value stands.
      if (portType == PORTTYPE_PARALLEL && StatusAnswers(h)) return FALSE;
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
    if (step > count) step = count;  // never trust a count past the request
    p += step;
    count -= step;
    taken += step;
  }
  return TRUE;
}

BOOL PortRead(HANDLE h, uint8_t portType, void* buffer, DWORD size, DWORD* count) {
  if (h == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  if (buffer == nullptr || count == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  BOOL ok = ReadFile(h, buffer, size, count, nullptr);
  if (portType == PORTTYPE_PARALLEL && *count == 0 && !StatusAnswers(h)) {
    SetLastError(ERROR_GRACEFUL_DISCONNECT);
    return FALSE;
  }
  return ok;
}

BOOL PortPurge(HANDLE h, uint8_t portType, BOOL receiveSide) {
  if (portType != PORTTYPE_SERIAL) return FALSE;
  return PurgeComm(h, receiveSide ? PURGE_RXCLEAR : PURGE_TXCLEAR);
}

BOOL PortSetRts(HANDLE h, BOOL rtsOff) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(h, &dcb)) return FALSE;
  dcb.fRtsControl = rtsOff ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
  return SetCommState(h, &dcb);
}

BOOL PortClose(HANDLE h, uint8_t portType) {
  if (!KnownType(portType) || h == INVALID_HANDLE_VALUE) return FALSE;
  return CloseHandle(h);
}
