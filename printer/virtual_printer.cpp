#include "printer/virtual_printer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/system.h"

namespace vprinter {

namespace {

// Logs of writes and RTS changes stop growing here.
constexpr size_t kMaxLogEntries = size_t{1} << 20;

// Port status of the printer-class port: the parallel status lines (08 no
// fault, 10 selected, 20 paper empty). The driver only asks whether the
// request succeeds; the bits are for people reading a trace.
DWORD PortStatusBits(State s) {
  switch (s) {
    case State::Ready:
    case State::Silent:
      return 0x18;
    case State::NotReady:
      return 0x08;
    case State::PaperOut:
    case State::PaperError:
      return 0x30;
    case State::Error:
      return 0x10;
  }
  return 0x18;
}

}  // namespace

std::optional<uint8_t> StatusByte(State s) {
  switch (s) {
    case State::Ready:
      return 0x80;
    case State::NotReady:
      return 0x88;
    case State::PaperOut:
      return 0x82;
    case State::Error:
      return 0x84;
    case State::PaperError:
      return 0x86;
    case State::Silent:
      return std::nullopt;
  }
  return std::nullopt;
}

const char* StateName(State s) {
  switch (s) {
    case State::Ready:
      return "ready";
    case State::NotReady:
      return "not-ready";
    case State::PaperOut:
      return "paper-out";
    case State::Error:
      return "error";
    case State::PaperError:
      return "paper-error";
    case State::Silent:
      return "silent";
  }
  return "?";
}

bool ParseState(std::string_view text, State* out) {
  for (State s : {State::Ready, State::NotReady, State::PaperOut, State::Error, State::PaperError, State::Silent}) {
    if (text == StateName(s)) {
      if (out) *out = s;
      return true;
    }
  }
  return false;
}

Trigger Trigger::AfterBytes(uint64_t n, State s) {
  Trigger t;
  t.when = When::AfterBytes;
  t.count = n;
  t.state = s;
  return t;
}

Trigger Trigger::AfterLines(uint64_t n, State s) {
  Trigger t;
  t.when = When::AfterLines;
  t.count = n;
  t.state = s;
  return t;
}

Trigger Trigger::AfterCommand(Command c, int param, uint64_t k, State s) {
  Trigger t;
  t.when = When::AfterCommand;
  t.command = c;
  t.param = param;
  t.count = k;
  t.state = s;
  return t;
}

VirtualPrinter::VirtualPrinter(PrinterOptions options) : options_(std::move(options)), decoder_(options_.decoder) {
  decoder_.SetObserver([this](const Event& e) { return OnEvent(e); });
  // A line as the driver configures it: 8 data bits, RTS raised.
  dcb_.DCBlength = sizeof(DCB);
  dcb_.BaudRate = 115200;
  dcb_.fBinary = 1;
  dcb_.fDtrControl = DTR_CONTROL_ENABLE;
  dcb_.fRtsControl = RTS_CONTROL_ENABLE;
  dcb_.ByteSize = 8;
  dcb_.Parity = NOPARITY;
  dcb_.StopBits = ONESTOPBIT;
  dcb_.XonChar = 0x11;
  dcb_.XoffChar = 0x13;
  // Timeouts as the driver sets them, so that a port nobody configured
  // neither blocks for ever nor returns at once.
  timeouts_.ReadIntervalTimeout = 10;
  timeouts_.ReadTotalTimeoutConstant = 20;
  timeouts_.WriteTotalTimeoutConstant = 500;
}

VirtualPrinter::~VirtualPrinter() = default;

// ---- helpers, called with mu_ held ----

uint64_t VirtualPrinter::CountLocked(Command c, int param) const {
  const size_t ci = static_cast<size_t>(c);
  if (ci >= kCommands) return 0;
  if (param < 0) return commandCounts_[ci][0];
  if (param > 255) return 0;
  return commandCounts_[ci][1 + param];
}

bool VirtualPrinter::TriggerDueLocked(const Trigger& t) const {
  switch (t.when) {
    case Trigger::When::AfterBytes:
      return received_ >= t.count;
    case Trigger::When::AfterLines:
      return CountLocked(Command::Line, -1) >= t.count;
    case Trigger::When::AfterCommand:
      return CountLocked(t.command, t.param) >= t.count;
  }
  return false;
}

void VirtualPrinter::FireTriggersLocked() {
  for (auto& pt : triggers_) {
    if (pt.fired || !TriggerDueLocked(pt.trigger)) continue;
    pt.fired = true;
    const Trigger& t = pt.trigger;
    if (t.state) {
      const bool announced = options_.reportStateChanges && *t.state != options_.state;
      SetStateLocked(*t.state);
      if (t.report && !announced) {
        if (auto b = StatusByte(options_.state)) QueueLocked(&*b, 1);
      }
    } else if (t.report) {
      if (auto b = StatusByte(options_.state)) QueueLocked(&*b, 1);
    }
    if (t.unplug) unplugged_ = true;
  }
  stopFeed_ = false;
  cv_.notify_all();
}

void VirtualPrinter::SetStateLocked(State s) {
  if (s == options_.state) return;
  options_.state = s;
  if (options_.reportStateChanges) {
    if (auto b = StatusByte(s)) QueueLocked(&*b, 1);
  }
  cv_.notify_all();  // a busy printer may take bytes again
}

void VirtualPrinter::QueueLocked(const uint8_t* bytes, size_t n) {
  if (unplugged_) return;
  for (size_t i = 0; i < n && replies_.size() < options_.maxPendingReplies; ++i) replies_.push_back(bytes[i]);
  repliesQueued_ = true;
  cv_.notify_all();
}

bool VirtualPrinter::BusyLocked() const {
  if (stallWrites_) return true;
  if (!options_.busyWhenNotReady) return false;
  return options_.state != State::Ready && options_.state != State::Silent;
}

DWORD VirtualPrinter::GoneError() const {
  return options_.attachment == Attachment::PrinterClass ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SERIAL_NO_DEVICE;
}

bool VirtualPrinter::OnEvent(const Event& e) {
  const size_t ci = static_cast<size_t>(e.command);
  if (ci < kCommands) {
    ++commandCounts_[ci][0];
    ++commandCounts_[ci][1 + e.param];
  }
  if (e.command == Command::StatusRequest) {
    if (auto b = StatusByte(options_.state)) {
      QueueLocked(&*b, 1);
      ++statusAnswers_;
    }
  }
  for (const auto& pt : triggers_) {
    if (!pt.fired && pt.trigger.when != Trigger::When::AfterBytes && TriggerDueLocked(pt.trigger)) stopFeed_ = true;
  }
  return !stopFeed_;
}

size_t VirtualPrinter::FeedLocked(const uint8_t* data, size_t n) {
  const size_t taken = decoder_.Feed(data, n);
  const size_t room = options_.maxCaptureBytes > capture_.size() ? options_.maxCaptureBytes - capture_.size() : 0;
  const size_t keep = std::min(taken, room);
  capture_.insert(capture_.end(), data, data + keep);
  if (keep < taken) captureTruncated_ = true;
  received_ += taken;
  return taken;
}

std::string VirtualPrinter::DeviceIdLocked() const {
  if (options_.deviceIdReply) return *options_.deviceIdReply;
  std::string body =
      "MFG:" + options_.manufacturer + ";MDL:" + options_.model + ";DESCRIPTION:" + options_.description + ";";
  // IEEE 1284: a big-endian length that counts its own two bytes.
  const size_t len = std::min<size_t>(body.size() + 2, 0xFFFF);
  std::string out;
  out.push_back(static_cast<char>(len >> 8));
  out.push_back(static_cast<char>(len & 0xFF));
  out += body;
  return out;
}

bool VirtualPrinter::WaitLocked(std::unique_lock<std::mutex>& lock, uint64_t timeoutMs,
                                const std::function<bool()>& done) const {
  if (timeoutMs == INFINITE) {
    cv_.wait(lock, done);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(plat::StandInMsToRealNs(timeoutMs));
  return cv_.wait_until(lock, deadline, done);
}

void VirtualPrinter::NotifyReplies() {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!repliesQueued_) return;
    repliesQueued_ = false;
    listener = replyListener_;
  }
  if (listener) listener();
}

