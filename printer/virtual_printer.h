// A printer on a port, in-process: it keeps every byte it receives, reads
// them with the decoder as they arrive, answers status requests with status
// bytes, reports an IEEE 1284 device ID, and injects faults on request.
//
// Its port side has the operations of a device backend (Open, Read, Write,
// IoControl, the serial line state, timeouts, Purge, Cancel, Close); the
// "virtual" scheme (printer/backend.h) puts it behind a port name, and tests
// may call the operations directly. All operations are thread-safe: the
// driver's monitor thread reads while another thread writes. Timed waits run
// on the stand-in clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/devices.h"
#include "platform/types.h"
#include "printer/decoder.h"

namespace vprinter {

enum class State : uint8_t {
  Ready,       // answers 80
  NotReady,    // 88
  PaperOut,    // 82
  Error,       // 84
  PaperError,  // 86: paper out and error
  Silent,      // answers nothing
};

// The status byte of a state; nothing for Silent.
std::optional<uint8_t> StatusByte(State s);
// "ready", "not-ready", "paper-out", "error", "paper-error", "silent".
const char* StateName(State s);
bool ParseState(std::string_view text, State* out);

// How the printer is attached, which decides the operations its port has.
enum class Attachment : uint8_t {
  Any,           // both the serial line and the printer-class control codes
  Serial,        // DCB, RTS, purge; no printer-class control codes
  PrinterClass,  // device ID and port status; no serial line
};

// A scripted change: when the condition is met (once), the printer takes the
// new state, optionally reports it at once with a status byte of its own, or
// goes away.
struct Trigger {
  enum class When : uint8_t { AfterBytes, AfterLines, AfterCommand };
  When when = When::AfterBytes;
  uint64_t count = 0;                     // bytes received, lines printed, or the k-th command
  Command command = Command::JobControl;  // AfterCommand only
  int param = -1;                         // AfterCommand: the command's parameter, -1 = any
  std::optional<State> state;
  bool report = false;  // queue the new state's status byte
  bool unplug = false;

  static Trigger AfterBytes(uint64_t n, State s);
  static Trigger AfterLines(uint64_t n, State s);
  static Trigger AfterCommand(Command c, int param, uint64_t k, State s);
};

struct PrinterOptions {
  // Device ID parts: "MFG:<manufacturer>;MDL:<model>;DESCRIPTION:<description>;".
  std::string manufacturer = "Norv";
  std::string model = "Kest";
  std::string description = "USB Printer Generic";
  // When set, the device-ID request answers exactly these bytes instead.
  std::optional<std::string> deviceIdReply;
  State state = State::Ready;
  Attachment attachment = Attachment::Any;
  DecoderOptions decoder;
  // An RTS pulse (line dropped, then raised) is a status request.
  bool answerRtsPulse = true;
  // While not ready (not-ready, paper-out, error states) the printer accepts
  // no bytes: writes stall until their timeout, as a busy printer's port does.
  bool busyWhenNotReady = false;
  // Every change of state (SetState, triggers) is reported with a status byte.
  bool reportStateChanges = false;
  // Bytes kept; more are still decoded but not stored (CaptureTruncated()).
  size_t maxCaptureBytes = size_t{256} << 20;
  // Bytes waiting to be read; more are dropped.
  size_t maxPendingReplies = 65536;
};

// One write the printer saw.
struct WriteRecord {
  uint64_t offset = 0;  // stream offset of its first accepted byte
  uint32_t requested = 0;
  uint32_t accepted = 0;
};

// One change of the RTS line control, with the stand-in time it happened.
struct RtsRecord {
  uint64_t timeMs = 0;
  DWORD rtsControl = 0;
};

class VirtualPrinter {
 public:
  explicit VirtualPrinter(PrinterOptions options = {});
  ~VirtualPrinter();
  VirtualPrinter(const VirtualPrinter&) = delete;
  VirtualPrinter& operator=(const VirtualPrinter&) = delete;

  // ---- Port side (the device backend's operations) ----
  // `cancelled`, when given, is a flag set by the port's Cancel: a waiting
  // read or write returns as soon as it is set.
  DWORD Open(DWORD access, DWORD disposition);
  BOOL Read(void* buffer, DWORD size, DWORD* read, const std::atomic<bool>* cancelled = nullptr);
  BOOL Write(const void* data, DWORD size, DWORD* written, const std::atomic<bool>* cancelled = nullptr);
  BOOL IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned);
  BOOL GetCommState(DCB* dcb);
  BOOL SetCommState(const DCB* dcb);
  BOOL GetCommTimeouts(COMMTIMEOUTS* t);
  BOOL SetCommTimeouts(const COMMTIMEOUTS* t);
  BOOL Purge(DWORD flags);
  void WakeWaiters();  // after a port's cancel flag was set
  void Close();

