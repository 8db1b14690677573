// libFuzzer entry for the bytes a printer sends back. The monitor watches a
// silent virtual printer (serial or printer-class, chosen by each input's
// first byte); the input feeds it reply bytes in chunks, interleaved with
// status checks, record reads, size queries, shared opens (which empty the
// history) and status updates. A model of both status queues follows along.
//
// Checked: every record holds exactly a byte the printer sent, in order, the
// newest 64 of them; neither queue exceeds 64; the record times are real
// dates; NVP_CHECK_STATUS judges the newest status byte (before the first
// 0x03 with a stop flag) as the command table says; no heap block is left
// after an input.
//
// For speed the monitor and both ports live as long as the process: an input
// starts from empty queues on the port it chose, and a start and stop of the
// monitor thread per input (which the control-interface target covers) would
// cost more than the input itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <deque>
#include <vector>

#include "commands/commands.h"
#include "tests/fuzz/nvp_fuzz_common.h"

namespace {

using namespace nvpfuzz;

constexpr int kMaxSteps = 8;
constexpr size_t kMaxChunk = 100;  // more than one 64-byte read

struct Printers {
  std::shared_ptr<vprinter::VirtualPrinter> serial, usb;
};

Printers& ThePrinters() {
  static Printers p;
  return p;
}

const std::u16string kSerialPort = u"COM4:";
const std::u16string kUsbPort = u"LPT4:";

void SetUpOnce() {
  SetUpProcess();
  Printers& p = ThePrinters();
  // Silent printers send nothing but what the input makes them send.
  vprinter::PrinterOptions serial;
  serial.attachment = vprinter::Attachment::Serial;
  serial.state = vprinter::State::Silent;
  serial.answerRtsPulse = false;
  p.serial = MakePrinter("fz-serial-replies", kSerialPort, serial);
  vprinter::PrinterOptions usb;
  usb.attachment = vprinter::Attachment::PrinterClass;
  usb.state = vprinter::State::Silent;
  p.usb = MakePrinter("fz-usb-replies", kUsbPort, usb);
}

// The process's own references to both ports, and the port being watched.
uint8_t g_serialIndex = 0;
uint8_t g_usbIndex = 0;
uint8_t g_watched = 0;

BOOL Io(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) {
  return NVP_IOControl(1, code, static_cast<BYTE*>(const_cast<void*>(in)), inLen, static_cast<BYTE*>(out), outLen,
                       returned);
}

void CheckRecordTime(const StatusRecord& r) {
  Check(r.second < 60 && r.minute < 60 && r.hour < 24, "record time of day", r.hour, r.minute);
  Check(r.day >= 1 && r.day <= 31 && r.month >= 1 && r.month <= 12 && r.year >= 2000, "record date", r.month, r.day);
  Check(r.reserved1 == 0 && r.reserved2 == 0, "reserved record bytes");
}

// What NVP_CHECK_STATUS must answer for a history, by the command table.
DWORD ExpectedVerdict(const std::deque<uint8_t>& history, uint32_t stopFlag) {
  DWORD pending = 0;
  for (uint8_t b : history) {
    if (cmd::IsStatusByte(b)) pending = cmd::StatusByteError(b);
    if (stopFlag != 0 && b == cmd::kStatusWalkStop) break;
  }
  return pending;
}

class Session {
 public:
  Session(FuzzedDataProvider& f, bool serial)
      : fdp_(f),
        port_(serial ? kSerialPort : kUsbPort),
        printer_(serial ? ThePrinters().serial : ThePrinters().usb),
        index_(serial ? g_serialIndex : g_usbIndex) {}

  void Run() {
    if (g_watched != index_) {
      // The monitor takes over this port and then gives the other one back:
      // the takeover is whole when the old port's reference is released too.
      UpdateStatus();
      WaitFor(
          [&] {
            return Locked([] { return g_byMonitoredPort; }) == index_ &&
                   RefCount(g_serialIndex) + RefCount(g_usbIndex) == 3;
          },
          "the monitor never watched the port");
      g_watched = index_;
    }
    ClearQueues();
    CheckQueues();
    for (int n = 0; n < kMaxSteps && fdp_.remaining_bytes() > 0; ++n) {
      switch (fdp_.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
        case 1:
        case 2:
          SendChunk();
          break;
        case 3:
          CheckStatus();
          break;
        case 4:
          ReadRecords();
          break;
        case 5:
          SizeQueryAndShortBuffer();
          break;
        case 6:
          SharedOpen();
          break;
        default:
          UpdateStatus();
          break;
      }
    }
  }

