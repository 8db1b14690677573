// Files and devices: the device namespace ("COM1:", "LPT1:", "NVP1:" ...),
// serial-port control, the printer-class control codes, the device manager
// and caller buffers.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/types.h"

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Printer-class control codes of the parallel and USB printer port drivers.
constexpr DWORD IOCTL_PRINTER_GET_DEVICE_ID = 0x16000C;  // IEEE 1284 device ID
constexpr DWORD IOCTL_PRINTER_GET_STATUS = 0x160018;     // port status, 4 bytes

// Serial line settings. The bit fields keep the 28-byte layout.
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCBlength is 28");

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// String comparison.
using LCID = DWORD;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr DWORD NORM_IGNORECASE = 0x00000001;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

extern "C" {
// A name that is neither an active stream driver nor in the device map fails
// with ERROR_FILE_NOT_FOUND; a port that is open already fails with
// ERROR_SHARING_VIOLATION (ports are exclusive; stream drivers decide in their
// Open). Reads and writes outside the access asked for fail with
// ERROR_ACCESS_DENIED; calls on a closed handle with ERROR_INVALID_HANDLE.
KESTPLAT_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                void* lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                HANDLE hTemplateFile);
KESTPLAT_API BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
                           void* lpOverlapped);
KESTPLAT_API BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                            DWORD* lpNumberOfBytesWritten, void* lpOverlapped);
KESTPLAT_API BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer, DWORD nInBufferSize,
                                  void* lpOutBuffer, DWORD nOutBufferSize, DWORD* lpBytesReturned,
                                  void* lpOverlapped);
// Closes any handle of the stand-in: files, devices, threads, events.
KESTPLAT_API BOOL CloseHandle(HANDLE hObject);

KESTPLAT_API BOOL GetCommState(HANDLE hFile, DCB* lpDCB);
KESTPLAT_API BOOL SetCommState(HANDLE hFile, DCB* lpDCB);
KESTPLAT_API BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts);
KESTPLAT_API BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts);
KESTPLAT_API BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);

KESTPLAT_API int CompareStringW(LCID Locale, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2,
                                int cchCount2);

// Device manager: loads the stream driver named by a driver key (values Dll,
// Prefix, Index), calls its <Prefix>_Init and makes "<Prefix><Index>:"
// openable. Returns a device handle, or 0 on failure.
KESTPLAT_API HANDLE ActivateDevice(LPCWSTR lpszDevKey, DWORD dwClientInfo);
KESTPLAT_API BOOL DeactivateDevice(HANDLE hDevice);

// Caller buffers: resolves a pointer an application placed inside a request
// (a 32-bit address of its own space). S_OK (0) or a negative error.
using HRESULT = LONG;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr DWORD ARG_I_WSTR = 5;  // argument descriptor: input wide string
KESTPLAT_API HRESULT CeOpenCallerBuffer(void** ppDestMarshalled, void* pSrcUnmarshalled, DWORD cbSrc,
                                        DWORD ArgumentDescriptor, BOOL ForceDuplicate);
KESTPLAT_API HRESULT CeCloseCallerBuffer(void* pDestMarshalled, void* pSrcUnmarshalled, DWORD cbSrc,
                                         DWORD ArgumentDescriptor);
}

namespace plat {

// A stream driver's entry points, as the device manager calls them.
struct StreamDriverEntries {
  DWORD (*Init)(LPCWSTR context, LPCVOID busContext);
  BOOL (*Deinit)(DWORD deviceContext);
  DWORD (*Open)(DWORD deviceContext, DWORD accessCode, DWORD shareMode);
  BOOL (*Close)(DWORD openContext);
  BOOL (*IOControl)(DWORD openContext, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen, DWORD* actualOut);
};

// Registers a stream driver from a table of functions: Init is called now;
// on success the device `name` (for example u"NVP1:") becomes openable.
KESTPLAT_API bool RegisterStreamDriver(const std::u16string& name, const StreamDriverEntries& entries);
// Deinit and removal; open handles on it fail from then on.
KESTPLAT_API void UnregisterStreamDriver(const std::u16string& name);
// Removes every stream driver (each Deinit is called) and every library the
// device manager loaded.
KESTPLAT_API void UnregisterAllStreamDrivers();

// One device behind a port name. Every operation sets the last-error value on
// failure, as the platform's own port drivers do.
class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  // Called by CreateFileW; returns ERROR_SUCCESS or the error to report.
  virtual DWORD Open(DWORD access, DWORD disposition) = 0;
  virtual BOOL Read(void* buffer, DWORD size, DWORD* read) = 0;
  virtual BOOL Write(const void* data, DWORD size, DWORD* written) = 0;
  virtual BOOL IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned);
  virtual BOOL GetCommState(DCB* dcb);
  virtual BOOL SetCommState(const DCB* dcb);
  virtual BOOL GetCommTimeouts(COMMTIMEOUTS* t);
  virtual BOOL SetCommTimeouts(const COMMTIMEOUTS* t);
  virtual BOOL Purge(DWORD flags);
  // Called by CloseHandle before Close, from the closing thread: makes reads
  // and writes waiting in other threads return at once. Close follows when
  // they have returned. Calls may arrive from several threads at a time.
  virtual void Cancel();
  virtual void Close() = 0;
};

// Makes backends for one scheme of the device map ("tty", "usblp", "file",
// "virtual", or a test's own); `argument` is the text after "scheme:".
using BackendFactory = std::function<std::shared_ptr<DeviceBackend>(const std::string& argument)>;
KESTPLAT_API void RegisterBackendScheme(const std::string& scheme, BackendFactory factory);
KESTPLAT_API void UnregisterBackendScheme(const std::string& scheme);

// The device map lives in the registry, under this key, one REG_SZ value per
// device name: "COM1:"="tty:/dev/ttyUSB0", "LPT1:"="usblp:/dev/usb/lp0",
// "LPT2:"="virtual", "OUT1:"="file:/tmp/out.prn".
constexpr char16_t kDeviceMapKey[] = u"Platform\\DeviceMap";
KESTPLAT_API bool MapDevice(const std::u16string& name, const std::string& target);

// Registers caller memory so that CeOpenCallerBuffer can resolve it; returns
// the 32-bit address the application puts into its requests (0 on failure).
KESTPLAT_API uint32_t RegisterCallerBuffer(void* memory, size_t size);
KESTPLAT_API void UnregisterCallerBuffer(uint32_t address);

// True when [memory, memory + size) lies wholly inside one registered caller
// region (looked up by the real pointer). False for null or size 0.
KESTPLAT_API bool IsCallerMemory(const void* memory, size_t size);
// The kernel's check of a caller's buffers, off by default: while on,
// DeviceIoControl on a stream-driver handle refuses with
// ERROR_INVALID_PARAMETER, without calling the driver, a non-null input or
// output buffer with a non-zero length that does not lie wholly inside one
// registered caller region. A null buffer passes with any length: the
// driver checks those itself.
KESTPLAT_API void SetCallerBufferCheck(bool on);
KESTPLAT_API bool CallerBufferCheck();

}  // namespace plat
