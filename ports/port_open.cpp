// Port opening: name resolution, the kind of port, the serial line settings
// and the timeouts.

#include <cstring>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "ports/ports.h"

namespace {

constexpr WCHAR kPortsKey[] = u"Printers\\Ports";
constexpr WCHAR kDriverKey[] = u"Drivers\\BuiltIn\\NVP";
constexpr DWORD kDefaultPrintTimeout = 500;

// Rates a serial name may carry after its device part; the text must match exactly.
constexpr const WCHAR* kBaudRates[] = {u"110",   u"300",   u"600",    u"1200",   u"2400",   u"4800",
                                       u"9600",  u"14400", u"19200",  u"38400",  u"56000",  u"57600",
                                       u"115200", u"128000", u"256000", u"460800", u"921600"};

size_t WideLength(const WCHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

bool WideEqual(const WCHAR* a, const WCHAR* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// A 4-byte setting of any registry type. Shorter data reads as its own
// little-endian value; longer data cannot be read.
bool ReadDword(HKEY key, const WCHAR* name, DWORD* value) {
  BYTE data[4] = {};
  DWORD size = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, nullptr, data, &size) != ERROR_SUCCESS) return false;
  *value = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
  return true;
}

// The DefaultPrintPort value as a NUL-terminated name in a LocalAlloc block
// of at least 12 bytes, or null.
WCHAR* ReadDefaultPort() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return nullptr;
  WCHAR* name = nullptr;
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_SZ) {
    // Room for the data rounded to whole characters plus a NUL character of
    // our own, since stored data need not end in one.
    DWORD bytes = ((size + 1) & ~1u) + 2;
    if (bytes < 12) bytes = 12;
    name = static_cast<WCHAR*>(LocalAlloc(LPTR, bytes));
    if (name != nullptr) {
      DWORD readSize = bytes - 2;
      if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type, reinterpret_cast<BYTE*>(name), &readSize) !=
          ERROR_SUCCESS) {
        LocalFree(name);
        name = nullptr;
      }
    }
  }
  RegCloseKey(key);
  return name;
}

DWORD ReadPrintTimeout() {
  DWORD timeout = kDefaultPrintTimeout;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    if (!ReadDword(key, u"PrintTimeout", &timeout)) timeout = kDefaultPrintTimeout;
    RegCloseKey(key);
  }
  return timeout;
}

// Reads return after about 20 ms when nothing waits, which paces the status
// monitor; a write gives up after the print timeout.
void SetPortTimeouts(HANDLE h, DWORD printTimeout) {
  COMMTIMEOUTS t{};
  GetCommTimeouts(h, &t);
  t.ReadIntervalTimeout = 10;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 20;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = printTimeout;
  SetCommTimeouts(h, &t);
}

bool NameIs(const WCHAR* name, const WCHAR* prefix) {
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, 3, prefix, 3) == CSTR_EQUAL;
}

}  // namespace

void ApplySerialSettings(DCB* dcb) {
  dcb->fOutX = 1;
  dcb->fInX = 1;
  dcb->Parity = NOPARITY;
  dcb->StopBits = TWOSTOPBITS;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  DWORD value = 0;
  if (ReadDword(key, u"XonXoff", &value)) {
    if (value == 0) {
      dcb->fOutX = 0;
      dcb->fInX = 0;
      dcb->fOutxCtsFlow = 1;
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
      dcb->fOutX = 1;
      dcb->fInX = 1;
    }
  }
  if (ReadDword(key, u"StopBits", &value)) {
    dcb->StopBits = value == 0 ? ONESTOPBIT : (value == 1 ? ONE5STOPBITS : TWOSTOPBITS);
  }
  if (ReadDword(key, u"Parity", &value)) {
    dcb->Parity = value <= SPACEPARITY ? static_cast<BYTE>(value) : NOPARITY;
  }
  RegCloseKey(key);
}

HANDLE PrinterOpen(LPCWSTR portName, uint8_t* portType) {
  if (portType == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);

  // The working copy has at least six characters: the device part is cut at
  // positions 4 and 5 whatever the name's length.
  WCHAR* name = nullptr;
  if (portName != nullptr) {
    size_t length = WideLength(portName);
    size_t chars = length + 1 < 6 ? 6 : length + 1;
    name = static_cast<WCHAR*>(LocalAlloc(LPTR, chars * sizeof(WCHAR)));
    if (name != nullptr) std::memcpy(name, portName, (length + 1) * sizeof(WCHAR));
  }
  if (name == nullptr) name = ReadDefaultPort();
  if (name == nullptr) {
    name = static_cast<WCHAR*>(LocalAlloc(LPTR, 12));
    if (name == nullptr) {
      SetLastError(ERROR_OUTOFMEMORY);
      return INVALID_HANDLE_VALUE;
    }
    std::memcpy(name, u"LPT1:", 12);
  }

  const bool parallel = NameIs(name, u"LPT");
  const bool serial = !parallel && NameIs(name, u"COM");

  DWORD baud = 115200;
  if (serial && WideLength(name) > 6) {
    for (const WCHAR* rate : kBaudRates) {
      if (WideEqual(name + 6, rate)) {
        baud = 0;
        for (const WCHAR* p = rate; *p; ++p) baud = baud * 10 + static_cast<DWORD>(*p - u'0');
      }
    }
  }
  const DWORD printTimeout = ReadPrintTimeout();

  HANDLE h = INVALID_HANDLE_VALUE;
  if (serial || parallel) {
    name[4] = u':';
    name[5] = 0;
    h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, serial ? CREATE_ALWAYS : OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      if (serial) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (GetCommState(h, &dcb)) {
          dcb.BaudRate = baud;
          ApplySerialSettings(&dcb);
          SetCommState(h, &dcb);
        }
      }
      SetPortTimeouts(h, printTimeout);
      *portType = serial ? PORTTYPE_SERIAL : PORTTYPE_PARALLEL;
    }
  } else {
    // Other devices take data only; afterwards they are treated as parallel ports.
    h = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) *portType = PORTTYPE_PARALLEL;
  }
  LocalFree(name);
  return h;
}
