// Reads and writes on a non-blocking descriptor with the COMMTIMEOUTS rules:
// a total budget of multiplier * bytes + constant (none when both are 0), an
// interval limit between bytes once the first has arrived, and the two
// special forms with ReadIntervalTimeout = MAXDWORD (return at once, or wait
// only for the first byte). Timeouts run on the stand-in clock.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/dev_backends.h"
#include "platform/system.h"

namespace plat::detail {

namespace {
constexpr DWORD kMax = 0xFFFFFFFFu;
}

std::chrono::steady_clock::time_point DeadlineAfter(uint64_t standInMs) {
  return std::chrono::steady_clock::now() + std::chrono::nanoseconds(StandInMsToRealNs(standInMs));
}

PolledDevice::PolledDevice() { wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

PolledDevice::~PolledDevice() {
  Close();
  if (wake_ >= 0) ::close(wake_);
}

DWORD PolledDevice::OpenError(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    default:
      return ERROR_FILE_NOT_FOUND;
  }
}

bool PolledDevice::IsGoneErrno(int err) const {
  return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE || err == ESHUTDOWN;
}

COMMTIMEOUTS PolledDevice::Timeouts() {
  std::lock_guard<std::mutex> lock(mu_);
  return timeouts_;
}

BOOL PolledDevice::GetCommTimeouts(COMMTIMEOUTS* t) {
  std::lock_guard<std::mutex> lock(mu_);
  *t = timeouts_;
  return TRUE;
}

BOOL PolledDevice::SetCommTimeouts(const COMMTIMEOUTS* t) {
  std::lock_guard<std::mutex> lock(mu_);
  timeouts_ = *t;
  return TRUE;
}

void PolledDevice::Cancel() {
  if (wake_ >= 0) {
    uint64_t one = 1;
    ssize_t n = ::write(wake_, &one, sizeof one);
    (void)n;
  }
}

void PolledDevice::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

PolledDevice::Wait PolledDevice::WaitFor(short events, const Deadline& deadline) {
  for (;;) {
    pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
    timespec ts{};
    timespec* tsp = nullptr;
    if (deadline) {
      auto left = std::max(std::chrono::nanoseconds(0), *deadline - std::chrono::steady_clock::now());
      ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
      ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
      tsp = &ts;
    }
    int r = ppoll(fds, 2, tsp, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      return Wait::kGone;
    }
    if (fds[1].revents != 0) return Wait::kCancelled;
    if (r == 0) return Wait::kTimeout;
    if (fds[0].revents & events) return Wait::kReady;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Wait::kGone;
  }
}

BOOL PolledDevice::Read(void* buffer, DWORD size, DWORD* read) {
  *read = 0;
  if (size == 0) return TRUE;
  const COMMTIMEOUTS t = Timeouts();
  const bool immediate =
      t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const bool firstByteOnly = t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == kMax &&
                             t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMax;
  Deadline total;
  if (immediate) {
    total = std::chrono::steady_clock::now();
  } else if (firstByteOnly) {
    total = DeadlineAfter(t.ReadTotalTimeoutConstant);
  } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    total = DeadlineAfter(static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant);
  }
  BYTE* p = static_cast<BYTE*>(buffer);
  while (*read < size) {
    ssize_t n = ::read(fd_, p + *read, size - *read);
    if (n > 0) {
      *read += static_cast<DWORD>(n);
      if (firstByteOnly) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && !ZeroReadIsGone()) break;
    if (n == 0 || IsGoneErrno(errno)) {
      SetLastError(GoneError());
      return FALSE;
    }
    if (errno != EAGAIN && !ReadRefusalIsEmpty(errno)) {
      SetLastError(ERROR_READ_FAULT);
      return FALSE;
    }
    Deadline limit = total;
    if (*read > 0 && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMax) {
      auto gap = DeadlineAfter(t.ReadIntervalTimeout);
      if (!limit || gap < *limit) limit = gap;
    }
    Wait w = WaitFor(POLLIN, limit);
    if (w == Wait::kTimeout) break;
    if (w == Wait::kCancelled) {
      SetLastError(ERROR_INVALID_HANDLE);  // the handle is being closed
      return FALSE;
    }
    if (w == Wait::kGone) {
      SetLastError(GoneError());
      return FALSE;
    }
  }
  return TRUE;
}

BOOL PolledDevice::Write(const void* data, DWORD size, DWORD* written) {
  *written = 0;
  if (size == 0) return TRUE;
  const COMMTIMEOUTS t = Timeouts();
  Deadline total;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
    total = DeadlineAfter(static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * size + t.WriteTotalTimeoutConstant);
  }
  const BYTE* p = static_cast<const BYTE*>(data);
  while (*written < size) {
    ssize_t n = ::write(fd_, p + *written, size - *written);
    if (n > 0) {
      *written += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      SetLastError(IsGoneErrno(errno) ? GoneError() : ERROR_WRITE_FAULT);
      return FALSE;
    }
    Wait w = WaitFor(POLLOUT, total);
    if (w == Wait::kTimeout) break;  // a timed-out write succeeds with what it moved
    if (w == Wait::kCancelled) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (w == Wait::kGone) {
      SetLastError(GoneError());
      return FALSE;
    }
  }
  return TRUE;
}

}  // namespace plat::detail
