// The GDI half's connection to the port driver: every byte and every request
// goes through the "NVP1:" device instance; no port is touched here.
#include <string>
#include <type_traits>

#include "commands/commands.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "raster/printer_context.h"

namespace {

// S91 models want zero bytes to wake up before a job.
bool IsS91(uint32_t modelCode) { return modelCode == 3 || modelCode == 6; }

// The port a job without a port name prints to: the registry's default print
// port, else "LPT1:", as the port layer chooses it for an open without a name.
std::u16string DefaultPrintPort() {
  std::u16string name = u"LPT1:";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Printers\\Ports", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return name;
  DWORD type = REG_NONE;
  DWORD size = 0;
  constexpr DWORD kMaxNameBytes = 512;
  if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ &&
      size >= sizeof(WCHAR) && size <= kMaxNameBytes) {
    WCHAR value[kMaxNameBytes / sizeof(WCHAR) + 1] = {};
    DWORD read = size;
    if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type, reinterpret_cast<LPBYTE>(value), &read) ==
            ERROR_SUCCESS &&
        value[0] != 0) {
      name = value;  // stored data need not end in a NUL: the buffer has one more
    }
  }
  RegCloseKey(key);
  return name;
}

BOOL Control(HANDLE device, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen) {
  return DeviceIoControl(device, code, in, inLen, out, outLen, nullptr, nullptr);
}

}  // namespace

void PrinterContext::ReadSettings() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortDriverKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  auto read = [key](const char16_t* name, auto* target) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) == ERROR_SUCCESS) {
      *target = static_cast<std::remove_reference_t<decltype(*target)>>(value);
    }
  };
  read(u"PrintTimeout", &printTimeout);
  read(u"numWakeUpBytes", &wakeUpBytes);
  read(u"EnableResetStatusviaRTS", &resetStatusViaRts);
  RegCloseKey(key);
}

HANDLE OutputChannel::OpenDevice(LPCWSTR portName) {
  CloseDevice();
  lostOutputError = 0;  // a new connection, a printer in a known state
  // Without a name the job goes to the default print port, named here so
  // that the port driver shares it with everyone else who opened it by name.
  std::u16string defaultPort;
  const WCHAR* name = portName;
  if (name == nullptr || name[0] == 0) {
    defaultPort = DefaultPrintPort();
    name = defaultPort.c_str();
  }
  const DWORD nameBytes = static_cast<DWORD>((std::char_traits<char16_t>::length(name) + 1) * sizeof(WCHAR));

  for (int attempt = 0; attempt < 2; ++attempt) {
    hDevice = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hDevice == nullptr) hDevice = INVALID_HANDLE_VALUE;
    if (hDevice == INVALID_HANDLE_VALUE) {
      // The port driver may not be loaded yet: have the device manager load it.
      ActivateDevice(kPortDriverKey, 0);
      continue;
    }
    uint8_t index = 0;
    if (Control(hDevice, NVP_OPEN, const_cast<WCHAR*>(name), nameBytes, &index, 1)) {
      controlBase = index;
    } else {
      const DWORD error = GetLastError();
      CloseHandle(hDevice);
      hDevice = INVALID_HANDLE_VALUE;
      SetLastError(error);
    }
    break;
  }
  return hDevice;
}

void OutputChannel::CloseDevice() {
  if (hDevice == INVALID_HANDLE_VALUE) return;
  FlushOutput();
  Control(hDevice, NVP_CLOSE + controlBase, nullptr, 0, nullptr, 0);
  CloseHandle(hDevice);
  hDevice = INVALID_HANDLE_VALUE;
}

HANDLE PrinterContext::StartJob(LPCWSTR portName) {
  if (OpenDevice(portName) == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  if (IsS91(GetCurrentModelCode()) && wakeUpBytes > 0) {
    // One write per byte: the printer wakes on each separately.
    for (uint32_t i = 0; i < wakeUpBytes; ++i) {
      if (AppendOutput(&cmd::kWakeUpByte, 1)) FlushOutput();
    }
  }
  // RTS dropped for 20 ms and raised again (a nonzero value means off).
  SetRts(1);
  Sleep(20);
  SetRts(0);
  if (resetStatusViaRts == 1) {
    const auto reset = cmd::RtsCommand(cmd::kRtsStatusResetValue);
    if (AppendOutput(reset.data(), static_cast<int32_t>(reset.size()))) FlushOutput();
  }
  if (AppendOutput(cmd::kJobInit.data(), static_cast<int32_t>(cmd::kJobInit.size()))) FlushOutput();
  return hDevice;
}

BOOL PrinterContext::Shutdown() {
  FreeRasterBuffers();
  CloseDevice();
  return TRUE;
}

BOOL PrinterContext::WaitReady(DWORD stopFlag) {
  DWORD flag = stopFlag;
  if (Control(hDevice, NVP_CHECK_STATUS + controlBase, &flag, sizeof flag, nullptr, 0)) return TRUE;
  int32_t retries = stopFlag == 0 ? 8 : printTimeout / 100;
  for (; retries > 0; --retries) {
    // Only "not ready" is waited out; paper out and errors end the wait.
    if (GetLastError() != ERROR_NOT_READY) return FALSE;
    Sleep(100);
    flag = stopFlag;
    if (Control(hDevice, NVP_CHECK_STATUS + controlBase, &flag, sizeof flag, nullptr, 0)) return TRUE;
  }
  return FALSE;
}

BOOL PrinterContext::MarkJobActive() { return Control(hDevice, NVP_SET_JOBACTIVE + controlBase, nullptr, 0, nullptr, 0); }

BOOL PrinterContext::MarkJobInactive() {
  return Control(hDevice, NVP_CLEAR_JOBACTIVE + controlBase, nullptr, 0, nullptr, 0);
}

BOOL PrinterContext::ResetPort() { return Control(hDevice, NVP_RESET_RTS + controlBase, nullptr, 0, nullptr, 0); }

BOOL PrinterContext::SetRts(DWORD value) {
  DWORD v = value;
  return Control(hDevice, NVP_SET_RTS + controlBase, &v, sizeof v, nullptr, 0);
}
