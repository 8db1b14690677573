// "file:PATH": a plain file or a character device that only takes data, for
// capturing a job. A regular file is created when missing and appended to, so
// that a later job never overwrites an earlier one.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/dev_backends.h"
#include "platform/system.h"

namespace plat::detail {
namespace {

class FileBackend : public DeviceBackend {
 public:
  explicit FileBackend(std::string path) : path_(std::move(path)) {}
  ~FileBackend() override { Close(); }

  DWORD Open(DWORD access, DWORD) override {
    if ((access & GENERIC_READ) != 0) return ERROR_ACCESS_DENIED;  // write-only device
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd_ < 0) return errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
  }

  BOOL Read(void*, DWORD, DWORD* read) override {
    *read = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }

  BOOL Write(const void* data, DWORD size, DWORD* written) override {
    *written = 0;
    const BYTE* p = static_cast<const BYTE*>(data);
    while (*written < size) {
      ssize_t n = ::write(fd_, p + *written, size - *written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
      }
      *written += static_cast<DWORD>(n);
    }
    return TRUE;
  }

  // The printer-class status request: a file is always attached.
  BOOL IoControl(DWORD code, const void*, DWORD, void* out, DWORD outLen, DWORD* returned) override {
    if (code != IOCTL_PRINTER_GET_STATUS) return DeviceBackend::IoControl(code, nullptr, 0, out, outLen, returned);
    if (out == nullptr || outLen < 4) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    static const BYTE kSelectedNoError[4] = {0x18, 0, 0, 0};
    for (int i = 0; i < 4; ++i) static_cast<BYTE*>(out)[i] = kSelectedNoError[i];
    *returned = 4;
    return TRUE;
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::shared_ptr<DeviceBackend> MakeFileBackend(const std::string& path) {
  if (path.empty()) return nullptr;
  return std::make_shared<FileBackend>(path);
}

}  // namespace plat::detail
