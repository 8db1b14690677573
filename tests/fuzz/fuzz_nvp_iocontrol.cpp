// libFuzzer entry for the control interface of "NVP1:". Each input is a
// sequence of calls decoded from its bytes: control codes (the real ones
// mostly, any value sometimes), buffers allocated at their exact size (so an
// over-read or over-write is caught), claimed lengths that may exceed them,
// null pointers, request records with caller addresses that are registered,
// stale or made up, and opens and closes of "NVP1:" handles and contexts.
// Calls go through DeviceIoControl, whose caller-buffer check is on, and
// straight to NVP_IOControl with lengths the buffers really have.
//
// Checked after every call: a FALSE result sets a last error; the count
// returned never exceeds the output length; nothing is written past what the
// call reports; a call the kernel must refuse never reaches the driver.
// Checked after every input, once all its handles and references are given
// back and the monitor is stopped: no port record, port, thread or heap
// block is left.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <map>
#include <vector>

#include "tests/fuzz/nvp_fuzz_common.h"

namespace {

using namespace nvpfuzz;

constexpr uint8_t kFill = 0xA5;
constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr int kMaxCalls = 10;

struct Printers {
  std::shared_ptr<vprinter::VirtualPrinter> usb, busy, serial, silent, gone;
};

Printers& ThePrinters() {
  static Printers p;
  return p;
}

void SetUpOnce() {
  SetUpProcess();
  Printers& p = ThePrinters();
  vprinter::PrinterOptions usb;
  usb.attachment = vprinter::Attachment::PrinterClass;
  usb.description = "USB Printer S91 300DPI";
  p.usb = MakePrinter("fz-usb", u"LPT1:", usb);
  vprinter::PrinterOptions busy;
  busy.attachment = vprinter::Attachment::PrinterClass;
  busy.state = vprinter::State::PaperOut;
  busy.busyWhenNotReady = true;
  p.busy = MakePrinter("fz-busy", u"LPT2:", busy);
  vprinter::PrinterOptions serial;
  serial.attachment = vprinter::Attachment::Serial;
  serial.state = vprinter::State::NotReady;
  serial.reportStateChanges = true;
  p.serial = MakePrinter("fz-serial", u"COM1:", serial);
  vprinter::PrinterOptions silent;
  silent.state = vprinter::State::Silent;
  p.silent = MakePrinter("fz-silent", u"COM2:", silent);
  p.gone = MakePrinter("fz-gone", u"LPT3:", {});
  p.gone->Unplug();
  MakeCurrentPortRecord(u"LPT1:");
}

// Port names a request may carry: mapped ports of each kind, a serial name
// with a rate, a prefix of an open name, other case, empty, unknown.
const char16_t* const kNames[] = {u"LPT1:",       u"LPT2:", u"COM1:", u"COM2:9600", u"COM1:115200", u"LPT3:",
                                  u"LPT",         u"lpt1:", u"",      u"NUL9:",     u"COM2:",       u"LPT1:xyz",
                                  u"COM1:12345"};

const DWORD kFunctions[] = {NVP_OPEN,          NVP_WRITE,           NVP_CLOSE,
                            NVP_READ,          NVP_SET_RTS,         NVP_CHECK_STATUS,
                            NVP_SET_JOBACTIVE, NVP_CLEAR_JOBACTIVE, NVP_RESET_PRINTER,
                            NVP_UPDATE_PRINTERSTATUS,               NVP_GET_PRINTERSTATUS,
                            NVP_OPEN_NOMONITOR,                     NVP_RESET_RTS,
                            NVP_STOP_PORTMONITOR,                   NVP_WRITE_IDLE,
                            NVP_GET_INDEX,     0x0,                 0xF00,
                            0x1200};

// A heap block of exactly `size` bytes (new[] of 0 gives a block no byte of
// which may be touched), or no block at all.
struct Block {
  std::unique_ptr<uint8_t[]> mem;
  size_t size = 0;
  uint8_t* ptr() const { return mem.get(); }
};

Block MakeBlock(size_t size) {
  Block b;
  b.mem.reset(new uint8_t[size]);
  b.size = size;
  return b;
}

// A port name registered as caller memory, for the requests that point to one.
struct CallerName {
  Block block;
  uint32_t address = 0;
};

// The refusals the interface documents as leaving the last error alone: an
// index that is not open, a missing buffer of an indexed function or of an
// open, a write refused during a job, an empty table asked for a position,
// functions outside the table, the printer-status requests, which set no
// last error themselves, and a write a parallel port did not take while it
// still answers. Every other FALSE must carry a reason.
bool MayFailSilently(DWORD function, bool wasOpen, bool jobWasActive, bool tableWasEmpty, bool parallelPort,
                     const BYTE* in, DWORD inLen, const BYTE* out, DWORD outLen) {
  switch (function) {
    case NVP_WRITE:
      // A parallel port that takes nothing but still answers its status
      // request: FALSE with whatever error the platform left, 0 after success.
      return !wasOpen || parallelPort;
    case NVP_CLOSE:
    case NVP_SET_JOBACTIVE:
    case NVP_CLEAR_JOBACTIVE:
    case NVP_RESET_RTS:
      return !wasOpen;
    case NVP_WRITE_IDLE:
      return !wasOpen || jobWasActive || parallelPort;
    case NVP_READ:
      return !wasOpen || out == nullptr || outLen == 0;
    case NVP_SET_RTS:
      return !wasOpen || in == nullptr || inLen == 0;
    case NVP_OPEN:
    case NVP_OPEN_NOMONITOR:
      return out == nullptr || outLen == 0;
    case NVP_GET_INDEX:
      return tableWasEmpty;
    case NVP_CHECK_STATUS:
      return false;
    default:
      return true;  // the printer-status requests and unknown functions
  }
}

class Session {
 public:
  explicit Session(FuzzedDataProvider& f) : fdp_(f), threadsBefore_(SystemThreads()) {}

