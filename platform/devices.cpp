// The device namespace of the stand-in: stream drivers (registered from a
// table of functions or loaded by ActivateDevice), ports resolved through the
// device map to backends, and string comparison.
//
// Missing devices: CreateFileW on a name that is neither an active stream
// driver nor a mapped port fails with ERROR_FILE_NOT_FOUND, as the platform's
// device manager reports a device that is not there.
// Ports are exclusive: a second open of a port name that is open fails with
// ERROR_SHARING_VIOLATION. Stream drivers decide in their own Open.

#include "platform/devices.h"

#include <dlfcn.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/dev_backends.h"
#include "platform/handles.h"
#include "platform/registry.h"
#include "platform/system.h"

// Defaults for the optional operations of a backend: a device without serial
// lines or printer-class control codes refuses them.
BOOL plat::DeviceBackend::IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL plat::DeviceBackend::GetCommState(DCB*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL plat::DeviceBackend::SetCommState(const DCB*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL plat::DeviceBackend::GetCommTimeouts(COMMTIMEOUTS*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL plat::DeviceBackend::SetCommTimeouts(const COMMTIMEOUTS*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL plat::DeviceBackend::Purge(DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
void plat::DeviceBackend::Cancel() {}

namespace plat {
namespace {

std::u16string Canonical(const std::u16string& name) {
  std::u16string s = name;
  for (auto& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return s;
}

// Counts the calls running inside an object so that its end (deinit, close)
// waits for them instead of pulling state from under them.
class CallGate {
 public:
  bool Enter() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_) return false;
    ++inFlight_;
    return true;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(mu_);
    if (--inFlight_ == 0) idle_.notify_all();
  }
  // Refuses new calls; returns false when it was shut already.
  bool Shut() {
    std::lock_guard<std::mutex> lock(mu_);
    bool was = open_;
    open_ = false;
    return was;
  }
  void WaitIdle() {
    std::unique_lock<std::mutex> lock(mu_);
    idle_.wait(lock, [this] { return inFlight_ == 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable idle_;
  int inFlight_ = 0;
  bool open_ = true;
};

struct GateCall {
  explicit GateCall(CallGate& g) : gate(g), entered(g.Enter()) {}
  ~GateCall() {
    if (entered) gate.Leave();
  }
  CallGate& gate;
  bool entered;
};

struct StreamDevice {
  std::u16string name;
  StreamDriverEntries entries{};
  DWORD context = 0;
  void* library = nullptr;  // set when ActivateDevice loaded it
  CallGate gate;
};

struct DeviceManager {
  std::mutex mu;
  std::map<std::u16string, std::shared_ptr<StreamDevice>> streams;
  std::map<std::string, BackendFactory> schemes;
  std::set<std::u16string> openPorts;
  // Serialises registration and removal, which call driver code (Init,
  // Deinit) outside `mu`.
  std::recursive_mutex lifecycle;

  DeviceManager() {
    schemes["tty"] = detail::MakeTtyBackend;
    schemes["usblp"] = detail::MakeUsbLpBackend;
    schemes["file"] = detail::MakeFileBackend;
  }
};

DeviceManager& Dm() {
  static DeviceManager* dm = new DeviceManager;  // outlives static destructors of hosts
  return *dm;
}

// An open "NVP1:"-style handle.
class StreamHandle : public KernelObject {
 public:
  StreamHandle(std::shared_ptr<StreamDevice> d, DWORD ctx) : dev(std::move(d)), openContext(ctx) {}
  BOOL OnClose() override {
    GateCall call(dev->gate);
    // A driver removed already has forgotten its open contexts.
    if (!call.entered || dev->entries.Close == nullptr) return TRUE;
    return dev->entries.Close(openContext) ? TRUE : FALSE;
  }
  std::shared_ptr<StreamDevice> dev;
  DWORD openContext;
};

// An open port handle.
class PortHandle : public KernelObject {
 public:
  PortHandle(std::u16string n, std::shared_ptr<DeviceBackend> b, DWORD a)
      : name(std::move(n)), backend(std::move(b)), access(a) {}
  BOOL OnClose() override {
    if (!gate.Shut()) return TRUE;
    backend->Cancel();  // wakes reads and writes waiting in other threads
    gate.WaitIdle();
    backend->Close();
    DeviceManager& dm = Dm();
    std::lock_guard<std::mutex> lock(dm.mu);
    dm.openPorts.erase(name);
    return TRUE;
  }
  std::u16string name;
  std::shared_ptr<DeviceBackend> backend;
  DWORD access;
  CallGate gate;
};

// The handle returned by ActivateDevice.
class ActivationHandle : public KernelObject {
 public:
  explicit ActivationHandle(std::weak_ptr<StreamDevice> d) : dev(std::move(d)) {}
  std::weak_ptr<StreamDevice> dev;
};

std::shared_ptr<StreamDevice> FindStream(const std::u16string& canonical) {
  DeviceManager& dm = Dm();
  std::lock_guard<std::mutex> lock(dm.mu);
  auto it = dm.streams.find(canonical);
  return it == dm.streams.end() ? nullptr : it->second;
}

// Adds a device whose Init has not run yet; Init runs here, outside the map
// lock. On failure nothing stays registered.
bool AddStream(std::shared_ptr<StreamDevice> dev, LPCWSTR initContext, LPCVOID busContext) {
  DeviceManager& dm = Dm();
  std::lock_guard<std::recursive_mutex> life(dm.lifecycle);
  if (FindStream(dev->name)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  DWORD ctx = dev->entries.Init(initContext, busContext);
  if (ctx == 0) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  dev->context = ctx;
  std::lock_guard<std::mutex> lock(dm.mu);
  dm.streams[dev->name] = std::move(dev);
  return true;
}

// Removes a device: no new calls reach it, calls in progress end, then Deinit.
void RetireStream(const std::shared_ptr<StreamDevice>& dev) {
  if (!dev->gate.Shut()) return;
  dev->gate.WaitIdle();
  if (dev->entries.Deinit != nullptr) dev->entries.Deinit(dev->context);
  if (dev->library != nullptr) dlclose(dev->library);
}

bool RemoveStream(const std::u16string& canonical, const StreamDevice* only) {
  DeviceManager& dm = Dm();
  std::lock_guard<std::recursive_mutex> life(dm.lifecycle);
  std::shared_ptr<StreamDevice> dev;
  {
    std::lock_guard<std::mutex> lock(dm.mu);
    auto it = dm.streams.find(canonical);
    if (it == dm.streams.end() || (only != nullptr && it->second.get() != only)) return false;
    dev = std::move(it->second);
    dm.streams.erase(it);
  }
  RetireStream(dev);
  return true;
}

HANDLE OpenStream(const std::shared_ptr<StreamDevice>& dev, DWORD access, DWORD share) {
  GateCall call(dev->gate);
  if (!call.entered) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DWORD ctx = dev->context;
  if (dev->entries.Open != nullptr) {
    SetLastError(ERROR_SUCCESS);
    ctx = dev->entries.Open(dev->context, access, share);
    if (ctx == 0) {
      if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
      return INVALID_HANDLE_VALUE;
    }
  }
  return InsertHandle(std::make_shared<StreamHandle>(dev, ctx));
}

HANDLE OpenPort(const std::u16string& canonical, const std::string& target, DWORD access, DWORD disposition) {
  std::string scheme = target;
  std::string argument;
  size_t colon = target.find(':');
  if (colon != std::string::npos) {
    scheme = target.substr(0, colon);
    argument = target.substr(colon + 1);
  }
  DeviceManager& dm = Dm();
  BackendFactory factory;
  {
    std::lock_guard<std::mutex> lock(dm.mu);
    auto it = dm.schemes.find(scheme);
    if (it == dm.schemes.end()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (!dm.openPorts.insert(canonical).second) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    factory = it->second;
  }
  auto release = [&] {
    std::lock_guard<std::mutex> lock(dm.mu);
    dm.openPorts.erase(canonical);
  };
  std::shared_ptr<DeviceBackend> backend = factory ? factory(argument) : nullptr;
  if (!backend) {
    release();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DWORD err = backend->Open(access, disposition);
  if (err != ERROR_SUCCESS) {
    release();
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  return InsertHandle(std::make_shared<PortHandle>(canonical, std::move(backend), access));
}

// Runs `op` on the port behind `h`; the handle must stay open meanwhile.
template <class Op>
BOOL WithPort(HANDLE h, Op op) {
  auto port = LookupAs<PortHandle>(h);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  GateCall call(port->gate);
  if (!call.entered) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return op(*port);
}

char16_t Fold(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
  return c;
}

}  // namespace

bool RegisterStreamDriver(const std::u16string& name, const StreamDriverEntries& entries) {
  if (name.empty() || entries.Init == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto dev = std::make_shared<StreamDevice>();
  dev->name = Canonical(name);
  dev->entries = entries;
  return AddStream(dev, name.c_str(), nullptr);
}

void UnregisterStreamDriver(const std::u16string& name) { RemoveStream(Canonical(name), nullptr); }

void UnregisterAllStreamDrivers() {
  DeviceManager& dm = Dm();
  std::lock_guard<std::recursive_mutex> life(dm.lifecycle);
  std::map<std::u16string, std::shared_ptr<StreamDevice>> all;
  {
    std::lock_guard<std::mutex> lock(dm.mu);
    all.swap(dm.streams);
  }
  for (auto& [n, dev] : all) RetireStream(dev);
}

void RegisterBackendScheme(const std::string& scheme, BackendFactory factory) {
  DeviceManager& dm = Dm();
  std::lock_guard<std::mutex> lock(dm.mu);
  dm.schemes[scheme] = std::move(factory);
}

void UnregisterBackendScheme(const std::string& scheme) {
  DeviceManager& dm = Dm();
  std::lock_guard<std::mutex> lock(dm.mu);
  dm.schemes.erase(scheme);
}

bool MapDevice(const std::u16string& name, const std::string& target) {
  return RegistrySetString(kDeviceMapKey, name, FromUtf8(target));
}

}  // namespace plat

extern "C" {

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void*, DWORD dwCreationDisposition,
                   DWORD, HANDLE) {
  if (lpFileName == nullptr || *lpFileName == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string name(lpFileName);
  std::u16string canonical = plat::Canonical(name);
  if (auto dev = plat::FindStream(canonical)) return plat::OpenStream(dev, dwDesiredAccess, dwShareMode);
  std::u16string target;
  if (!plat::RegistryGetString(plat::kDeviceMapKey, name, &target)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return plat::OpenPort(canonical, plat::ToUtf8(target), dwDesiredAccess, dwCreationDisposition);
}

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead, void*) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (plat::LookupAs<plat::StreamHandle>(hFile)) {
    SetLastError(ERROR_NOT_SUPPORTED);  // stream drivers here have no read entry
    return FALSE;
  }
  return plat::WithPort(hFile, [&](plat::PortHandle& p) -> BOOL {
    if ((p.access & GENERIC_READ) == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    DWORD got = 0;
    BOOL ok = p.backend->Read(lpBuffer, nNumberOfBytesToRead, &got);
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = got;
    return ok;
  });
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               void*) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  if (plat::LookupAs<plat::StreamHandle>(hFile)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return plat::WithPort(hFile, [&](plat::PortHandle& p) -> BOOL {
    if ((p.access & GENERIC_WRITE) == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    DWORD put = 0;
    BOOL ok = p.backend->Write(lpBuffer, nNumberOfBytesToWrite, &put);
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = put;
    return ok;
  });
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer, DWORD nInBufferSize, void* lpOutBuffer,
                     DWORD nOutBufferSize, DWORD* lpBytesReturned, void*) {
  if (auto s = plat::LookupAs<plat::StreamHandle>(hDevice)) {
    plat::GateCall call(s->dev->gate);
    if (!call.entered) {
      SetLastError(ERROR_INVALID_HANDLE);  // the driver was removed
      return FALSE;
    }
    if (s->dev->entries.IOControl == nullptr) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    // The kernel refuses buffers the caller does not own before any driver
    // sees them; a null buffer is left to the driver whatever its length.
    if (plat::CallerBufferCheck()) {
      auto owned = [](const void* p, DWORD n) { return p == nullptr || n == 0 || plat::IsCallerMemory(p, n); };
      if (!owned(lpInBuffer, nInBufferSize) || !owned(lpOutBuffer, nOutBufferSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
    }
    // The driver runs on the caller's thread: the last-error value it leaves
    // is the caller's.
    return s->dev->entries.IOControl(s->openContext, dwIoControlCode, static_cast<BYTE*>(lpInBuffer), nInBufferSize,
                                     static_cast<BYTE*>(lpOutBuffer), nOutBufferSize, lpBytesReturned);
  }
  return plat::WithPort(hDevice, [&](plat::PortHandle& p) -> BOOL {
    DWORD returned = 0;
    BOOL ok = p.backend->IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &returned);
    if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
    return ok;
  });
}

BOOL GetCommState(HANDLE hFile, DCB* lpDCB) {
  return plat::WithPort(hFile, [&](plat::PortHandle& p) -> BOOL {
    if (lpDCB == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return p.backend->GetCommState(lpDCB);
  });
}

BOOL SetCommState(HANDLE hFile, DCB* lpDCB) {
  return plat::WithPort(hFile, [&](plat::PortHandle& p) -> BOOL {
    if (lpDCB == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return p.backend->SetCommState(lpDCB);
  });
}

BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
  return plat::WithPort(hFile, [&](plat::PortHandle& p) -> BOOL {
    if (lpCommTimeouts == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return p.backend->GetCommTimeouts(lpCommTimeouts);
  });
}

BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
  return plat::WithPort(hFile, [&](plat::PortHandle& p) -> BOOL {
    if (lpCommTimeouts == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return p.backend->SetCommTimeouts(lpCommTimeouts);
  });
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return plat::WithPort(hFile, [&](plat::PortHandle& p) -> BOOL { return p.backend->Purge(dwFlags); });
}

int CompareStringW(LCID, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2, int cchCount2) {
  if ((dwCmpFlags & ~NORM_IGNORECASE) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (lpString1 == nullptr || lpString2 == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A negative count means NUL-terminated; a count never reads past a NUL.
  auto length = [](LPCWSTR s, int cch) {
    size_t n = 0;
    while ((cch < 0 || n < static_cast<size_t>(cch)) && s[n] != 0) ++n;
    return n;
  };
  size_t n1 = length(lpString1, cchCount1);
  size_t n2 = length(lpString2, cchCount2);
  bool fold = (dwCmpFlags & NORM_IGNORECASE) != 0;
  for (size_t i = 0; i < n1 && i < n2; ++i) {
    char16_t a = fold ? plat::Fold(lpString1[i]) : lpString1[i];
    char16_t b = fold ? plat::Fold(lpString2[i]) : lpString2[i];
    if (a != b) return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (n1 == n2) return CSTR_EQUAL;
  return n1 < n2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

HANDLE ActivateDevice(LPCWSTR lpszDevKey, DWORD dwClientInfo) {
  if (lpszDevKey == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string key(lpszDevKey);
  std::u16string dll, prefix;
  DWORD index = 1;
  if (!plat::RegistryGetString(key, u"Dll", &dll) || !plat::RegistryGetString(key, u"Prefix", &prefix) ||
      dll.empty() || prefix.size() != 3) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  plat::RegistryGetDword(key, u"Index", &index);
  if (index > 9) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string name = prefix + static_cast<char16_t>(u'0' + index) + u':';
  if (plat::FindStream(plat::Canonical(name))) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  // The same file loaded by the graphics engine is the same instance, so both
  // roles of a driver library share its globals.
  void* lib = dlopen(plat::ToUtf8(dll).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::string p = plat::ToUtf8(prefix);
  auto sym = [&](const char* entry) { return dlsym(lib, (p + entry).c_str()); };
  auto dev = std::make_shared<plat::StreamDevice>();
  dev->name = plat::Canonical(name);
  dev->library = lib;
  dev->entries.Init = reinterpret_cast<decltype(dev->entries.Init)>(sym("_Init"));
  dev->entries.Deinit = reinterpret_cast<decltype(dev->entries.Deinit)>(sym("_Deinit"));
  dev->entries.Open = reinterpret_cast<decltype(dev->entries.Open)>(sym("_Open"));
  dev->entries.Close = reinterpret_cast<decltype(dev->entries.Close)>(sym("_Close"));
  dev->entries.IOControl = reinterpret_cast<decltype(dev->entries.IOControl)>(sym("_IOControl"));
  if (dev->entries.Init == nullptr || dev->entries.Deinit == nullptr) {
    dlclose(lib);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::weak_ptr<plat::StreamDevice> weak = dev;
  SetLastError(ERROR_SUCCESS);
  if (!plat::AddStream(dev, key.c_str(), reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(dwClientInfo)))) {
    dlclose(lib);
    return nullptr;
  }
  return plat::InsertHandle(std::make_shared<plat::ActivationHandle>(weak));
}

BOOL DeactivateDevice(HANDLE hDevice) {
  auto act = plat::LookupAs<plat::ActivationHandle>(hDevice);
  if (!act) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  plat::RemoveHandle(hDevice);
  auto dev = act->dev.lock();
  if (!dev || !plat::RemoveStream(dev->name, dev.get())) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
