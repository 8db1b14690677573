#include "tests/support/fake_port_driver.h"

#include <atomic>

#include "platform/devices.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"

namespace kest_test {
namespace {

std::atomic<FakePortDriver*> g_fake{nullptr};

}  // namespace

FakePortDriver::FakePortDriver(const std::u16string& name) : name_(name) {
  FakePortDriver* expected = nullptr;
  if (!g_fake.compare_exchange_strong(expected, this)) return;  // another one is live
  const plat::StreamDriverEntries entries{Init, Deinit, Open, Close, IoControl};
  registered_ = plat::RegisterStreamDriver(name_, entries);
  if (!registered_) g_fake.store(nullptr);
}

FakePortDriver::~FakePortDriver() {
  if (!registered_) return;
  plat::UnregisterStreamDriver(name_);
  g_fake.store(nullptr);
}

void FakePortDriver::FailWrites(int n, DWORD error) {
  std::lock_guard<std::mutex> lock(mu_);
  failWrites_ = n;
  writeError_ = error;
}

void FakePortDriver::SetStatus(DWORD error) {
  std::lock_guard<std::mutex> lock(mu_);
  status_ = error;
}

void FakePortDriver::QueueStatus(std::initializer_list<DWORD> errors) {
  std::lock_guard<std::mutex> lock(mu_);
  statusQueue_.insert(statusQueue_.end(), errors.begin(), errors.end());
}

void FakePortDriver::RefuseOpen(DWORD error) {
  std::lock_guard<std::mutex> lock(mu_);
  openError_ = error;
}

void FakePortDriver::SetPortIndex(uint8_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  index_ = index;
}

void FakePortDriver::FailFunction(DWORD function, DWORD error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (error == 0) {
    failing_.erase(function & NVP_FUNCTION_MASK);
  } else {
    failing_[function & NVP_FUNCTION_MASK] = error;
  }
}

void FakePortDriver::FailDeviceOpens(int n) {
  std::lock_guard<std::mutex> lock(mu_);
  failOpens_ = n;
}

void FakePortDriver::KeepRecords(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  keep_ = on;
}

std::vector<ControlRequest> FakePortDriver::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<ControlRequest> FakePortDriver::RequestsOf(DWORD function) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ControlRequest> out;
  for (const ControlRequest& r : requests_) {
    if (r.function == (function & NVP_FUNCTION_MASK)) out.push_back(r);
  }
  return out;
}

int FakePortDriver::Count(DWORD function) const { return static_cast<int>(RequestsOf(function).size()); }

std::vector<uint8_t> FakePortDriver::Written() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> all;
  for (const auto& w : writes_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

std::vector<std::vector<uint8_t>> FakePortDriver::Writes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return writes_;
}

uint64_t FakePortDriver::WrittenByteCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return writtenBytes_;
}

int FakePortDriver::DeviceOpens() const {
  std::lock_guard<std::mutex> lock(mu_);
  return opens_;
}

int FakePortDriver::DeviceCloses() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closes_;
}

int FakePortDriver::Inits() const {
  std::lock_guard<std::mutex> lock(mu_);
  return inits_;
}

void FakePortDriver::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.clear();
  writes_.clear();
  writtenBytes_ = 0;
  opens_ = closes_ = 0;
}

DWORD FakePortDriver::Init(LPCWSTR, LPCVOID) {
  FakePortDriver* self = g_fake.load();
  if (self == nullptr) return 0;
  std::lock_guard<std::mutex> lock(self->mu_);
  ++self->inits_;
  return 0x4E5650;  // any nonzero device context
}

BOOL FakePortDriver::Deinit(DWORD) { return TRUE; }

DWORD FakePortDriver::Open(DWORD, DWORD, DWORD) {
  FakePortDriver* self = g_fake.load();
  if (self == nullptr) {
    SetLastError(ERROR_DEV_NOT_EXIST);
    return 0;
  }
  std::lock_guard<std::mutex> lock(self->mu_);
  if (self->failOpens_ > 0) {
    --self->failOpens_;
    SetLastError(ERROR_DEV_NOT_EXIST);
    return 0;
  }
  return static_cast<DWORD>(++self->opens_);
}

BOOL FakePortDriver::Close(DWORD) {
  FakePortDriver* self = g_fake.load();
  if (self == nullptr) return TRUE;
  std::lock_guard<std::mutex> lock(self->mu_);
  ++self->closes_;
  return TRUE;
}

BOOL FakePortDriver::IoControl(DWORD, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen, DWORD* actual) {
  FakePortDriver* self = g_fake.load();
  if (self == nullptr) {
    SetLastError(ERROR_DEV_NOT_EXIST);
    return FALSE;
  }
  return self->Handle(code, in, inLen, out, outLen, actual);
}

BOOL FakePortDriver::Handle(DWORD code, const BYTE* in, DWORD inLen, BYTE* out, DWORD outLen, DWORD* actual) {
  std::lock_guard<std::mutex> lock(mu_);
  const DWORD function = code & NVP_FUNCTION_MASK;
  DWORD error = 0;
  DWORD returned = 0;
  switch (function) {
    case NVP_WRITE:
      if (failWrites_ != 0) {
        if (failWrites_ > 0) --failWrites_;
        error = writeError_;
      } else if (in == nullptr && inLen > 0) {
        error = ERROR_INVALID_PARAMETER;
      }
      break;
    case NVP_CHECK_STATUS:
      if (!statusQueue_.empty()) {
        error = statusQueue_.front();
        statusQueue_.pop_front();
      } else {
        error = status_;
      }
      break;
    case NVP_OPEN:
    case NVP_OPEN_NOMONITOR:
    case NVP_GET_INDEX:
      if (function != NVP_GET_INDEX && openError_ != 0) {
        error = openError_;
      } else if (out == nullptr || outLen < 1) {
        error = ERROR_INVALID_PARAMETER;
      } else {
        out[0] = index_;
        returned = 1;
      }
      break;
    default:
      if (auto it = failing_.find(function); it != failing_.end()) error = it->second;
      break;
  }

  if (function == NVP_WRITE && error == 0) {
    writtenBytes_ += inLen;
    if (keep_) writes_.emplace_back(in, in + inLen);
  }
  if (keep_) {
    ControlRequest r;
    r.code = code;
    r.function = function;
    r.index = static_cast<uint8_t>(code & NVP_INDEX_MASK);
    if (in != nullptr) r.input.assign(in, in + inLen);
    r.outputLength = outLen;
    r.tick = GetTickCount();
    r.result = error == 0 ? TRUE : FALSE;
    r.error = error;
    requests_.push_back(std::move(r));
  }
  if (actual != nullptr) *actual = returned;
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace kest_test
