// A stand-in for the "NVP1:" port driver in tests of the GDI half: it records
// every control request and can be scripted to fail writes, refuse opens and
// report printer states. One instance at a time; thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/types.h"

namespace kest_test {

struct ControlRequest {
  DWORD code = 0;      // as sent, port index included
  DWORD function = 0;  // code AND 0xFFFF00
  uint8_t index = 0;   // code AND 0xFF
  std::vector<uint8_t> input;
  DWORD outputLength = 0;
  DWORD tick = 0;  // GetTickCount at arrival
  BOOL result = FALSE;
  DWORD error = 0;  // last error left on failure
};

class FakePortDriver {
 public:
  // Registers the device `name` (default "NVP1:"); Registered() tells whether
  // that worked (it fails while another driver of that name exists).
  explicit FakePortDriver(const std::u16string& name = u"NVP1:");
  ~FakePortDriver();
  FakePortDriver(const FakePortDriver&) = delete;
  FakePortDriver& operator=(const FakePortDriver&) = delete;

  bool Registered() const { return registered_; }

  // --- scripting ---
  // The next n NVP_WRITE requests fail with `error` (n < 0: all of them).
  void FailWrites(int n, DWORD error = ERROR_TIMEOUT);
  // What NVP_CHECK_STATUS reports once the queued results are used up: 0 is
  // ready, anything else fails with that error (21, 28, 16000, 16001, ...).
  void SetStatus(DWORD error);
  // Results for the next NVP_CHECK_STATUS requests, one each, in order.
  void QueueStatus(std::initializer_list<DWORD> errors);
  // NVP_OPEN and NVP_OPEN_NOMONITOR fail with `error` (0: they succeed).
  void RefuseOpen(DWORD error);
  // The port index NVP_OPEN, NVP_OPEN_NOMONITOR and NVP_GET_INDEX hand out.
  void SetPortIndex(uint8_t index);
  // Any other function (for example NVP_SET_RTS) fails with `error`; 0 makes
  // it succeed again.
  void FailFunction(DWORD function, DWORD error);
  // The next n opens of the device fail (CreateFileW gets no handle).
  void FailDeviceOpens(int n);
  // Off: successful writes are counted but their bytes are not kept (for
  // benchmarks); requests are then not recorded either.
  void KeepRecords(bool on);

  // --- what happened ---
  std::vector<ControlRequest> Requests() const;
  std::vector<ControlRequest> RequestsOf(DWORD function) const;
  int Count(DWORD function) const;
  // The bytes of every successful NVP_WRITE, in order, and each write alone.
  std::vector<uint8_t> Written() const;
  std::vector<std::vector<uint8_t>> Writes() const;
  uint64_t WrittenByteCount() const;
  int DeviceOpens() const;
  int DeviceCloses() const;
  int Inits() const;
  // Forgets the records (not the script).
  void Clear();

 private:
  static DWORD Init(LPCWSTR, LPCVOID);
  static BOOL Deinit(DWORD);
  static DWORD Open(DWORD, DWORD, DWORD);
  static BOOL Close(DWORD);
  static BOOL IoControl(DWORD, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen, DWORD* actual);
  BOOL Handle(DWORD code, const BYTE* in, DWORD inLen, BYTE* out, DWORD outLen, DWORD* actual);

  std::u16string name_;
  bool registered_ = false;
  mutable std::mutex mu_;
  int failWrites_ = 0;
  DWORD writeError_ = ERROR_TIMEOUT;
  DWORD status_ = 0;
  std::deque<DWORD> statusQueue_;
  DWORD openError_ = 0;
  uint8_t index_ = 0;
  std::map<DWORD, DWORD> failing_;
  int failOpens_ = 0;
  bool keep_ = true;
  std::vector<ControlRequest> requests_;
  std::vector<std::vector<uint8_t>> writes_;
  uint64_t writtenBytes_ = 0;
  int opens_ = 0;
  int closes_ = 0;
  int inits_ = 0;
};

}  // namespace kest_test
