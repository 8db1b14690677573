#include "tests/stress/request_mix.h"

#include <chrono>
#include <cstring>
#include <sstream>

#include "frontend/frontend.h"
#include "platform/devices.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"

namespace stress {

namespace {

// Left in the last-error value before each request: a refusal that must not
// set an error leaves it there.
constexpr DWORD kUntouched = 0x5EED5EED;
// A refusal whose error the request does not define.
constexpr DWORD kAnyError = 0xFFFFFFFF;
constexpr uint8_t kUnknownIndex = 0xEE;            // never handed out: only two ports are ever open
constexpr uint32_t kUnmappedAddress = 0x0F000000;  // below every registered caller buffer
constexpr DWORD kRecordBytes = 10;
constexpr DWORD kRecordsCapacity = 64 * kRecordBytes;  // the queue never holds more
constexpr uint8_t kReadyStatus = 0x80;                 // both printers stay ready
const uint8_t kStatusRequest[] = {0x1B, 0x6B, 0xFF};

DWORD NameBytes(const std::u16string& name) { return static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)); }

std::string Hex(DWORD v) {
  std::ostringstream os;
  os << "0x" << std::hex << v;
  return os.str();
}

}  // namespace

const std::vector<std::string>& AllKinds() {
  static const std::vector<std::string> kinds = {
      // Valid requests on the side port.
      "open (shared)", "close", "open (longer name)", "write", "write when idle", "read", "set RTS", "check status",
      "job mark", "write refused by job mark", "reset refused by job mark", "RTS reset", "printer reset",
      "printer reset via RTS", "status update", "status update via RTS", "status records", "status size query",
      "status records, empty buffer", "stop monitor", "port position", "high bits ignored", "NVP1: handle",
      "exported entries",
      // Invalid requests.
      "unknown function", "unknown index", "check status, unknown index", "open without output",
      "open unterminated name", "open without name", "open unknown port", "position, unterminated name",
      "position without output", "set RTS, short input", "set RTS without input", "read without buffer",
      "reset, short request", "reset without request", "reset, unmapped name", "reset, unterminated name",
      "reset, unknown port", "update, short request", "update, unmapped name", "update, unterminated name",
      "update, unknown port", "status records, unterminated name", "status records without name",
      "status records, unknown port", "stop monitor, port not open", "stop monitor, unterminated name",
      // The job's own port while its job is active.
      "job port: reset refused", "job port: reset via RTS", "job port: shared open", "job port: idle write refused",
      "job port: RTS reset", "job port: check status", "job port: status update", "job port: status update via RTS",
      "job port: status records"};
  return kinds;
}

bool JobWindows::OpenAndWait() {
  std::unique_lock<std::mutex> lock(mu_);
  served_ = 0;
  const int window = opened_.fetch_add(1, std::memory_order_acq_rel) + 1;
  // Generous: an application serves a window in well under a second.
  return cv_.wait_for(lock, std::chrono::seconds(120), [&] { return served_ >= applications_; }) &&
         opened_.load() == window;
}

void JobWindows::Served(int window) {
  std::lock_guard<std::mutex> lock(mu_);
  if (window == opened_.load(std::memory_order_acquire)) ++served_;
  cv_.notify_all();
}

void JobWindows::Leave() {
  std::lock_guard<std::mutex> lock(mu_);
  --applications_;
  cv_.notify_all();
}

Application::Application(int id, Shared& shared)
    : id_(id),
      shared_(shared),
      jobName_(kJobPort),
      sideName_(kSidePort),
      missingName_(kMissingPort),
      longerSideName_(std::u16string(kSidePort) + u"9600"),
      unterminated_{u'C', u'O', u'M', u'2'} {
  jobAddress_ = plat::RegisterCallerBuffer(jobName_.data(), NameBytes(jobName_));
  sideAddress_ = plat::RegisterCallerBuffer(sideName_.data(), NameBytes(sideName_));
  missingAddress_ = plat::RegisterCallerBuffer(missingName_.data(), NameBytes(missingName_));
  unterminatedAddress_ = plat::RegisterCallerBuffer(unterminated_.data(), unterminated_.size() * sizeof(char16_t));
}

Application::~Application() {
  for (uint32_t a : {jobAddress_, sideAddress_, missingAddress_, unterminatedAddress_}) plat::UnregisterCallerBuffer(a);
}

