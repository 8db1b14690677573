// A programmable port for tests of port users: create one, map a port name to
// "script:<id>", and script what the device does call by call; everything it
// was asked is recorded. Waits (an empty read, a stalled write) last as long
// as the port's timeouts say, on the stand-in clock, and end early when data
// is queued or the handle is closed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/devices.h"

namespace plat {

class KESTPLAT_API ScriptedPort {
 public:
  // Creates the device `id`, replacing an earlier one of that id, and makes
  // the "script" scheme known to the device map.
  static std::shared_ptr<ScriptedPort> Create(const std::string& id);
  static void Remove(const std::string& id);

  // One scripted write: accept at most `accept` bytes, or fail with `error`
  // when it is not 0. After the scripted steps, writes take every byte.
  struct WriteStep {
    DWORD accept;
    DWORD error;
  };

  // Open fails with `error` (0: opens).
  void SetOpenError(DWORD error);
  // A serial line: GetCommState/SetCommState work; `rtsDrivable` false makes
  // setting RTS enabled or disabled fail with ERROR_NOT_SUPPORTED.
  void SetSerial(bool rtsDrivable);
  void PushWrite(WriteStep step);
  // Every write accepts nothing and returns when its timeout has passed.
  void SetWriteStall(bool stall);
  // Bytes the device sends; reads return them in order.
  void QueueRead(const std::vector<BYTE>& bytes);
  // The next read fails with `error`.
  void PushReadError(DWORD error);
  // The reply of the device-ID control code; `fail` makes it fail instead.
  void SetDeviceId(const std::vector<BYTE>& reply, bool fail = false);
  // The status control code: 4 bytes of `status`, or failure with `error`.
  void SetStatus(DWORD status, DWORD error = 0);
  // The device is gone: reads, writes and control codes fail with `error`.
  void Unplug(DWORD error = ERROR_DEVICE_NOT_CONNECTED);

  std::vector<BYTE> Written() const;
  // "open <access hex> <disposition>", "read <size>", "write <size>",
  // "ioctl <code hex>", "getcommstate", "setcommstate", "gettimeouts",
  // "settimeouts", "purge <flags>", "close".
  std::vector<std::string> Calls() const;
  void ClearCalls();
  DCB CommState() const;
  COMMTIMEOUTS Timeouts() const;
  // Every fRtsControl value SetCommState received, in order.
  std::vector<DWORD> RtsChanges() const;
  bool IsOpen() const;

  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace plat
