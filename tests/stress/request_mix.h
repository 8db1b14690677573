// The applications of the stress test: each opens "NVP1:" itself and goes
// round a fixed mix of control requests, valid and invalid, aimed at the
// side port, and checks every answer against what its kind must give. While
// a page of the print job is open it also serves a round of requests aimed
// at the job's own port, which the driver must refuse or cope with.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/types.h"

namespace stress {

inline constexpr char16_t kJobPort[] = u"COM1:";
inline constexpr char16_t kSidePort[] = u"COM2:";
inline constexpr char16_t kMissingPort[] = u"COM7:";  // mapped to nothing

// How often one kind of request was served, and how it was answered.
struct Tally {
  uint64_t served = 0;
  uint64_t accepted = 0;  // TRUE
  uint64_t refused = 0;   // FALSE
};
using Tallies = std::map<std::string, Tally>;

// Every kind a run must serve at least once.
const std::vector<std::string>& AllKinds();

// The pages of the job, one at a time: while a page is open (the job is
// marked active on its port) every application serves one round of
// job-port requests, and the page goes on only when all have.
class JobWindows {
 public:
  explicit JobWindows(int applications) : applications_(applications) {}

  // Print-job side: opens the next window and returns once every application
  // has served it. False when that takes absurdly long (a hang).
  bool OpenAndWait();
  // An application that could not start serves no windows.
  void Leave();

  // Application side: the number of the newest window (0 before the first).
  int Newest() const { return opened_.load(std::memory_order_acquire); }
  void Served(int window);

 private:
  std::atomic<int> opened_{0};
  std::mutex mu_;
  std::condition_variable cv_;
  int applications_;  // guarded by mu_, as is served_
  int served_ = 0;    // applications done with the newest window
};

struct Shared {
  explicit Shared(int applications, int passes) : windows(applications), minimumPasses(passes) {}
  JobWindows windows;
  std::atomic<bool> jobDone{false};
  // Held exclusively while an application keeps a job mark on the side port:
  // the side port's resets and idle writes, which that mark refuses, take it
  // shared, so that their answers do not depend on the interleaving.
  std::shared_mutex sideJobMark;
  const int minimumPasses;  // rounds of the whole mix, at least
};

class Application {
 public:
  Application(int id, Shared& shared);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Opens its "NVP1:" handle and its reference to the side port, goes round
  // the mix until the job is done and the minimum is reached, closes both.
  void Run();

  const Tallies& tallies() const { return tallies_; }
  const std::vector<std::string>& problems() const { return problems_; }
  // Resets of the side port handed to the monitor (each must reach the printer).
  uint64_t sideResets() const { return sideResets_; }
  // Status-request commands written to the side port by this application.
  uint64_t sideQueries() const { return sideQueries_; }

 private:
  struct Answer {
    BOOL result;
    DWORD error;
    DWORD returned;
  };
  using Request = void (Application::*)();

  Answer Io(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen);
  Answer Io(DWORD code) { return Io(code, nullptr, 0, nullptr, 0); }
  void Accepted(const char* kind, const Answer& a, bool detailsRight = true, const char* what = "");
  void Refused(const char* kind, const Answer& a, DWORD error);
  void Either(const char* kind, const Answer& a, bool detailsRight = true, const char* what = "");
  void Count(const char* kind, BOOL result);
  void Problem(const char* kind, const Answer& a, const std::string& what);
  bool RecordsWellFormed(const uint8_t* records, DWORD bytes, DWORD capacity);

  // One round of requests aimed at the job's port while its job is active.
  void ServeWindow();

  // The mix.
  void OpenShared();
  void OpenLongerName();
  void Write();
  void WriteIdle();
  void Read();
  void SetRts();
  void CheckStatus();
  void JobMark();
  void ResetRts();
  void ResetPrinter();
  void ResetPrinterViaRts();
  void UpdateStatus();
  void UpdateStatusViaRts();
  void StatusRecords();
  void StatusSizeQuery();
  void StatusEmptyBuffer();
  void StopMonitor();
  void PortPosition();
  void DeviceHandle();
  void ExportedEntries();
  void UnknownFunctions();
  void UnknownIndex();
  void OpenBadBuffers();
  void OpenUnknownPort();
  void PositionBadBuffers();
  void SetRtsBadInput();
  void ReadWithoutBuffer();
  void ResetBadRequests();
  void UpdateBadRequests();
  void StatusRecordsBadInput();
  void StopMonitorBadNames();
  static const std::vector<Request>& Mix();

  const int id_;
  Shared& shared_;
  HANDLE nvp_ = nullptr;
  uint8_t side_ = 0;  // this application's reference to the side port
  std::u16string jobName_, sideName_, missingName_, longerSideName_;
  std::vector<char16_t> unterminated_;  // "COM2" without its NUL
  // Caller-space addresses of the names, for the request records.
  uint32_t jobAddress_ = 0, sideAddress_ = 0, missingAddress_ = 0, unterminatedAddress_ = 0;
  Tallies tallies_;
  std::vector<std::string> problems_;
  uint64_t sideResets_ = 0;
  uint64_t sideQueries_ = 0;
};

}  // namespace stress