Application::Answer Application::Io(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen) {
  DWORD returned = kUntouched;
  SetLastError(kUntouched);
  const BOOL result = DeviceIoControl(nvp_, code, const_cast<void*>(in), inLen, out, outLen, &returned, nullptr);
  return {result, GetLastError(), returned};
}

void Application::Count(const char* kind, BOOL result) {
  Tally& t = tallies_[kind];
  ++t.served;
  ++(result ? t.accepted : t.refused);
}

void Application::Problem(const char* kind, const Answer& a, const std::string& what) {
  constexpr size_t kKeep = 20;
  if (problems_.size() >= kKeep) return;
  std::ostringstream os;
  os << "application " << id_ << ", " << kind << ": result " << a.result << ", last error " << Hex(a.error)
     << ", returned " << Hex(a.returned);
  if (!what.empty()) os << " (" << what << ")";
  problems_.push_back(os.str());
}

void Application::Accepted(const char* kind, const Answer& a, bool detailsRight, const char* what) {
  Count(kind, a.result);
  if (!a.result) {
    Problem(kind, a, "refused");
  } else if (!detailsRight) {
    Problem(kind, a, what);
  }
}

void Application::Refused(const char* kind, const Answer& a, DWORD error) {
  Count(kind, a.result);
  if (a.result) {
    Problem(kind, a, "accepted");
  } else if (error != kAnyError && a.error != error) {
    Problem(kind, a, error == kUntouched ? "an error was set" : "expected error " + Hex(error));
  }
}

// A request whose answer depends on what the monitor is doing at the moment:
// either served, or refused without an error.
void Application::Either(const char* kind, const Answer& a, bool detailsRight, const char* what) {
  Count(kind, a.result);
  if (a.result && !detailsRight) Problem(kind, a, what);
  if (!a.result && a.error != kUntouched) Problem(kind, a, "an error was set");
}

bool Application::RecordsWellFormed(const uint8_t* records, DWORD bytes, DWORD capacity) {
  if (bytes % kRecordBytes != 0 || bytes > capacity) return false;
  for (DWORD off = 0; off < bytes; off += kRecordBytes) {
    const uint8_t* r = records + off;
    const unsigned year = r[6] | (r[7] << 8);
    if (r[0] > 59 || r[1] > 59 || r[2] > 23 || r[3] < 1 || r[3] > 31 || r[4] < 1 || r[4] > 12 || year < 2000 ||
        r[8] != kReadyStatus) {
      return false;
    }
  }
  return true;
}

void Application::Run() {
  nvp_ = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (nvp_ == nullptr || nvp_ == INVALID_HANDLE_VALUE) {
    problems_.push_back("application " + std::to_string(id_) + ": cannot open NVP1:");
    shared_.windows.Leave();
    return;
  }
  BYTE index = 0;
  const Answer opened = Io(NVP_OPEN_NOMONITOR, sideName_.c_str(), NameBytes(sideName_), &index, 1);
  Accepted("open (shared)", opened, index != 0 && opened.returned == 1, "index");
  side_ = index;
  if (side_ == 0) {
    CloseHandle(nvp_);
    shared_.windows.Leave();
    return;
  }

  const auto& mix = Mix();
  const size_t minimum = static_cast<size_t>(shared_.minimumPasses) * mix.size();
  int window = 0;
  for (size_t n = 0;; ++n) {
    const int newest = shared_.windows.Newest();
    if (newest > window) {
      window = newest;
      ServeWindow();
      shared_.windows.Served(window);
    }
    if (n >= minimum && shared_.jobDone.load(std::memory_order_acquire)) break;
    // Each application starts elsewhere in the mix.
    (this->*mix[(n + static_cast<size_t>(id_) * 7) % mix.size()])();
  }

  Accepted("close", Io(NVP_CLOSE | side_));
  if (!CloseHandle(nvp_)) problems_.push_back("application " + std::to_string(id_) + ": closing NVP1: failed");
}

// ---- The job's port, while a page of the job is open ----

