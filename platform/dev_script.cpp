// The scripted test port behind the "script" scheme.

#include "platform/dev_script.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "platform/dev_backends.h"
#include "platform/system.h"

namespace plat {

struct ScriptedPort::State {
  mutable std::mutex mu;
  std::condition_variable cv;
  DWORD openError = 0;
  bool serial = false;
  bool rtsDrivable = false;
  bool stall = false;
  bool open = false;
  bool cancelled = false;
  DWORD goneError = 0;
  std::deque<WriteStep> writes;
  std::deque<BYTE> readable;
  std::deque<DWORD> readErrors;
  std::vector<BYTE> deviceId;
  bool deviceIdFails = true;
  DWORD status = 0x18;
  DWORD statusError = 0;
  std::vector<BYTE> written;
  std::vector<std::string> calls;
  std::vector<DWORD> rts;
  DCB dcb{};
  COMMTIMEOUTS timeouts{};

  void Log(const std::string& s) { calls.push_back(s); }
  // Waits until `ready` or the deadline; false on a close.
  template <class Pred>
  bool WaitUntil(std::unique_lock<std::mutex>& lock, const detail::Deadline& deadline, Pred ready) {
    auto done = [&] { return cancelled || ready(); };
    if (deadline) {
      cv.wait_until(lock, *deadline, done);
    } else {
      cv.wait(lock, done);
    }
    return !cancelled;
  }
};

namespace {

std::string Hex(DWORD v) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", static_cast<unsigned>(v));
  return b;
}

detail::Deadline Budget(DWORD multiplier, DWORD constant, DWORD size) {
  if (multiplier == 0 && constant == 0) return std::nullopt;
  return detail::DeadlineAfter(static_cast<uint64_t>(multiplier) * size + constant);
}

BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

class ScriptBackend : public DeviceBackend {
 public:
  explicit ScriptBackend(std::shared_ptr<ScriptedPort::State> s) : s_(std::move(s)) {}

  DWORD Open(DWORD access, DWORD disposition) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("open " + Hex(access) + " " + std::to_string(disposition));
    if (s_->openError != 0) return s_->openError;
    if (s_->goneError != 0) return ERROR_FILE_NOT_FOUND;
    s_->open = true;
    s_->cancelled = false;
    return ERROR_SUCCESS;
  }

  BOOL Read(void* buffer, DWORD size, DWORD* read) override {
    std::unique_lock<std::mutex> lock(s_->mu);
    s_->Log("read " + std::to_string(size));
    *read = 0;
    if (!s_->readErrors.empty()) {
      DWORD err = s_->readErrors.front();
      s_->readErrors.pop_front();
      return Fail(err);
    }
    if (s_->goneError != 0) return Fail(s_->goneError);
    if (s_->readable.empty() && size > 0) {
      const COMMTIMEOUTS& t = s_->timeouts;
      detail::Deadline deadline = t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutConstant == 0
                                      ? detail::Deadline(std::chrono::steady_clock::now())
                                      : Budget(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, size);
      if (!s_->WaitUntil(lock, deadline, [&] { return !s_->readable.empty() || s_->goneError != 0; })) {
        return Fail(ERROR_INVALID_HANDLE);
      }
      if (s_->goneError != 0) return Fail(s_->goneError);
    }
    BYTE* p = static_cast<BYTE*>(buffer);
    while (*read < size && !s_->readable.empty()) {
      p[(*read)++] = s_->readable.front();
      s_->readable.pop_front();
    }
    return TRUE;
  }

  BOOL Write(const void* data, DWORD size, DWORD* written) override {
    std::unique_lock<std::mutex> lock(s_->mu);
    s_->Log("write " + std::to_string(size));
    *written = 0;
    if (s_->goneError != 0) return Fail(s_->goneError);
    DWORD accept = size;
    if (!s_->writes.empty()) {
      ScriptedPort::WriteStep step = s_->writes.front();
      s_->writes.pop_front();
      if (step.error != 0) return Fail(step.error);
      accept = std::min(accept, step.accept);
    } else if (s_->stall) {
      accept = 0;
    }
    const BYTE* p = static_cast<const BYTE*>(data);
    s_->written.insert(s_->written.end(), p, p + accept);
    *written = accept;
    if (accept < size) {
      // The rest waits for the write timeout, as a device that takes no more.
      const COMMTIMEOUTS& t = s_->timeouts;
      if (!s_->WaitUntil(lock, Budget(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, size),
                         [] { return false; })) {
        return Fail(ERROR_INVALID_HANDLE);
      }
    }
    return TRUE;
  }

