#include "tests/portdriver/fake_port.h"

#include <algorithm>
#include <cstring>

#include "platform/system.h"

namespace pdtest {

void FakeDevice::QueueRead(std::vector<uint8_t> chunk) {
  std::lock_guard<std::mutex> lock(mu_);
  reads_.push_back(std::move(chunk));
}
void FakeDevice::SetGone(bool gone) {
  std::lock_guard<std::mutex> lock(mu_);
  gone_ = gone;
}
void FakeDevice::SetOpenError(DWORD error) {
  std::lock_guard<std::mutex> lock(mu_);
  openError_ = error;
}
void FakeDevice::SetAcceptWrites(bool accept) {
  std::lock_guard<std::mutex> lock(mu_);
  acceptWrites_ = accept;
}
void FakeDevice::HoldWrites(bool hold) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    holdWrites_ = hold;
  }
  released_.notify_all();
}
void FakeDevice::SetDeviceId(std::string id) {
  std::lock_guard<std::mutex> lock(mu_);
  deviceId_ = std::move(id);
}
void FakeDevice::SetAutoReply(std::vector<uint8_t> request, std::vector<uint8_t> reply) {
  std::lock_guard<std::mutex> lock(mu_);
  replyTo_ = std::move(request);
  reply_ = std::move(reply);
}
std::vector<uint8_t> FakeDevice::Written() {
  std::lock_guard<std::mutex> lock(mu_);
  return written_;
}
void FakeDevice::ClearWritten() {
  std::lock_guard<std::mutex> lock(mu_);
  written_.clear();
  writes_.clear();
  writeTicks_.clear();
}
std::vector<RtsChange> FakeDevice::RtsChanges() {
  std::lock_guard<std::mutex> lock(mu_);
  return rts_;
}
int FakeDevice::Opens() {
  std::lock_guard<std::mutex> lock(mu_);
  return opens_;
}
int FakeDevice::Closes() {
  std::lock_guard<std::mutex> lock(mu_);
  return closes_;
}
int FakeDevice::OpenNow() {
  std::lock_guard<std::mutex> lock(mu_);
  return opens_ - closes_;
}
int FakeDevice::Purges() {
  std::lock_guard<std::mutex> lock(mu_);
  return purges_;
}
int FakeDevice::WriteAttempts() {
  std::lock_guard<std::mutex> lock(mu_);
  return writeAttempts_;
}
DWORD FakeDevice::FirstWriteTick(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < writes_.size(); ++i) {
    if (writes_[i] == bytes) return writeTicks_[i];
  }
  return 0;
}
int FakeDevice::CountWrites(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(std::count(writes_.begin(), writes_.end(), bytes));
}

DWORD FakeDevice::Open() {
  std::lock_guard<std::mutex> lock(mu_);
  if (openError_ != 0) return openError_;
  ++opens_;
  return ERROR_SUCCESS;
}

BOOL FakeDevice::Read(void* buffer, DWORD size, DWORD* read) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!reads_.empty() && !gone_) {
      std::vector<uint8_t>& chunk = reads_.front();
      const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(chunk.size()));
      std::memcpy(buffer, chunk.data(), n);
      chunk.erase(chunk.begin(), chunk.begin() + n);
      if (chunk.empty()) reads_.pop_front();
      *read = n;
      return TRUE;
    }
  }
  // Nothing waiting: the port's read timeout runs out.
  Sleep(20);
  *read = 0;
  return TRUE;
}