void Application::ServeWindow() {
  PortRequest reset = {jobAddress_, NameBytes(jobName_), 0, 0};
  Refused("job port: reset refused", Io(NVP_RESET_PRINTER, &reset, sizeof reset, nullptr, 0), kUntouched);
  reset.viaRts = 1;
  Accepted("job port: reset via RTS", Io(NVP_RESET_PRINTER, &reset, sizeof reset, nullptr, 0));

  BYTE index = 0;
  const Answer opened = Io(NVP_OPEN_NOMONITOR, jobName_.c_str(), NameBytes(jobName_), &index, 1);
  Accepted("job port: shared open", opened, index != 0 && index != side_ && opened.returned == 1, "index");
  if (opened.result && index != 0) {
    Refused("job port: idle write refused", Io(NVP_WRITE_IDLE | index, kStatusRequest, 3, nullptr, 0), kUntouched);
    Accepted("job port: RTS reset", Io(NVP_RESET_RTS | index));
    Accepted("job port: check status", Io(NVP_CHECK_STATUS | index));
    Accepted("close", Io(NVP_CLOSE | index));
  }

  PortRequest update = {jobAddress_, NameBytes(jobName_), 0, 200};
  Accepted("job port: status update", Io(NVP_UPDATE_PRINTERSTATUS, &update, sizeof update, nullptr, 0));
  update.viaRts = 1;
  Accepted("job port: status update via RTS", Io(NVP_UPDATE_PRINTERSTATUS, &update, sizeof update, nullptr, 0));

  uint8_t records[kRecordsCapacity];
  const Answer got = Io(NVP_GET_PRINTERSTATUS, jobName_.c_str(), NameBytes(jobName_), records, sizeof records);
  Accepted("job port: status records", got, RecordsWellFormed(records, got.returned, sizeof records), "records");
}

// ---- Valid requests on the side port ----

void Application::OpenShared() {
  BYTE index = 0;
  const Answer a = Io(NVP_OPEN, sideName_.c_str(), NameBytes(sideName_), &index, 1);
  Accepted("open (shared)", a, index == side_ && a.returned == 1, "not the side port's index");
  if (a.result) Accepted("close", Io(NVP_CLOSE | index));
}

void Application::OpenLongerName() {
  // A name that begins with an open port's whole name shares that port.
  BYTE index = 0;
  const Answer a = Io(NVP_OPEN_NOMONITOR, longerSideName_.c_str(), NameBytes(longerSideName_), &index, 1);
  Accepted("open (longer name)", a, index == side_ && a.returned == 1, "not the side port's index");
  if (a.result) Accepted("close", Io(NVP_CLOSE | index));
}

void Application::Write() {
  const Answer a = Io(NVP_WRITE | side_, kStatusRequest, sizeof kStatusRequest, nullptr, 0);
  Accepted("write", a);
  if (a.result) ++sideQueries_;
}

void Application::WriteIdle() {
  std::shared_lock<std::shared_mutex> noJobMark(shared_.sideJobMark);
  const Answer a = Io(NVP_WRITE_IDLE | side_, kStatusRequest, sizeof kStatusRequest, nullptr, 0);
  Accepted("write when idle", a);
  if (a.result) ++sideQueries_;
}

void Application::Read() {
  uint8_t bytes[64];
  const Answer a = Io(NVP_READ | side_, nullptr, 0, bytes, sizeof bytes);
  bool right = a.returned <= sizeof bytes;
  for (DWORD i = 0; right && i < a.returned; ++i) right = bytes[i] == kReadyStatus;
  Accepted("read", a, right, "bytes read");
}

void Application::SetRts() {
  const DWORD off = 1;
  const DWORD on = 0;
  Accepted("set RTS", Io(NVP_SET_RTS | side_, &off, sizeof off, nullptr, 0));
  Accepted("set RTS", Io(NVP_SET_RTS | side_, &on, sizeof on, nullptr, 0));
}

void Application::CheckStatus() {
  Accepted("check status", Io(NVP_CHECK_STATUS | side_));
  const DWORD stopFlag = 1;
  Accepted("check status", Io(NVP_CHECK_STATUS | side_, &stopFlag, sizeof stopFlag, nullptr, 0));
}

void Application::JobMark() {
  std::unique_lock<std::shared_mutex> mark(shared_.sideJobMark);
  Accepted("job mark", Io(NVP_SET_JOBACTIVE | side_));
  Refused("write refused by job mark", Io(NVP_WRITE_IDLE | side_, kStatusRequest, 3, nullptr, 0), kUntouched);
  const PortRequest reset = {sideAddress_, NameBytes(sideName_), 0, 0};
  Refused("reset refused by job mark", Io(NVP_RESET_PRINTER, &reset, sizeof reset, nullptr, 0), kUntouched);
  Accepted("job mark", Io(NVP_CLEAR_JOBACTIVE | side_));
}