// ---- port side ----

DWORD VirtualPrinter::Open(DWORD access, DWORD disposition) {
  std::lock_guard<std::mutex> lock(mu_);
  if (unplugged_) return ERROR_FILE_NOT_FOUND;  // the device is not there to open
  if (openError_ != 0) return openError_;
  ++openCount_;
  ++openNow_;
  lastAccess_ = access;
  lastDisposition_ = disposition;
  return ERROR_SUCCESS;
}

BOOL VirtualPrinter::Read(void* buffer, DWORD size, DWORD* read, const std::atomic<bool>* cancelled) {
  if (read) *read = 0;
  std::unique_lock<std::mutex> lock(mu_);
  auto gone = [&]() -> BOOL {
    // A printer-class port that lost its device reads nothing; the driver
    // tells it is gone from the failing port-status request. A serial line
    // reports the missing device itself.
    if (options_.attachment == Attachment::PrinterClass) return TRUE;
    SetLastError(GoneError());
    return FALSE;
  };
  if (unplugged_) return gone();
  if (size == 0) return TRUE;
  if (buffer == nullptr || read == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (replies_.empty()) {
    const COMMTIMEOUTS t = timeouts_;
    const bool immediate =
        t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    if (!immediate) {
      uint64_t total = uint64_t{t.ReadTotalTimeoutMultiplier} * size + t.ReadTotalTimeoutConstant;
      if (total >= INFINITE) total = INFINITE - 1;
      // Both totals zero: the read waits until something arrives.
      if (total == 0) total = INFINITE;
      const uint64_t gen = closeGeneration_;
      WaitLocked(lock, total, [&] {
        return !replies_.empty() || unplugged_ || closeGeneration_ != gen || (cancelled && cancelled->load());
      });
    }
    if (unplugged_) return gone();
  }
  const size_t n = std::min<size_t>(size, replies_.size());
  auto* out = static_cast<uint8_t*>(buffer);
  std::copy(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(n), out);
  replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(n));
  *read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL VirtualPrinter::Write(const void* data, DWORD size, DWORD* written, const std::atomic<bool>* cancelled) {
  if (written) *written = 0;
  std::unique_lock<std::mutex> lock(mu_);
  if (unplugged_) {
    SetLastError(GoneError());
    return FALSE;
  }
  if (data == nullptr && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  const uint64_t start = received_;
  DWORD limit = size;
  if (maxBytesPerWrite_ != 0 && limit > maxBytesPerWrite_) limit = maxBytesPerWrite_;
  const COMMTIMEOUTS t = timeouts_;
  uint64_t timeout = uint64_t{t.WriteTotalTimeoutMultiplier} * size + t.WriteTotalTimeoutConstant;
  if (timeout >= INFINITE) timeout = INFINITE - 1;
  if (timeout == 0) timeout = INFINITE;  // no total timeout: wait until the printer takes bytes again
  const auto deadline = timeout == INFINITE ? std::chrono::steady_clock::time_point::max()
                                            : std::chrono::steady_clock::now() +
                                                  std::chrono::nanoseconds(plat::StandInMsToRealNs(timeout));
  const uint64_t gen = closeGeneration_;
  DWORD done = 0;
  bool gone = false;
  while (done < limit) {
    if (unplugged_) {
      gone = true;
      break;
    }
    if ((cancelled && cancelled->load()) || closeGeneration_ != gen) break;
    if (BusyLocked()) {
      auto ready = [&] {
        return !BusyLocked() || unplugged_ || closeGeneration_ != gen || (cancelled && cancelled->load());
      };
      if (timeout == INFINITE) {
        cv_.wait(lock, ready);
      } else if (!cv_.wait_until(lock, deadline, ready)) {
        break;  // the write timeout: a short (or zero) count
      }
      continue;
    }
    size_t chunk = limit - done;
    for (const auto& pt : triggers_) {
      if (!pt.fired && pt.trigger.when == Trigger::When::AfterBytes && pt.trigger.count > received_) {
        chunk = std::min<uint64_t>(chunk, pt.trigger.count - received_);
      }
    }
    done += static_cast<DWORD>(FeedLocked(p + done, chunk));
    FireTriggersLocked();
  }
  if (writes_.size() < kMaxLogEntries) writes_.push_back(WriteRecord{start, size, done});
  if (written) *written = done;
  cv_.notify_all();  // for WaitForCommand
  lock.unlock();
  NotifyReplies();
  if (gone) {
    SetLastError(GoneError());
    return FALSE;
  }
  return TRUE;
}

BOOL VirtualPrinter::IoControl(DWORD code, const void*, DWORD, void* out, DWORD outLen, DWORD* returned) {
  if (returned) *returned = 0;
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.attachment == Attachment::Serial ||
      (code != IOCTL_PRINTER_GET_DEVICE_ID && code != IOCTL_PRINTER_GET_STATUS)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (unplugged_) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  if (code == IOCTL_PRINTER_GET_DEVICE_ID) {
    if (deviceIdFails_) {
      SetLastError(ERROR_GEN_FAILURE);
      return FALSE;
    }
    if (out == nullptr || outLen == 0) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    // Longer replies are cut to the caller's buffer, as the printer-class
    // drivers do.
    const std::string id = DeviceIdLocked();
    const size_t n = std::min<size_t>(id.size(), outLen);
    std::memcpy(out, id.data(), n);
    if (returned) *returned = static_cast<DWORD>(n);
    return TRUE;
  }
  if (portStatusFails_) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (out == nullptr || outLen < sizeof(DWORD)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const DWORD bits = PortStatusBits(options_.state);
  std::memcpy(out, &bits, sizeof bits);
  if (returned) *returned = sizeof bits;
  return TRUE;
}

// The serial line's operations exist only on a serial attachment that is
// still plugged in; sets the error and returns false otherwise.
bool VirtualPrinter::SerialLineUsableLocked() const {
  if (options_.attachment == Attachment::PrinterClass) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  if (unplugged_) {
    SetLastError(GoneError());
    return false;
  }
  return true;
}

BOOL VirtualPrinter::GetCommState(DCB* dcb) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!SerialLineUsableLocked()) return FALSE;
  if (dcb == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *dcb = dcb_;
  return TRUE;
}

BOOL VirtualPrinter::SetCommState(const DCB* dcb) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!SerialLineUsableLocked()) return FALSE;
    if (dcb == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const DWORD before = dcb_.fRtsControl;
    dcb_ = *dcb;
    dcb_.DCBlength = sizeof(DCB);
    const DWORD after = dcb_.fRtsControl;
    if (before != after) {
      if (rts_.size() < kMaxLogEntries) rts_.push_back(RtsRecord{plat::NowMs64(), after});
      // RTS raised again after being dropped: the pulse asks for the status.
      if (before == RTS_CONTROL_DISABLE && options_.answerRtsPulse) {
        if (auto b = StatusByte(options_.state)) {
          QueueLocked(&*b, 1);
          ++statusAnswers_;
        }
      }
    }
  }
  NotifyReplies();
  return TRUE;
}