  void Finish() {
    CheckQueues();
    Check(TableSize() == 2, "the input changed the open ports", long(TableSize()));
    Check(RefCount(g_serialIndex) + RefCount(g_usbIndex) == 3, "references changed", RefCount(g_serialIndex),
          RefCount(g_usbIndex));
  }

 private:
  uint8_t Open(DWORD function) {
    BYTE index = 0;
    DWORD returned = 0;
    Check(Io(function, port_.c_str(), NameBytes(port_), &index, 1, &returned) != FALSE, "open of a virtual port");
    Check(index != 0 && returned == 1, "open result", index, long(returned));
    return index;
  }

  // The printer sends a chunk; returns once the monitor has recorded it all.
  void SendChunk() {
    const size_t n = fdp_.ConsumeIntegralInRange<size_t>(1, kMaxChunk);
    const std::vector<uint8_t> bytes = fdp_.ConsumeBytes<uint8_t>(n);
    if (bytes.empty()) return;
    // Each recorded byte makes two driver allocations (its record and its
    // history copy), and nothing else allocates meanwhile: the count says when
    // every byte is recorded even when the bounded queues look the same before
    // and after (a run of one byte value longer than the bound).
    const uint64_t allocationsBefore = plat::AllocationCount();
    printer_->SendBytes(bytes);
    for (uint8_t b : bytes) {
      Push(records_, b);
      Push(history_, b);
    }
    // Once the printer has nothing left to send, the history stops changing
    // when its last byte is recorded; a history that never reaches the model
    // (a byte lost, changed or doubled) ends the wait with a failure.
    WaitFor([&] { return printer_->PendingReplies().empty(); }, "the monitor never read the replies");
    WaitFor([&] { return plat::AllocationCount() - allocationsBefore >= 2 * bytes.size(); },
            "the monitor never recorded the replies");
    const std::vector<uint8_t> want(history_.begin(), history_.end());
    WaitFor([&] { return QueueBytes(g_dequeStatusHistory) == want; }, "history differs from the bytes sent");
    CheckQueues();
  }

  static void Push(std::deque<uint8_t>& q, uint8_t b) {
    q.push_back(b);
    while (q.size() > kStatusQueueLimit) q.pop_front();
  }

  void CheckQueues() {
    const std::vector<uint8_t> records = QueueBytes(g_dequeStatusRecords);
    const std::vector<uint8_t> history = QueueBytes(g_dequeStatusHistory);
    Check(records.size() <= kStatusQueueLimit && history.size() <= kStatusQueueLimit, "a queue beyond its bound",
          long(records.size()), long(history.size()));
    Check(records == std::vector<uint8_t>(records_.begin(), records_.end()), "records differ from the bytes sent",
          long(records.size()), long(records_.size()));
    Check(history == std::vector<uint8_t>(history_.begin(), history_.end()), "history differs from the bytes sent",
          long(history.size()), long(history_.size()));
  }

  void CheckStatus() {
    const int kind = fdp_.ConsumeIntegralInRange<int>(0, 3);
    const uint32_t flag = kind == 3 ? fdp_.ConsumeIntegral<uint32_t>() : static_cast<uint32_t>(kind);
    // The stop flag counts only with an input of exactly 4 bytes.
    const DWORD inLen = fdp_.ConsumeIntegralInRange<int>(0, 5) == 0 ? fdp_.ConsumeIntegralInRange<DWORD>(0, 3) : 4;
    const DWORD expected = ExpectedVerdict(history_, inLen == 4 ? flag : 0);
    SetLastError(ERROR_SUCCESS);
    const BOOL ready = Io(NVP_CHECK_STATUS | index_, &flag, inLen, nullptr, 0, nullptr);
    const DWORD error = GetLastError();
    if (expected == 0) {
      Check(ready != FALSE, "not ready while the newest status byte says ready", long(error));
    } else {
      Check(ready == FALSE && error == expected, "verdict differs from the newest status byte", long(error),
            long(expected));
    }
    CheckQueues();  // the history is only read
  }