void Application::ResetRts() { Accepted("RTS reset", Io(NVP_RESET_RTS | side_)); }

void Application::ResetPrinter() {
  std::shared_lock<std::shared_mutex> noJobMark(shared_.sideJobMark);
  const PortRequest reset = {sideAddress_, NameBytes(sideName_), 0, 0};
  const Answer a = Io(NVP_RESET_PRINTER, &reset, sizeof reset, nullptr, 0);
  Accepted("printer reset", a);
  if (a.result) ++sideResets_;
}

void Application::ResetPrinterViaRts() {
  const PortRequest reset = {sideAddress_, NameBytes(sideName_), 1, 0};
  Accepted("printer reset via RTS", Io(NVP_RESET_PRINTER, &reset, sizeof reset, nullptr, 0));
}

void Application::UpdateStatus() {
  const PortRequest update = {sideAddress_, NameBytes(sideName_), 0, 200};
  Accepted("status update", Io(NVP_UPDATE_PRINTERSTATUS, &update, sizeof update, nullptr, 0));
}

void Application::UpdateStatusViaRts() {
  const PortRequest update = {sideAddress_, NameBytes(sideName_), 1, 200};
  Accepted("status update via RTS", Io(NVP_UPDATE_PRINTERSTATUS, &update, sizeof update, nullptr, 0));
}

void Application::StatusRecords() {
  uint8_t records[kRecordsCapacity];
  const Answer a = Io(NVP_GET_PRINTERSTATUS, sideName_.c_str(), NameBytes(sideName_), records, sizeof records);
  Accepted("status records", a, RecordsWellFormed(records, a.returned, sizeof records), "records");
}

void Application::StatusSizeQuery() {
  const Answer a = Io(NVP_GET_PRINTERSTATUS, sideName_.c_str(), NameBytes(sideName_), nullptr, 0);
  Accepted("status size query", a, a.returned % kRecordBytes == 0 && a.returned <= kRecordsCapacity, "size");
}

void Application::StatusEmptyBuffer() {
  // Refused while records are being handed out; a request that only starts
  // the watch returns no records.
  uint8_t records[kRecordBytes];
  const Answer a = Io(NVP_GET_PRINTERSTATUS, sideName_.c_str(), NameBytes(sideName_), records, 0);
  Either("status records, empty buffer", a, a.returned == 0, "records returned");
}

void Application::StopMonitor() {
  // Served when the monitor watches an open port, refused when it watches none.
  Either("stop monitor", Io(NVP_STOP_PORTMONITOR, sideName_.c_str(), NameBytes(sideName_), nullptr, 0));
}

void Application::PortPosition() {
  BYTE position = 0;
  const Answer a = Io(NVP_GET_INDEX, sideName_.c_str(), NameBytes(sideName_), &position, 1);
  Accepted("port position", a, position == 1 || position == 2, "position");
  position = 0;
  const Answer high = Io(0xFF000000u | NVP_GET_INDEX, sideName_.c_str(), NameBytes(sideName_), &position, 1);
  Accepted("high bits ignored", high, position == 1 || position == 2, "position");
}

void Application::DeviceHandle() {
  // Opening and closing "NVP1:" changes nothing of the driver's state.
  HANDLE h = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool opened = h != nullptr && h != INVALID_HANDLE_VALUE;
  const Answer a = {opened && CloseHandle(h) ? TRUE : FALSE, GetLastError(), 0};
  Accepted("NVP1: handle", a);
}

void Application::ExportedEntries() {
  for (DWORD (*entry)() :
       {&::GetPrinterStatus, &::ResetPrinter, &::StopPortMonitor, &::UpdatePrinterStatus, &::DrvAdvPageSetupDlg}) {
    const DWORD r = entry();
    Accepted("exported entries", {r == 1 ? TRUE : FALSE, 0, r});
  }
}

// ---- Invalid requests ----