BOOL VirtualPrinter::GetCommTimeouts(COMMTIMEOUTS* t) {
  std::lock_guard<std::mutex> lock(mu_);
  if (t == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *t = timeouts_;
  return TRUE;
}

BOOL VirtualPrinter::SetCommTimeouts(const COMMTIMEOUTS* t) {
  std::lock_guard<std::mutex> lock(mu_);
  if (t == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  timeouts_ = *t;
  return TRUE;
}

BOOL VirtualPrinter::Purge(DWORD flags) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!SerialLineUsableLocked()) return FALSE;
  // Bytes are taken as they are written, so there is nothing to discard on
  // the transmit side.
  if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) replies_.clear();
  return TRUE;
}

void VirtualPrinter::WakeWaiters() {
  std::lock_guard<std::mutex> lock(mu_);
  cv_.notify_all();
}

void VirtualPrinter::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (openNow_ > 0) --openNow_;
  ++closeGeneration_;
  cv_.notify_all();
}

// ---- printer side ----

State VirtualPrinter::state() const {
  std::lock_guard<std::mutex> lock(mu_);
  return options_.state;
}

void VirtualPrinter::SetState(State s) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    SetStateLocked(s);
  }
  NotifyReplies();
}

void VirtualPrinter::SetDescription(const std::string& description) {
  std::lock_guard<std::mutex> lock(mu_);
  options_.description = description;
}

