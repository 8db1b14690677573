// Port access: opening and configuring ports, raw port I/O, and printer model
// identification.
#pragma once

#include <cstdint>

#include "platform/devices.h"
#include "platform/types.h"

constexpr uint8_t PORTTYPE_SERIAL = 8;
constexpr uint8_t PORTTYPE_PARALLEL = 9;
constexpr uint8_t PORTTYPE_OTHER = 10;

HANDLE PrinterOpen(LPCWSTR portName, uint8_t* portType);
void ApplySerialSettings(DCB* dcb);

// `written`, when given, receives the bytes the port took, also on failure:
// a caller that retries goes on after them instead of sending them twice.
BOOL PortWrite(HANDLE h, uint8_t portType, const void* data, DWORD count, DWORD* written = nullptr);
BOOL PortRead(HANDLE h, uint8_t portType, void* buffer, DWORD size, DWORD* count);
BOOL PortPurge(HANDLE h, uint8_t portType, BOOL receiveSide);
BOOL PortSetRts(HANDLE h, BOOL rtsOff);
BOOL PortClose(HANDLE h, uint8_t portType);

uint32_t PortDetectModel(HANDLE h, uint8_t portType);

// Model codes; 3 and 6 are the S91 models.
constexpr uint32_t MODEL_NONE = 0;
constexpr uint32_t MODEL_S91 = 3;
constexpr uint32_t MODEL_S91_300DPI = 6;
constexpr bool IsS91Model(uint32_t code) { return code == MODEL_S91 || code == MODEL_S91_300DPI; }