  BOOL IoControl(DWORD code, const void*, DWORD, void* out, DWORD outLen, DWORD* returned) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("ioctl " + Hex(code));
    if (s_->goneError != 0) return Fail(s_->goneError);
    if (code == IOCTL_PRINTER_GET_DEVICE_ID) {
      if (s_->deviceIdFails) return Fail(ERROR_NOT_SUPPORTED);
      if (out == nullptr) return Fail(ERROR_INSUFFICIENT_BUFFER);
      DWORD n = std::min<DWORD>(outLen, static_cast<DWORD>(s_->deviceId.size()));
      std::memcpy(out, s_->deviceId.data(), n);
      *returned = n;
      return TRUE;
    }
    if (code == IOCTL_PRINTER_GET_STATUS) {
      if (s_->statusError != 0) return Fail(s_->statusError);
      if (out == nullptr || outLen < 4) return Fail(ERROR_INSUFFICIENT_BUFFER);
      std::memcpy(out, &s_->status, 4);
      *returned = 4;
      return TRUE;
    }
    return Fail(ERROR_NOT_SUPPORTED);
  }

  BOOL GetCommState(DCB* dcb) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("getcommstate");
    if (s_->goneError != 0) return Fail(s_->goneError);
    if (!s_->serial) return Fail(ERROR_NOT_SUPPORTED);
    *dcb = s_->dcb;
    return TRUE;
  }

  BOOL SetCommState(const DCB* dcb) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("setcommstate");
    if (s_->goneError != 0) return Fail(s_->goneError);
    if (!s_->serial) return Fail(ERROR_NOT_SUPPORTED);
    s_->dcb = *dcb;
    s_->rts.push_back(dcb->fRtsControl);
    if (!s_->rtsDrivable && (dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_DISABLE)) {
      return Fail(ERROR_NOT_SUPPORTED);
    }
    return TRUE;
  }

  BOOL GetCommTimeouts(COMMTIMEOUTS* t) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("gettimeouts");
    *t = s_->timeouts;
    return TRUE;
  }

  BOOL SetCommTimeouts(const COMMTIMEOUTS* t) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("settimeouts");
    s_->timeouts = *t;
    return TRUE;
  }

  BOOL Purge(DWORD flags) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("purge " + std::to_string(flags));
    if (!s_->serial) return Fail(ERROR_NOT_SUPPORTED);
    if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) s_->readable.clear();
    return TRUE;
  }

  void Cancel() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->cancelled = true;
    s_->cv.notify_all();
  }

  void Close() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->Log("close");
    s_->open = false;
  }

 private:
  std::shared_ptr<ScriptedPort::State> s_;
};

struct Ports {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<ScriptedPort::State>> byId;
};
Ports& ThePorts() {
  static Ports* p = new Ports;
  return *p;
}

}  // namespace

std::shared_ptr<ScriptedPort> ScriptedPort::Create(const std::string& id) {
  auto port = std::make_shared<ScriptedPort>();
  port->state_ = std::make_shared<State>();
  DCB& d = port->state_->dcb;
  d.DCBlength = sizeof(DCB);
  d.BaudRate = 9600;
  d.fBinary = 1;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.ByteSize = 8;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  {
    Ports& ports = ThePorts();
    std::lock_guard<std::mutex> lock(ports.mu);
    ports.byId[id] = port->state_;
  }
  RegisterBackendScheme("script", [](const std::string& arg) -> std::shared_ptr<DeviceBackend> {
    Ports& ports = ThePorts();
    std::lock_guard<std::mutex> lock(ports.mu);
    auto it = ports.byId.find(arg);
    if (it == ports.byId.end()) return nullptr;
    return std::make_shared<ScriptBackend>(it->second);
  });
  return port;
}

void ScriptedPort::Remove(const std::string& id) {
  Ports& ports = ThePorts();
  std::lock_guard<std::mutex> lock(ports.mu);
  ports.byId.erase(id);
}

#define KEST_LOCKED std::lock_guard<std::mutex> lock(state_->mu)

void ScriptedPort::SetOpenError(DWORD error) {
  KEST_LOCKED;
  state_->openError = error;
}
void ScriptedPort::SetSerial(bool rtsDrivable) {
  KEST_LOCKED;
  state_->serial = true;
  state_->rtsDrivable = rtsDrivable;
}
void ScriptedPort::PushWrite(WriteStep step) {
  KEST_LOCKED;
  state_->writes.push_back(step);
}
void ScriptedPort::SetWriteStall(bool stall) {
  KEST_LOCKED;
  state_->stall = stall;
}
void ScriptedPort::QueueRead(const std::vector<BYTE>& bytes) {
  KEST_LOCKED;
  state_->readable.insert(state_->readable.end(), bytes.begin(), bytes.end());
  state_->cv.notify_all();
}
void ScriptedPort::PushReadError(DWORD error) {
  KEST_LOCKED;
  state_->readErrors.push_back(error);
}
void ScriptedPort::SetDeviceId(const std::vector<BYTE>& reply, bool fail) {
  KEST_LOCKED;
  state_->deviceId = reply;
  state_->deviceIdFails = fail;
}
void ScriptedPort::SetStatus(DWORD status, DWORD error) {
  KEST_LOCKED;
  state_->status = status;
  state_->statusError = error;
}
void ScriptedPort::Unplug(DWORD error) {
  KEST_LOCKED;
  state_->goneError = error;
  state_->cv.notify_all();
}
std::vector<BYTE> ScriptedPort::Written() const {
  KEST_LOCKED;
  return state_->written;
}
std::vector<std::string> ScriptedPort::Calls() const {
  KEST_LOCKED;
  return state_->calls;
}
void ScriptedPort::ClearCalls() {
  KEST_LOCKED;
  state_->calls.clear();
}
DCB ScriptedPort::CommState() const {
  KEST_LOCKED;
  return state_->dcb;
}
COMMTIMEOUTS ScriptedPort::Timeouts() const {
  KEST_LOCKED;
  return state_->timeouts;
}
std::vector<DWORD> ScriptedPort::RtsChanges() const {
  KEST_LOCKED;
  return state_->rts;
}
bool ScriptedPort::IsOpen() const {
  KEST_LOCKED;
  return state_->open;
}

#undef KEST_LOCKED

}  // namespace plat