void VirtualPrinter::SetDeviceIdReply(std::optional<std::string> raw) {
  std::lock_guard<std::mutex> lock(mu_);
  options_.deviceIdReply = std::move(raw);
}

void VirtualPrinter::SetOpenError(DWORD error) {
  std::lock_guard<std::mutex> lock(mu_);
  openError_ = error;
}

void VirtualPrinter::SetDeviceIdFails(bool fails) {
  std::lock_guard<std::mutex> lock(mu_);
  deviceIdFails_ = fails;
}

void VirtualPrinter::SetPortStatusFails(bool fails) {
  std::lock_guard<std::mutex> lock(mu_);
  portStatusFails_ = fails;
}

void VirtualPrinter::SetStallWrites(bool stall) {
  std::lock_guard<std::mutex> lock(mu_);
  stallWrites_ = stall;
  cv_.notify_all();
}

void VirtualPrinter::SetMaxBytesPerWrite(uint32_t max) {
  std::lock_guard<std::mutex> lock(mu_);
  maxBytesPerWrite_ = max;
}

void VirtualPrinter::SetBusyWhenNotReady(bool busy) {
  std::lock_guard<std::mutex> lock(mu_);
  options_.busyWhenNotReady = busy;
  cv_.notify_all();
}

void VirtualPrinter::Unplug() {
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = true;
  replies_.clear();
  cv_.notify_all();
}