  std::vector<uint8_t> CopyOut(DWORD outLen, BOOL* ok, DWORD* returned) {
    std::vector<uint8_t> out(outLen);
    *returned = 0xDEADBEEF;
    *ok = Io(NVP_GET_PRINTERSTATUS, port_.c_str(), NameBytes(port_), out.empty() ? nullptr : out.data(), outLen,
             returned);
    return out;
  }

  void ReadRecords() {
    const DWORD need = static_cast<DWORD>(records_.size() * sizeof(StatusRecord));
    const DWORD outLen = fdp_.ConsumeBool() ? need : need + fdp_.ConsumeIntegralInRange<DWORD>(1, 40);
    if (outLen == 0) return;  // a size query, covered below
    BOOL ok;
    DWORD returned;
    const std::vector<uint8_t> out = CopyOut(outLen, &ok, &returned);
    Check(ok != FALSE && returned == need, "record read", long(returned), long(need));
    for (size_t k = 0; k < records_.size(); ++k) {
      StatusRecord r;
      std::memcpy(&r, out.data() + k * sizeof r, sizeof r);
      Check(r.byte == records_[k], "record holds another byte than the printer sent", long(k), r.byte);
      CheckRecordTime(r);
    }
    records_.clear();
    CheckQueues();
  }

  void SizeQueryAndShortBuffer() {
    const DWORD need = static_cast<DWORD>(records_.size() * sizeof(StatusRecord));
    BOOL ok;
    DWORD returned;
    CopyOut(0, &ok, &returned);
    Check(ok != FALSE && returned == need, "size query", long(returned), long(need));
    if (need > 0) {
      CopyOut(fdp_.ConsumeIntegralInRange<DWORD>(1, need - 1), &ok, &returned);
      Check(ok == FALSE && returned == 0xDEADBEEF, "a short buffer was accepted");
    }
    CheckQueues();  // neither takes a record
  }

  // A second client opens the port: the history starts afresh; records stay.
  void SharedOpen() {
    const uint8_t again = Open(NVP_OPEN);
    Check(again == index_, "a shared open gave another index", again, index_);
    history_.clear();
    CheckQueues();
    Check(Io(NVP_CLOSE | again, nullptr, 0, nullptr, 0, nullptr) != FALSE, "close of the shared open");
  }

  // An application asks for the watched port's status: the query goes to a
  // silent printer, which leaves both queues alone.
  void UpdateStatus() {
    std::u16string name = port_;
    const uint32_t address = plat::RegisterCallerBuffer(name.data(), NameBytes(name));
    PortRequest req{address, NameBytes(name), 0, 0};
    Check(Io(NVP_UPDATE_PRINTERSTATUS, &req, sizeof req, nullptr, 0, nullptr) != FALSE, "status update");
    plat::UnregisterCallerBuffer(address);
    CheckQueues();
  }

  FuzzedDataProvider& fdp_;
  std::u16string port_;
  std::shared_ptr<vprinter::VirtualPrinter> printer_;
  uint8_t index_ = 0;
  std::deque<uint8_t> records_;  // what g_dequeStatusRecords must hold
  std::deque<uint8_t> history_;  // what g_dequeStatusHistory must hold
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetUpOnce();
  for (auto [port, index] : {std::pair{&kSerialPort, &g_serialIndex}, std::pair{&kUsbPort, &g_usbIndex}}) {
    BYTE i = 0;
    if (!Io(NVP_OPEN_NOMONITOR, port->c_str(), NameBytes(*port), &i, 1, nullptr)) Fail("open of a virtual port");
    *index = i;
  }
  // The monitor must be gone before the process's static objects (the
  // printers, the device namespace) are destroyed under it.
  std::atexit([] {
    StopMonitor();
    Io(NVP_CLOSE | g_serialIndex, nullptr, 0, nullptr, 0, nullptr);
    Io(NVP_CLOSE | g_usbIndex, nullptr, 0, nullptr, 0, nullptr);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int64_t liveBefore = plat::LiveAllocations();
  {
    FuzzedDataProvider fdp(data + 1, size - 1);
    // Mostly the serial port: a change of port costs a takeover.
    Session s(fdp, (data[0] & 3) != 0);
    s.Run();
    s.Finish();
  }
  ClearQueues();
  Check(plat::LiveAllocations() == liveBefore, "heap blocks leaked", long(plat::LiveAllocations() - liveBefore));
  ThePrinters().serial->ClearJob();
  ThePrinters().usb->ClearJob();
  return 0;
}