  // ---- Printer side: state and faults ----
  State state() const;
  void SetState(State s);
  void SetDescription(const std::string& description);
  void SetDeviceIdReply(std::optional<std::string> raw);
  void SetDeviceIdFails(bool fails);       // the device-ID request fails
  void SetOpenError(DWORD error);          // opens fail with `error` (0: they succeed)
  void SetPortStatusFails(bool fails);     // the port-status request fails while plugged in
  void SetStallWrites(bool stall);         // writes accept nothing until their timeout
  void SetMaxBytesPerWrite(uint32_t max);  // 0 = no limit
  void SetBusyWhenNotReady(bool busy);
  void Unplug();
  void Replug();
  bool unplugged() const;
  void AddTrigger(const Trigger& t);

  // Bytes the printer sends of its own accord, as a real one reports changes.
  void SendBytes(std::span<const uint8_t> bytes);
  void ReportStatus();  // the current state's status byte (nothing when silent)

  // The driver clears its seeds at each page start without telling the
  // printer; a test that knows where a page starts says so here.
  void MarkPageStart();

  // ---- What happened ----
  std::vector<uint8_t> Captured() const;
  bool CaptureTruncated() const;
  // Writes the captured bytes to a file; false and *error on failure.
  bool SaveCapture(const std::string& path, std::string* error) const;
  uint64_t BytesReceived() const;
  // The decoded job so far; with `finish` an unfinished command is reported as
  // truncated and a cut colour row completed (the live decoder is untouched).
  DecodedJob Printed(bool finish = false) const;
  std::vector<WriteRecord> Writes() const;
  std::vector<RtsRecord> RtsChanges() const;
  std::vector<uint8_t> PendingReplies() const;  // status bytes not yet read
  size_t StatusAnswers() const;                 // status bytes queued in answer to requests
  uint32_t OpenCount() const;                   // successful opens so far
  bool IsOpen() const;
  DWORD LastOpenAccess() const;
  DWORD LastOpenDisposition() const;
  COMMTIMEOUTS Timeouts() const;
  DCB LineState() const;
  // Commands of one kind (and parameter, when param >= 0) read so far.
  uint64_t CommandCount(Command c, int param = -1) const;

  // Waits (stand-in time) until `CommandCount(c, param)` reaches `count`.
  bool WaitForCommand(Command c, int param, uint64_t count, DWORD timeoutMs) const;
  // Waits until a status byte or other reply is waiting to be read.
  bool WaitForReply(DWORD timeoutMs) const;

  // Called, outside the printer's lock, whenever reply bytes are queued (the
  // pseudo-terminal server wakes its loop with it).
  void SetReplyListener(std::function<void()> listener);
  // Takes up to `max` reply bytes without waiting.
  size_t TakeReplies(uint8_t* out, size_t max);

  // Clears capture, decoder, logs and replies; state and faults stay.
  void ClearJob();

 private:
  bool OnEvent(const Event& e);
  bool TriggerDueLocked(const Trigger& t) const;
  void FireTriggersLocked();
  uint64_t CountLocked(Command c, int param) const;
  void SetStateLocked(State s);
  void QueueLocked(const uint8_t* bytes, size_t n);
  bool BusyLocked() const;
  void NotifyReplies();
  size_t FeedLocked(const uint8_t* data, size_t n);
  DWORD GoneError() const;
  bool SerialLineUsableLocked() const;
  std::string DeviceIdLocked() const;
  bool WaitLocked(std::unique_lock<std::mutex>& lock, uint64_t timeoutMs, const std::function<bool()>& done) const;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  PrinterOptions options_;
  StreamDecoder decoder_;
  std::vector<uint8_t> capture_;
  bool captureTruncated_ = false;
  uint64_t received_ = 0;
  std::deque<uint8_t> replies_;
  size_t statusAnswers_ = 0;
  std::vector<WriteRecord> writes_;
  std::vector<RtsRecord> rts_;
  struct PendingTrigger {
    Trigger trigger;
    bool fired = false;
  };
  std::vector<PendingTrigger> triggers_;
  // Per command: [0] all, [1 + p] those with parameter p.
  static constexpr size_t kCommands = static_cast<size_t>(Command::PageStart) + 1;
  uint64_t commandCounts_[kCommands][257] = {};
  bool stopFeed_ = false;
  bool stallWrites_ = false;
  bool unplugged_ = false;
  bool deviceIdFails_ = false;
  bool portStatusFails_ = false;
  DWORD openError_ = 0;
  uint32_t maxBytesPerWrite_ = 0;
  uint32_t openCount_ = 0;
  uint32_t openNow_ = 0;
  DWORD lastAccess_ = 0;
  DWORD lastDisposition_ = 0;
  uint64_t closeGeneration_ = 0;
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  std::function<void()> replyListener_;
  bool repliesQueued_ = false;  // a listener call is due after the lock is released
};

// Named printers shared by the process, so that a test or tool can inspect the
// printer a port name reaches. "default" is the name of "virtual" without one.
std::shared_ptr<VirtualPrinter> Create(const std::string& name, PrinterOptions options = {});  // replaces
std::shared_ptr<VirtualPrinter> Get(const std::string& name = "default");                      // or nullptr
std::shared_ptr<VirtualPrinter> GetOrCreate(const std::string& name = "default");
void Remove(const std::string& name);
void RemoveAll();

}  // namespace vprinter