void VirtualPrinter::Replug() {
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = false;
  cv_.notify_all();
}

bool VirtualPrinter::unplugged() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unplugged_;
}

void VirtualPrinter::AddTrigger(const Trigger& t) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    triggers_.push_back(PendingTrigger{t, false});
    FireTriggersLocked();  // one that is already due fires now
  }
  NotifyReplies();
}

void VirtualPrinter::SendBytes(std::span<const uint8_t> bytes) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    QueueLocked(bytes.data(), bytes.size());
  }
  NotifyReplies();
}

void VirtualPrinter::ReportStatus() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (auto b = StatusByte(options_.state)) QueueLocked(&*b, 1);
  }
  NotifyReplies();
}

void VirtualPrinter::MarkPageStart() {
  std::lock_guard<std::mutex> lock(mu_);
  decoder_.StartPage();
}

std::vector<uint8_t> VirtualPrinter::Captured() const {
  std::lock_guard<std::mutex> lock(mu_);
  return capture_;
}

bool VirtualPrinter::SaveCapture(const std::string& path, std::string* error) const {
  const std::vector<uint8_t> bytes = Captured();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int savedErrno = errno;
  if (std::fclose(f) != 0 || !written) {
    if (error) *error = path + ": " + std::strerror(written ? errno : savedErrno);
    return false;
  }
  return true;
}

bool VirtualPrinter::CaptureTruncated() const {
  std::lock_guard<std::mutex> lock(mu_);
  return captureTruncated_;
}

