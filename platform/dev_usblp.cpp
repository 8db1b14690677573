// "usblp:/dev/usb/lpN": a printer on the Linux USB printer class. The two
// printer-class control codes come from the kernel's ioctls: the IEEE 1284
// device ID (LPIOC_GET_DEVICE_ID, length field first) and the port status
// (LPGETSTATUS). A printer that was unplugged fails every call with
// ERROR_DEVICE_NOT_CONNECTED.

#include <fcntl.h>
#include <linux/lp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/dev_backends.h"
#include "platform/system.h"

namespace plat::detail {
namespace {

constexpr DWORD kDeviceIdMax = 256;

// The kernel's device-ID request: _IOC(_IOC_READ, 'P', 1, len).
constexpr unsigned long DeviceIdRequest(unsigned len) { return _IOC(_IOC_READ, 'P', 1, len); }

class UsbLpBackend : public PolledDevice {
 public:
  explicit UsbLpBackend(std::string path) : path_(std::move(path)) {}

  DWORD Open(DWORD access, DWORD) override {
    int mode = (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
    fd_ = ::open(path_.c_str(), mode | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0) return OpenError(errno);
    return ERROR_SUCCESS;
  }

  BOOL IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) override {
    if (code == IOCTL_PRINTER_GET_DEVICE_ID) {
      if (out == nullptr || outLen == 0) return Refuse(ERROR_INSUFFICIENT_BUFFER);
      BYTE id[kDeviceIdMax] = {};
      if (ioctl(fd_, DeviceIdRequest(kDeviceIdMax), id) < 0) return Fail(errno);
      // The first two bytes give the length of the whole ID, high byte first.
      DWORD length = (static_cast<DWORD>(id[0]) << 8) | id[1];
      length = std::clamp<DWORD>(length, 2, kDeviceIdMax);
      DWORD n = std::min(length, outLen);
      std::memcpy(out, id, n);
      *returned = n;
      return TRUE;
    }
    if (code == IOCTL_PRINTER_GET_STATUS) {
      if (out == nullptr || outLen < 4) return Refuse(ERROR_INSUFFICIENT_BUFFER);
      int status = 0;
      if (ioctl(fd_, LPGETSTATUS, &status) < 0) return Fail(errno);
      DWORD value = static_cast<DWORD>(status);
      std::memcpy(out, &value, 4);
      *returned = 4;
      return TRUE;
    }
    return DeviceBackend::IoControl(code, in, inLen, out, outLen, returned);
  }

 protected:
  DWORD GoneError() const override { return ERROR_DEVICE_NOT_CONNECTED; }
  // A printer without a back channel refuses reads: nothing to read.
  bool ReadRefusalIsEmpty(int err) const override { return err == EINVAL; }
  bool ZeroReadIsGone() const override { return false; }

 private:
  static BOOL Refuse(DWORD err) {
    SetLastError(err);
    return FALSE;
  }
  BOOL Fail(int err) { return Refuse(IsGoneErrno(err) ? GoneError() : ERROR_NOT_SUPPORTED); }

  std::string path_;
};

}  // namespace

std::shared_ptr<DeviceBackend> MakeUsbLpBackend(const std::string& path) {
  if (path.empty()) return nullptr;
  return std::make_shared<UsbLpBackend>(path);
}

}  // namespace plat::detail