  void Run() {
    for (int n = 0; n < kMaxCalls && fdp_.remaining_bytes() > 0; ++n) {
      switch (fdp_.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
          OpenHandle();
          break;
        case 1:
          CloseOneHandle();
          break;
        case 2: {
          const DWORD ctx = NVP_Open(1, fdp_.ConsumeIntegral<DWORD>(), fdp_.ConsumeIntegral<DWORD>());
          Check(ctx != 0, "NVP_Open");
          Check(NVP_Close(ctx) != FALSE, "NVP_Close");
          break;
        }
        case 3:
          RegisterName();
          break;
        case 4:
          UnregisterName();
          break;
        default:
          Call();
          break;
      }
    }
  }

  // Gives back everything the input took and checks nothing is left.
  void Finish() {
    for (HANDLE h : handles_) Check(CloseHandle(h) != FALSE, "close of an NVP1: handle");
    handles_.clear();
    for (auto& [index, count] : held_) {
      for (int k = 0; k < count; ++k) {
        Check(NVP_IOControl(1, NVP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr) != FALSE,
              "a held reference could not be given back", index);
      }
    }
    held_.clear();
    StopMonitor(threadsBefore_);
    Check(TableSize() == 0, "port records left after every holder gave its reference back", long(TableSize()));
    Check(Locked([] { return g_byMonitoredPort; }) == 0, "a stopped monitor still counts as watching");
    Printers& p = ThePrinters();
    for (auto* printer : {p.usb.get(), p.busy.get(), p.serial.get(), p.silent.get(), p.gone.get()}) {
      Check(!printer->IsOpen(), "a port was left open");
    }
    for (CallerName& c : names_) plat::UnregisterCallerBuffer(c.address);
    names_.clear();
  }

 private:
  void OpenHandle() {
    if (handles_.size() >= 4) return;
    HANDLE h = CreateFileW(kPortDriverDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Check(h != INVALID_HANDLE_VALUE, "open of NVP1:");
    handles_.push_back(h);
  }

  void CloseOneHandle() {
    if (handles_.empty()) return;
    const size_t k = fdp_.ConsumeIntegralInRange<size_t>(0, handles_.size() - 1);
    Check(CloseHandle(handles_[k]) != FALSE, "close of an NVP1: handle");
    closed_.push_back(handles_[k]);
    handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(k));
  }