uint64_t VirtualPrinter::BytesReceived() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

DecodedJob VirtualPrinter::Printed(bool finish) const {
  std::lock_guard<std::mutex> lock(mu_);
  return decoder_.Snapshot(finish);
}

std::vector<WriteRecord> VirtualPrinter::Writes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return writes_;
}

std::vector<RtsRecord> VirtualPrinter::RtsChanges() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rts_;
}

std::vector<uint8_t> VirtualPrinter::PendingReplies() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::vector<uint8_t>(replies_.begin(), replies_.end());
}

size_t VirtualPrinter::StatusAnswers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return statusAnswers_;
}

uint32_t VirtualPrinter::OpenCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return openCount_;
}

bool VirtualPrinter::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return openNow_ > 0;
}

DWORD VirtualPrinter::LastOpenAccess() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastAccess_;
}

DWORD VirtualPrinter::LastOpenDisposition() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastDisposition_;
}

COMMTIMEOUTS VirtualPrinter::Timeouts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return timeouts_;
}

DCB VirtualPrinter::LineState() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dcb_;
}

uint64_t VirtualPrinter::CommandCount(Command c, int param) const {
  std::lock_guard<std::mutex> lock(mu_);
  return CountLocked(c, param);
}

bool VirtualPrinter::WaitForCommand(Command c, int param, uint64_t count, DWORD timeoutMs) const {
  std::unique_lock<std::mutex> lock(mu_);
  return WaitLocked(lock, timeoutMs, [&] { return CountLocked(c, param) >= count; });
}

bool VirtualPrinter::WaitForReply(DWORD timeoutMs) const {
  std::unique_lock<std::mutex> lock(mu_);
  return WaitLocked(lock, timeoutMs, [&] { return !replies_.empty(); });
}

void VirtualPrinter::SetReplyListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mu_);
  replyListener_ = std::move(listener);
}

size_t VirtualPrinter::TakeReplies(uint8_t* out, size_t max) {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t n = std::min(max, replies_.size());
  std::copy(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(n), out);
  replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void VirtualPrinter::ClearJob() {
  std::lock_guard<std::mutex> lock(mu_);
  decoder_ = StreamDecoder(options_.decoder);
  decoder_.SetObserver([this](const Event& e) { return OnEvent(e); });
  capture_.clear();
  captureTruncated_ = false;
  received_ = 0;
  replies_.clear();
  statusAnswers_ = 0;
  writes_.clear();
  rts_.clear();
  std::memset(commandCounts_, 0, sizeof commandCounts_);
}

// ---- named printers ----

namespace {

struct Registry {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<VirtualPrinter>> printers;
};

Registry& Printers() {
  static Registry* r = new Registry;  // outlives every static user
  return *r;
}

}  // namespace

std::shared_ptr<VirtualPrinter> Create(const std::string& name, PrinterOptions options) {
  auto p = std::make_shared<VirtualPrinter>(std::move(options));
  Registry& r = Printers();
  std::lock_guard<std::mutex> lock(r.mu);
  r.printers[name] = p;
  return p;
}

std::shared_ptr<VirtualPrinter> Get(const std::string& name) {
  Registry& r = Printers();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.printers.find(name);
  return it == r.printers.end() ? nullptr : it->second;
}

std::shared_ptr<VirtualPrinter> GetOrCreate(const std::string& name) {
  Registry& r = Printers();
  std::lock_guard<std::mutex> lock(r.mu);
  auto& slot = r.printers[name];
  if (!slot) slot = std::make_shared<VirtualPrinter>();
  return slot;
}

void Remove(const std::string& name) {
  Registry& r = Printers();
  std::lock_guard<std::mutex> lock(r.mu);
  r.printers.erase(name);
}

void RemoveAll() {
  Registry& r = Printers();
  std::lock_guard<std::mutex> lock(r.mu);
  r.printers.clear();
}

}  // namespace vprinter