BOOL FakeDevice::Write(const void* data, DWORD size, DWORD* written) {
  std::unique_lock<std::mutex> lock(mu_);
  ++writeAttempts_;
  released_.wait(lock, [this] { return !holdWrites_; });
  if (!acceptWrites_ || gone_) {
    *written = 0;
    return TRUE;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  written_.insert(written_.end(), p, p + size);
  writes_.emplace_back(p, p + size);
  writeTicks_.push_back(GetTickCount());
  if (!replyTo_.empty() && writes_.back() == replyTo_) reads_.push_back(reply_);
  *written = size;
  return TRUE;
}

BOOL FakeDevice::IoControl(DWORD code, void* out, DWORD outLen, DWORD* returned) {
  std::lock_guard<std::mutex> lock(mu_);
  if (serial_ || gone_) {
    SetLastError(gone_ ? ERROR_DEVICE_NOT_CONNECTED : ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (code == IOCTL_PRINTER_GET_STATUS) {
    if (out != nullptr && outLen >= 4) std::memset(out, 0, 4);
    if (returned != nullptr) *returned = 4;
    return TRUE;
  }
  if (code == IOCTL_PRINTER_GET_DEVICE_ID) {
    const DWORD n = std::min<DWORD>(outLen, static_cast<DWORD>(deviceId_.size()));
    if (out != nullptr) std::memcpy(out, deviceId_.data(), n);
    if (returned != nullptr) *returned = n;
    return deviceId_.empty() ? FALSE : TRUE;
  }
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL FakeDevice::GetCommState(DCB* dcb) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!serial_) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  *dcb = dcb_;
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL FakeDevice::SetCommState(const DCB* dcb) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!serial_) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  const bool wasOn = dcb_.fRtsControl != RTS_CONTROL_DISABLE;
  const bool on = dcb->fRtsControl != RTS_CONTROL_DISABLE;
  if (wasOn != on) rts_.push_back({on, plat::NowMs64()});
  dcb_ = *dcb;
  return TRUE;
}

BOOL FakeDevice::Purge(DWORD) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!serial_) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  ++purges_;
  return TRUE;
}

void FakeDevice::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  ++closes_;
}

namespace {

class FakeBackend : public plat::DeviceBackend {
 public:
  explicit FakeBackend(std::shared_ptr<FakeDevice> device) : device_(std::move(device)) {}
  DWORD Open(DWORD, DWORD) override { return device_->Open(); }
  BOOL Read(void* buffer, DWORD size, DWORD* read) override { return device_->Read(buffer, size, read); }
  BOOL Write(const void* data, DWORD size, DWORD* written) override { return device_->Write(data, size, written); }
  BOOL IoControl(DWORD code, const void*, DWORD, void* out, DWORD outLen, DWORD* returned) override {
    return device_->IoControl(code, out, outLen, returned);
  }
  BOOL GetCommState(DCB* dcb) override { return device_->GetCommState(dcb); }
  BOOL SetCommState(const DCB* dcb) override { return device_->SetCommState(dcb); }
  BOOL GetCommTimeouts(COMMTIMEOUTS* t) override {
    *t = COMMTIMEOUTS{};
    return TRUE;
  }
  BOOL SetCommTimeouts(const COMMTIMEOUTS*) override { return TRUE; }
  BOOL Purge(DWORD flags) override { return device_->Purge(flags); }
  void Close() override { device_->Close(); }

 private:
  std::shared_ptr<FakeDevice> device_;
};

}  // namespace

FakePorts::FakePorts() {
  plat::RegisterBackendScheme("pdfake", [this](const std::string& argument) -> std::shared_ptr<plat::DeviceBackend> {
    std::shared_ptr<FakeDevice> device;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = devices_.find(argument);
      if (it == devices_.end()) return nullptr;
      device = it->second;
    }
    return std::make_shared<FakeBackend>(device);
  });
}

FakePorts::~FakePorts() { plat::UnregisterBackendScheme("pdfake"); }

std::shared_ptr<FakeDevice> FakePorts::Add(const std::u16string& deviceName, bool serial) {
  auto device = std::make_shared<FakeDevice>(serial);
  const std::string key = plat::ToUtf8(deviceName);
  {
    std::lock_guard<std::mutex> lock(mu_);
    devices_[key] = device;
  }
  plat::MapDevice(deviceName, "pdfake:" + key);
  return device;
}

std::shared_ptr<FakeDevice> FakePorts::Get(const std::u16string& deviceName) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = devices_.find(plat::ToUtf8(deviceName));
  return it == devices_.end() ? nullptr : it->second;
}

}  // namespace pdtest