  // A wide name, from the table or made of input bytes; maybe without its NUL.
  std::u16string PickName() {
    std::u16string name;
    if (fdp_.ConsumeIntegralInRange<int>(0, 7) != 0) {
      name = kNames[fdp_.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
    } else {
      const size_t n = fdp_.ConsumeIntegralInRange<size_t>(0, 140);
      for (size_t i = 0; i < n; ++i) name.push_back(static_cast<char16_t>(fdp_.ConsumeIntegral<uint16_t>()));
    }
    return name;
  }

  // The bytes of a name with its NUL, sometimes cut short (no NUL, odd size).
  std::vector<uint8_t> NameBytes() {
    const std::u16string name = PickName();
    std::vector<uint8_t> bytes((name.size() + 1) * 2);
    std::memcpy(bytes.data(), name.c_str(), bytes.size());
    switch (fdp_.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        bytes.resize(bytes.size() - 2);  // no NUL
        break;
      case 1:
        bytes.resize(bytes.size() - 1);  // half a NUL
        break;
      default:
        break;
    }
    return bytes;
  }

  void RegisterName() {
    if (names_.size() >= 6) return;
    const std::vector<uint8_t> bytes = NameBytes();
    CallerName c;
    c.block = MakeBlock(bytes.size());
    if (!bytes.empty()) std::memcpy(c.block.ptr(), bytes.data(), bytes.size());
    // Registration needs memory of at least one byte.
    c.address = plat::RegisterCallerBuffer(c.block.ptr(), c.block.size);
    Check((c.address != 0) == (c.block.size != 0), "register caller memory");
    if (c.address != 0) names_.push_back(std::move(c));
  }

  void UnregisterName() {
    if (names_.empty()) return;
    const size_t k = fdp_.ConsumeIntegralInRange<size_t>(0, names_.size() - 1);
    plat::UnregisterCallerBuffer(names_[k].address);
    stale_.push_back(names_[k].address);
    names_.erase(names_.begin() + static_cast<std::ptrdiff_t>(k));
  }

  // The caller address a request record carries, and the size it claims.
  void PickCallerName(uint32_t* address, uint32_t* size) {
    const int kind = fdp_.ConsumeIntegralInRange<int>(0, 5);
    if (kind <= 2 && !names_.empty()) {
      const CallerName& c = names_[fdp_.ConsumeIntegralInRange<size_t>(0, names_.size() - 1)];
      *address = c.address;
      *size = static_cast<uint32_t>(c.block.size);
      if (kind == 2) {
        *address += fdp_.ConsumeIntegralInRange<uint32_t>(0, 4);
        *size = fdp_.ConsumeIntegral<uint32_t>();
      }
    } else if (kind == 3 && !stale_.empty()) {
      *address = stale_[fdp_.ConsumeIntegralInRange<size_t>(0, stale_.size() - 1)];
      *size = fdp_.ConsumeIntegralInRange<uint32_t>(0, 64);
    } else if (kind == 4) {
      *address = 0;
      *size = fdp_.ConsumeIntegral<uint32_t>();
    } else {
      *address = fdp_.ConsumeIntegral<uint32_t>();
      *size = fdp_.ConsumeIntegral<uint32_t>();
    }
  }

  // The bytes of an input buffer; `present` false for no buffer at all.
  std::vector<uint8_t> InputBytes(DWORD function, bool* present) {
    *present = true;
    int kind = fdp_.ConsumeIntegralInRange<int>(0, 9);
    // Most calls get the input their function reads.
    if (kind >= 5) {
      if (function == NVP_RESET_PRINTER || function == NVP_UPDATE_PRINTERSTATUS) {
        kind = 2;
      } else if (function == NVP_SET_RTS || function == NVP_CHECK_STATUS) {
        kind = 3;
      } else if (function == NVP_WRITE || function == NVP_WRITE_IDLE) {
        kind = 4;
      } else {
        kind = 1;
      }
    }
    switch (kind) {
      case 0:
        *present = false;
        return {};
      case 1:
        return NameBytes();
      case 2: {
        PortRequest req{};
        PickCallerName(&req.namePointer, &req.nameSize);
        req.viaRts = fdp_.ConsumeIntegralInRange<int>(0, 3) == 0 ? fdp_.ConsumeIntegral<uint32_t>() : 0;
        req.answerTimeout = fdp_.ConsumeIntegral<uint32_t>();
        std::vector<uint8_t> bytes(sizeof req);
        std::memcpy(bytes.data(), &req, sizeof req);
        if (fdp_.ConsumeIntegralInRange<int>(0, 5) == 0) bytes.resize(fdp_.ConsumeIntegralInRange<size_t>(0, 15));
        return bytes;
      }
      case 3: {
        const uint32_t v = fdp_.ConsumeIntegralInRange<int>(0, 1) ? fdp_.ConsumeIntegral<uint32_t>()
                                                                 : fdp_.ConsumeIntegralInRange<uint32_t>(0, 1);
        std::vector<uint8_t> bytes(sizeof v);
        std::memcpy(bytes.data(), &v, sizeof v);
        if (fdp_.ConsumeIntegralInRange<int>(0, 5) == 0) bytes.resize(fdp_.ConsumeIntegralInRange<size_t>(0, 3));
        return bytes;
      }
      default:
        return fdp_.ConsumeBytes<uint8_t>(fdp_.ConsumeIntegralInRange<size_t>(0, 300));
    }
  }

  size_t OutputSize() {
    static constexpr size_t kSizes[] = {0, 1, 2, 9, 10, 25, 30, 64, 640};
    if (fdp_.ConsumeIntegralInRange<int>(0, 4) == 0) return fdp_.ConsumeIntegralInRange<size_t>(0, 700);
    return kSizes[fdp_.ConsumeIntegralInRange<size_t>(0, std::size(kSizes) - 1)];
  }

  // A length claimed for a buffer of `real` bytes: the real one mostly; on
  // the DeviceIoControl path also larger ones, which the kernel must refuse.
  DWORD Claim(size_t real, bool present, bool throughKernel) {
    if (!present) {
      return fdp_.ConsumeIntegralInRange<int>(0, 2) == 0 ? fdp_.ConsumeIntegral<DWORD>() : 0;
    }
    switch (fdp_.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        return static_cast<DWORD>(fdp_.ConsumeIntegralInRange<size_t>(0, real));
      case 1:
        if (throughKernel) return static_cast<DWORD>(real + fdp_.ConsumeIntegralInRange<size_t>(1, 8));
        return static_cast<DWORD>(real);
      case 2:
        if (throughKernel) return fdp_.ConsumeIntegral<DWORD>();
        return static_cast<DWORD>(real);
      default:
        return static_cast<DWORD>(real);
    }
  }

  // An index the input holds a reference to, when it holds one.
  bool HoldsAny() const {
    for (auto& [i, n] : held_) {
      if (n > 0) return true;
    }
    return false;
  }

  uint8_t HeldIndex() {
    std::vector<uint8_t> held;
    for (auto& [i, n] : held_) {
      if (n > 0) held.push_back(i);
    }
    if (held.empty()) return 0;
    return held[fdp_.ConsumeIntegralInRange<size_t>(0, held.size() - 1)];
  }

  uint8_t PickIndex() {
    switch (fdp_.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        return 0;
      case 1:
        return fdp_.ConsumeIntegral<uint8_t>();
      default:
        return HeldIndex();
    }
  }

  void Call() {
    DWORD code;
    if (fdp_.ConsumeIntegralInRange<int>(0, 15) == 0) {
      code = fdp_.ConsumeIntegral<DWORD>();
    } else {
      code = kFunctions[fdp_.ConsumeIntegralInRange<size_t>(0, std::size(kFunctions) - 1)] | PickIndex();
      if (fdp_.ConsumeIntegralInRange<int>(0, 7) == 0) code |= fdp_.ConsumeIntegral<uint8_t>() << 24;
    }
    const DWORD function = code & NVP_FUNCTION_MASK;
    if (function == NVP_CLOSE) {
      // Only references the input holds are given back, or indexes not open:
      // taking the monitor's reference from it is a client's fault the driver
      // cannot tell from a rightful close.
      uint8_t index = static_cast<uint8_t>(code & 0xFF);
      if (held_[index] == 0 && RefCount(index) >= 0) index = HeldIndex();
      if (held_[index] == 0 && RefCount(index) >= 0) return;
      code = (code & ~NVP_INDEX_MASK) | index;
    }

    const bool throughKernel = fdp_.ConsumeBool();
    bool inPresent = false;
    const std::vector<uint8_t> inBytes = InputBytes(function, &inPresent);
    Block in;
    if (inPresent) {
      in = MakeBlock(inBytes.size());
      if (!inBytes.empty()) std::memcpy(in.ptr(), inBytes.data(), inBytes.size());
    }
    const DWORD inLen = Claim(in.size, inPresent, throughKernel);
    const bool outPresent = fdp_.ConsumeIntegralInRange<int>(0, 4) != 0;
    Block out;
    if (outPresent) {
      out = MakeBlock(OutputSize());
      std::memset(out.ptr(), kFill, out.size);
    }
    const DWORD outLen = Claim(out.size, outPresent, throughKernel);
    DWORD returned = kUntouched;
    DWORD* returnedPtr = fdp_.ConsumeIntegralInRange<int>(0, 3) != 0 ? &returned : nullptr;

    // Before the call: the state that decides whether a FALSE may come
    // without a last error.
    // Only a port the input holds a reference to is sure to stay open: the
    // monitor may give its own back at any time (a delayed stop falls due).
    const auto index = static_cast<uint8_t>(code & 0xFF);
    const bool wasOpen = held_[index] > 0;
    const bool jobWasActive = Locked([&] {
      PortRecord* rec = FindPort(index);
      return rec != nullptr && rec->jobActive != 0;
    });
    const bool tableWasEmpty = !HoldsAny();
    const bool parallelPort = Locked([&] {
      PortRecord* rec = FindPort(index);
      return rec != nullptr && rec->portType == PORTTYPE_PARALLEL;
    });

    std::snprintf(g_context, sizeof g_context, "code %#x in %p/%u of %zu out %p/%u of %zu %s", unsigned(code),
                  static_cast<void*>(in.ptr()), unsigned(inLen), in.size, static_cast<void*>(out.ptr()),
                  unsigned(outLen), out.size, throughKernel ? "DeviceIoControl" : "NVP_IOControl");
    BOOL ok;
    bool refusedByKernel = false;
    SetLastError(ERROR_SUCCESS);
    if (throughKernel) {
      // The caller registers the buffers it owns (most of the time).
      std::vector<uint32_t> regions;
      for (const Block* b : {&in, &out}) {
        if (b->ptr() != nullptr && b->size != 0 && fdp_.ConsumeIntegralInRange<int>(0, 7) != 0) {
          regions.push_back(plat::RegisterCallerBuffer(b->ptr(), b->size));
        }
      }
      auto owned = [](const Block& b, DWORD claimed) {
        return b.ptr() == nullptr || claimed == 0 || (claimed <= b.size && plat::IsCallerMemory(b.ptr(), claimed));
      };
      refusedByKernel = !owned(in, inLen) || !owned(out, outLen);
      HANDLE h;
      if (!closed_.empty() && fdp_.ConsumeIntegralInRange<int>(0, 7) == 0) {
        h = closed_[fdp_.ConsumeIntegralInRange<size_t>(0, closed_.size() - 1)];
        refusedByKernel = true;  // a closed handle reaches no driver
      } else {
        if (handles_.empty()) OpenHandle();
        h = handles_[fdp_.ConsumeIntegralInRange<size_t>(0, handles_.size() - 1)];
      }
      ok = DeviceIoControl(h, code, in.ptr(), inLen, out.ptr(), outLen, returnedPtr, nullptr);
      for (uint32_t a : regions) plat::UnregisterCallerBuffer(a);
    } else {
      ok = NVP_IOControl(1, code, in.ptr(), inLen, out.ptr(), outLen, returnedPtr);
    }
    const DWORD error = GetLastError();

    if (!ok && !refusedByKernel &&
        !MayFailSilently(function, wasOpen, jobWasActive, tableWasEmpty, parallelPort, in.ptr(), inLen, out.ptr(),
                         outLen)) {
      Check(error != ERROR_SUCCESS, "FALSE without a last error", long(code), long(error));
    }
    if (refusedByKernel) {
      Check(!ok, "the kernel passed a buffer the caller does not own", long(code));
      Check(error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_HANDLE, "refusal error", long(error));
    }
    // What the call may have written: what it reports, or the one byte of an
    // index or position.
    size_t written = 0;
    const bool isWrite = function == NVP_WRITE || function == NVP_WRITE_IDLE;
    if (returned != kUntouched && isWrite) {
      // A write's count is of the input bytes the port took.
      Check(returnedPtr != nullptr, "count written without a pointer");
      Check(returned <= inLen, "a write took more bytes than it was given", long(returned), long(inLen));
    } else if (returned != kUntouched) {
      Check(returnedPtr != nullptr, "count written without a pointer");
      // A size query (no output at all) reports the size it would need.
      const bool sizeQuery = function == NVP_GET_PRINTERSTATUS && out.ptr() == nullptr && outLen == 0;
      if (!sizeQuery) Check(returned <= outLen, "count beyond the output length", long(returned), long(outLen));
      written = returned;
    } else if (ok && (function == NVP_OPEN || function == NVP_OPEN_NOMONITOR || function == NVP_GET_INDEX)) {
      written = 1;
    } else if (ok && function == NVP_GET_PRINTERSTATUS && returnedPtr == nullptr) {
      written = outLen;  // records copied out without a count to report them
    }
    if (refusedByKernel) {
      Check(returned == kUntouched, "a refused call reported a count");
      written = 0;
    }
    for (size_t i = written; i < out.size; ++i) {
      Check(out.ptr()[i] == kFill, "output written past what the call reports", long(code), long(i));
    }

    if (ok && (function == NVP_OPEN || function == NVP_OPEN_NOMONITOR)) {
      Check(out.ptr() != nullptr && outLen >= 1, "an open without an output buffer succeeded");
      const uint8_t opened = out.ptr()[0];
      Check(opened != 0 && RefCount(opened) >= 1, "an open handed out an index that is not open", opened);
      ++held_[opened];
    }
    if (ok && function == NVP_CLOSE) {
      Check(held_[index] > 0, "a close of an index the input did not hold succeeded", index);
      --held_[index];
    }
  }

  FuzzedDataProvider& fdp_;
  const int threadsBefore_;  // no monitor runs when an input starts
  std::vector<HANDLE> handles_;
  std::vector<HANDLE> closed_;
  std::map<uint8_t, int> held_;  // references this input holds, by index
  std::vector<CallerName> names_;
  std::vector<uint32_t> stale_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetUpOnce();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int64_t liveBefore = plat::LiveAllocations();
  {
    FuzzedDataProvider fdp(data, size);
    Session s(fdp);
    s.Run();
    s.Finish();
  }
  ClearQueues();
  Check(plat::LiveAllocations() == liveBefore, "heap blocks leaked", long(plat::LiveAllocations() - liveBefore));
  // Each input meets the printers as they were set up.
  Printers& p = ThePrinters();
  p.usb->ClearJob();
  p.busy->ClearJob();
  p.busy->SetState(vprinter::State::PaperOut);
  p.serial->ClearJob();
  p.serial->SetState(vprinter::State::NotReady);
  p.silent->ClearJob();
  Locked([] {
    for (auto& [i, rec] : g_mapOpenPorts) rec->jobActive = 0;
    return 0;
  });
  return 0;
}
