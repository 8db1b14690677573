// Internal to the stand-in: the built-in backends of the device map and the
// descriptor plumbing they share.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/devices.h"

namespace plat::detail {

// "tty:/dev/ttyUSB0": a serial line on termios.
std::shared_ptr<DeviceBackend> MakeTtyBackend(const std::string& path);
// "usblp:/dev/usb/lp0": a Linux USB printer-class device.
std::shared_ptr<DeviceBackend> MakeUsbLpBackend(const std::string& path);
// "file:/tmp/out.prn": a plain file or character device, written only.
std::shared_ptr<DeviceBackend> MakeFileBackend(const std::string& path);

using Deadline = std::optional<std::chrono::steady_clock::time_point>;  // empty: no limit
// The real time at which `standInMs` of stand-in time from now will have passed.
std::chrono::steady_clock::time_point DeadlineAfter(uint64_t standInMs);

// A non-blocking descriptor whose reads and writes honour COMMTIMEOUTS with
// poll(), and that Cancel wakes at once. Subclasses open the descriptor and
// say which error means the device went away.
class PolledDevice : public DeviceBackend {
 public:
  PolledDevice();
  ~PolledDevice() override;
  BOOL Read(void* buffer, DWORD size, DWORD* read) override;
  BOOL Write(const void* data, DWORD size, DWORD* written) override;
  BOOL GetCommTimeouts(COMMTIMEOUTS* t) override;
  BOOL SetCommTimeouts(const COMMTIMEOUTS* t) override;
  void Cancel() override;
  void Close() override;

 protected:
  // The last-error value for a device that is no longer there.
  virtual DWORD GoneError() const = 0;
  // True when errno of a failed read means "nothing to read" rather than a
  // fault (a unidirectional printer refuses reads).
  virtual bool ReadRefusalIsEmpty(int) const { return false; }
  // True when a read that returns 0 bytes means a hang-up (a terminal);
  // otherwise it is an empty transfer and the read ends with what it has.
  virtual bool ZeroReadIsGone() const { return true; }
  // Maps the errno of a failed open.
  static DWORD OpenError(int err);
  bool IsGoneErrno(int err) const;

  int fd_ = -1;

 private:
  enum class Wait { kReady, kTimeout, kCancelled, kGone };
  Wait WaitFor(short events, const Deadline& deadline);
  COMMTIMEOUTS Timeouts();

  int wake_ = -1;  // eventfd; readable once cancelled
  std::mutex mu_;
  COMMTIMEOUTS timeouts_{};
};

}  // namespace plat::detail