void Application::UnknownFunctions() {
  for (DWORD code : {DWORD{0}, NVP_FUNCTION_MASK & 0xF00, DWORD{0x1200}, DWORD{0x2000}, NVP_FUNCTION_MASK}) {
    BYTE out[4] = {};
    Refused("unknown function", Io(code | side_, sideName_.c_str(), NameBytes(sideName_), out, sizeof out), kUntouched);
  }
}

void Application::UnknownIndex() {
  const DWORD value = 0;
  BYTE out[8];
  const DWORD functions[] = {NVP_WRITE,         NVP_CLOSE,           NVP_READ,      NVP_SET_RTS,
                             NVP_SET_JOBACTIVE, NVP_CLEAR_JOBACTIVE, NVP_RESET_RTS, NVP_WRITE_IDLE};
  for (DWORD function : functions) {
    Refused("unknown index", Io(function | kUnknownIndex, &value, sizeof value, out, sizeof out), kUntouched);
  }
  // A waiting client keeps asking: "not ready".
  Refused("check status, unknown index", Io(NVP_CHECK_STATUS | kUnknownIndex), ERROR_NOT_READY);
}

void Application::OpenBadBuffers() {
  BYTE index = 0;
  Refused("open without output", Io(NVP_OPEN_NOMONITOR, sideName_.c_str(), NameBytes(sideName_), nullptr, 1),
          kUntouched);
  Refused("open without output", Io(NVP_OPEN, sideName_.c_str(), NameBytes(sideName_), &index, 0), kUntouched);
  Refused("open unterminated name",
          Io(NVP_OPEN, unterminated_.data(), static_cast<DWORD>(unterminated_.size() * 2), &index, 1),
          ERROR_INVALID_PARAMETER);
  Refused("open without name", Io(NVP_OPEN_NOMONITOR, nullptr, 0, &index, 1), ERROR_INVALID_PARAMETER);
  // An odd length cuts the NUL in half.
  Refused("open unterminated name", Io(NVP_OPEN_NOMONITOR, sideName_.c_str(), NameBytes(sideName_) - 1, &index, 1),
          ERROR_INVALID_PARAMETER);
}

void Application::OpenUnknownPort() {
  BYTE index = 0;
  Refused("open unknown port", Io(NVP_OPEN_NOMONITOR, missingName_.c_str(), NameBytes(missingName_), &index, 1),
          ERROR_FILE_NOT_FOUND);
  Refused("open unknown port", Io(NVP_OPEN, missingName_.c_str(), NameBytes(missingName_), &index, 1),
          ERROR_FILE_NOT_FOUND);
}

void Application::PositionBadBuffers() {
  BYTE position = 0;
  Refused("position, unterminated name",
          Io(NVP_GET_INDEX, unterminated_.data(), static_cast<DWORD>(unterminated_.size() * 2), &position, 1),
          ERROR_INVALID_PARAMETER);
  Refused("position without output", Io(NVP_GET_INDEX, sideName_.c_str(), NameBytes(sideName_), nullptr, 0),
          ERROR_INVALID_PARAMETER);
}

void Application::SetRtsBadInput() {
  const uint16_t shortValue = 0;
  Refused("set RTS, short input", Io(NVP_SET_RTS | side_, &shortValue, sizeof shortValue, nullptr, 0),
          ERROR_INVALID_PARAMETER);
  Refused("set RTS without input", Io(NVP_SET_RTS | side_), kUntouched);
}

void Application::ReadWithoutBuffer() {
  Refused("read without buffer", Io(NVP_READ | side_, nullptr, 0, nullptr, 64), kUntouched);
}

void Application::ResetBadRequests() {
  const PortRequest good = {sideAddress_, NameBytes(sideName_), 0, 0};
  Refused("reset, short request", Io(NVP_RESET_PRINTER, &good, 8, nullptr, 0), ERROR_INVALID_PARAMETER);
  Refused("reset without request", Io(NVP_RESET_PRINTER), kUntouched);
  const PortRequest unmapped = {kUnmappedAddress, NameBytes(sideName_), 0, 0};
  Refused("reset, unmapped name", Io(NVP_RESET_PRINTER, &unmapped, sizeof unmapped, nullptr, 0), kUntouched);
  const PortRequest unterminated = {unterminatedAddress_, static_cast<uint32_t>(unterminated_.size() * 2), 0, 0};
  Refused("reset, unterminated name", Io(NVP_RESET_PRINTER, &unterminated, sizeof unterminated, nullptr, 0),
          ERROR_INVALID_PARAMETER);
  const PortRequest missing = {missingAddress_, NameBytes(missingName_), 0, 0};
  Refused("reset, unknown port", Io(NVP_RESET_PRINTER, &missing, sizeof missing, nullptr, 0), ERROR_FILE_NOT_FOUND);
}

