// Shared by the control dispatcher and the printer-status requests.
#pragma once

#include <string>

#include "platform/types.h"
#include "portdriver/port_lock.h"

// One call of NVP_IOControl, split up.
struct ControlRequest {
  DWORD function;
  uint8_t index;
  BYTE* in;
  DWORD inLen;
  BYTE* out;
  DWORD outLen;
  DWORD* returned;
};

// Copies a wide name that must end with a NUL within `bytes` bytes of `data`
// (the buffer may be unaligned). False when there is no NUL in it.
bool TakeName(const void* data, DWORD bytes, std::u16string* name);

// The printer-status requests; each is entered with g_csPorts held by `lock`.
BOOL ResetPrinterRequest(PortsLock& lock, const ControlRequest& r);
BOOL UpdatePrinterStatusRequest(PortsLock& lock, const ControlRequest& r);
BOOL GetPrinterStatusRequest(PortsLock& lock, const ControlRequest& r);
BOOL StopPortMonitorRequest(PortsLock& lock, const ControlRequest& r);
