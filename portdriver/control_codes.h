// Control codes of the "NVP1:" stream driver and the messages that steer the
// status monitor thread. A control code is a function (code AND 0xFFFF00)
// plus the port index in its low byte.
#pragma once

#include <cstdint>

#include "platform/types.h"

constexpr DWORD NVP_OPEN = 0x100;
constexpr DWORD NVP_WRITE = 0x200;  // the byte count, when asked for, says how many bytes the port took
constexpr DWORD NVP_CLOSE = 0x300;
constexpr DWORD NVP_READ = 0x400;
constexpr DWORD NVP_SET_RTS = 0x500;
constexpr DWORD NVP_CHECK_STATUS = 0x600;
constexpr DWORD NVP_SET_JOBACTIVE = 0x700;
constexpr DWORD NVP_CLEAR_JOBACTIVE = 0x800;
constexpr DWORD NVP_RESET_PRINTER = 0x900;
constexpr DWORD NVP_UPDATE_PRINTERSTATUS = 0xA00;
constexpr DWORD NVP_GET_PRINTERSTATUS = 0xB00;
constexpr DWORD NVP_OPEN_NOMONITOR = 0xC00;
constexpr DWORD NVP_RESET_RTS = 0xD00;
constexpr DWORD NVP_STOP_PORTMONITOR = 0xE00;
constexpr DWORD NVP_WRITE_IDLE = 0x1000;
constexpr DWORD NVP_GET_INDEX = 0x1100;

constexpr DWORD NVP_FUNCTION_MASK = 0xFFFF00;
constexpr DWORD NVP_INDEX_MASK = 0xFF;

constexpr UINT WM_USER_BASE = 0x400;
constexpr UINT MONITOR_STOP = WM_USER_BASE + 1;
constexpr UINT MONITOR_RESET_PRINTER = WM_USER_BASE + 2;
constexpr UINT MONITOR_QUERY_STATUS = WM_USER_BASE + 3;
constexpr UINT MONITOR_PORT_OPENED = WM_USER_BASE + 4;
constexpr UINT MONITOR_KEEP_RUNNING = WM_USER_BASE + 5;

// Event names applications wait on.
constexpr char16_t kStatusDataEventName[] = u"NORV_PRINTER_STATUS_DATA";
constexpr char16_t kStatusTimeoutEventName[] = u"NORV_PRINTER_STATUS_TIMEOUT";

// The device instance and its registry key.
constexpr char16_t kPortDriverDevice[] = u"NVP1:";
constexpr char16_t kPortDriverKey[] = u"Drivers\\BuiltIn\\NVP";

// The request record of NVP_RESET_PRINTER and NVP_UPDATE_PRINTERSTATUS, as the
// application lays it out: 16 bytes, little-endian.
struct PortRequest {
  uint32_t namePointer;  // caller-space address of the wide port name
  uint32_t nameSize;     // bytes, NUL included; low 8 bits used
  uint32_t viaRts;       // not 0: RTS pulse instead of a printer command
  uint32_t answerTimeout;  // ms; low 16 bits used; status update only
};
static_assert(sizeof(PortRequest) == 16);