void Application::UpdateBadRequests() {
  const PortRequest good = {sideAddress_, NameBytes(sideName_), 0, 200};
  Refused("update, short request", Io(NVP_UPDATE_PRINTERSTATUS, &good, 12, nullptr, 0), ERROR_INVALID_PARAMETER);
  const PortRequest unmapped = {kUnmappedAddress, NameBytes(sideName_), 0, 200};
  Refused("update, unmapped name", Io(NVP_UPDATE_PRINTERSTATUS, &unmapped, sizeof unmapped, nullptr, 0), kAnyError);
  const PortRequest unterminated = {unterminatedAddress_, static_cast<uint32_t>(unterminated_.size() * 2), 0, 200};
  Refused("update, unterminated name", Io(NVP_UPDATE_PRINTERSTATUS, &unterminated, sizeof unterminated, nullptr, 0),
          ERROR_INVALID_PARAMETER);
  const PortRequest missing = {missingAddress_, NameBytes(missingName_), 0, 200};
  Refused("update, unknown port", Io(NVP_UPDATE_PRINTERSTATUS, &missing, sizeof missing, nullptr, 0),
          ERROR_FILE_NOT_FOUND);
}

void Application::StatusRecordsBadInput() {
  uint8_t records[kRecordsCapacity];
  Refused("status records, unterminated name",
          Io(NVP_GET_PRINTERSTATUS, unterminated_.data(), static_cast<DWORD>(unterminated_.size() * 2), records,
             sizeof records),
          ERROR_INVALID_PARAMETER);
  Refused("status records without name", Io(NVP_GET_PRINTERSTATUS, nullptr, 0, records, sizeof records), kUntouched);
  // While the monitor watches nothing the records left from its last port are
  // handed out whatever the name; otherwise the port cannot be opened.
  const Answer a = Io(NVP_GET_PRINTERSTATUS, missingName_.c_str(), NameBytes(missingName_), records, sizeof records);
  Count("status records, unknown port", a.result);
  if (a.result ? !RecordsWellFormed(records, a.returned, sizeof records) : a.error != ERROR_FILE_NOT_FOUND) {
    Problem("status records, unknown port", a, "neither leftover records nor a failed open");
  }
}

void Application::StopMonitorBadNames() {
  Refused("stop monitor, port not open",
          Io(NVP_STOP_PORTMONITOR, missingName_.c_str(), NameBytes(missingName_), nullptr, 0), kUntouched);
  Refused("stop monitor, unterminated name",
          Io(NVP_STOP_PORTMONITOR, unterminated_.data(), static_cast<DWORD>(unterminated_.size() * 2), nullptr, 0),
          ERROR_INVALID_PARAMETER);
}

const std::vector<Application::Request>& Application::Mix() {
  static const std::vector<Request> mix = {
      &Application::OpenShared,
      &Application::Write,
      &Application::UnknownFunctions,
      &Application::UpdateStatus,
      &Application::Read,
      &Application::OpenBadBuffers,
      &Application::StatusRecords,
      &Application::SetRts,
      &Application::UnknownIndex,
      &Application::ResetPrinter,
      &Application::CheckStatus,
      &Application::OpenUnknownPort,
      &Application::StatusSizeQuery,
      &Application::WriteIdle,
      &Application::PositionBadBuffers,
      &Application::UpdateStatusViaRts,
      &Application::JobMark,
      &Application::SetRtsBadInput,
      &Application::StopMonitor,
      &Application::OpenLongerName,
      &Application::ReadWithoutBuffer,
      &Application::ResetRts,
      &Application::PortPosition,
      &Application::ResetBadRequests,
      &Application::StatusEmptyBuffer,
      &Application::DeviceHandle,
      &Application::UpdateBadRequests,
      &Application::ResetPrinterViaRts,
      &Application::ExportedEntries,
      &Application::StatusRecordsBadInput,
      &Application::StopMonitorBadNames,
  };
  return mix;
}

}  // namespace stress
