// "tty:PATH": a serial line. The line is raw 8-bit; SetCommState maps the DCB
// onto the terminal (speed, data bits, parity, stop bits, XON/XOFF, RTS/CTS)
// and GetCommState reads the terminal back. Speeds without a standard code
// (14400, 56000, 128000, 256000) are set as custom rates.
//
// Choices where a terminal differs from the DCB: 1.5 stop bits become 2 (the
// receiver still frames each byte); the RTS line is driven through the modem
// lines, and where it cannot be (a pseudo-terminal has none) SetCommState
// applies the line settings and then fails with ERROR_NOT_SUPPORTED.

// The kernel's termios2 interface; glibc's <termios.h> must stay out of this file.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dev_backends.h"
#include "platform/system.h"

namespace plat::detail {
namespace {

struct SpeedCode {
  DWORD rate;
  tcflag_t code;
};
constexpr SpeedCode kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

class TtyBackend : public PolledDevice {
 public:
  explicit TtyBackend(std::string path) : path_(std::move(path)) {}

  DWORD Open(DWORD access, DWORD) override {
    int mode = O_RDWR;
    if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_READ) mode = O_RDONLY;
    if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_WRITE) mode = O_WRONLY;
    fd_ = ::open(path_.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return OpenError(errno);
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0) {  // not a terminal
      Close();
      return ERROR_FILE_NOT_FOUND;
    }
    // Raw bytes both ways. VMIN 1 makes an empty non-blocking read EAGAIN, so
    // that a read of 0 bytes only ever means a hang-up.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd_, TCSETS2, &t) != 0) {
      Close();
      return ERROR_GEN_FAILURE;
    }
    ioctl(fd_, TIOCEXCL);  // other processes cannot open the line meanwhile
    return ERROR_SUCCESS;
  }

  BOOL GetCommState(DCB* dcb) override {
    std::lock_guard<std::mutex> lock(cfg_);
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0) return Fail(errno);
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->fBinary = 1;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->BaudRate = t.c_ospeed;
    for (const SpeedCode& s : kSpeeds) {
      if ((t.c_cflag & CBAUD) == s.code) dcb->BaudRate = s.rate;
    }
    switch (t.c_cflag & CSIZE) {
      case CS5: dcb->ByteSize = 5; break;
      case CS6: dcb->ByteSize = 6; break;
      case CS7: dcb->ByteSize = 7; break;
      default: dcb->ByteSize = 8; break;
    }
    if ((t.c_cflag & PARENB) == 0) {
      dcb->Parity = NOPARITY;
    } else if (t.c_cflag & CMSPAR) {
      dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
      dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    dcb->fParity = dcb->Parity != NOPARITY;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    const bool hardware = (t.c_cflag & CRTSCTS) != 0;
    // The DCB last set still describes the terminal when its handshake
    // matches; otherwise the terminal is described as it is.
    const bool setStands = haveSet_ && setHardware_ == hardware;
    if (hardware) {
      dcb->fOutxCtsFlow = setStands ? setCtsFlow_ : 1;
      dcb->fRtsControl = setStands ? setRts_ : RTS_CONTROL_HANDSHAKE;
    } else {
      int lines = 0;
      if (ioctl(fd_, TIOCMGET, &lines) == 0) {
        dcb->fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
      } else {
        dcb->fRtsControl = setStands ? setRts_ : RTS_CONTROL_ENABLE;
      }
    }
    return TRUE;
  }

  BOOL SetCommState(const DCB* dcb) override {
    if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
        dcb->StopBits > TWOSTOPBITS) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::lock_guard<std::mutex> lock(cfg_);
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0) return Fail(errno);
    t.c_cflag &= ~(CBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= BOTHER;
    for (const SpeedCode& s : kSpeeds) {
      if (s.rate == dcb->BaudRate) t.c_cflag = (t.c_cflag & ~CBAUD) | s.code;
    }
    t.c_ospeed = t.c_ispeed = dcb->BaudRate;
    t.c_cflag &= ~(CBAUD << IBSHIFT);  // input speed follows the output speed
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
      case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
      case EVENPARITY: t.c_cflag |= PARENB; break;
      case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
      default: break;
    }
    if (dcb->StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    const bool hardware = dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (hardware) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (dcb->fOutX) t.c_iflag |= IXON;
    if (dcb->fInX) t.c_iflag |= IXOFF;
    if (dcb->XonChar != 0) t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    if (dcb->XoffChar != 0) t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    if (ioctl(fd_, TCSETS2, &t) != 0) return Fail(errno);
    haveSet_ = true;
    setHardware_ = hardware;
    setCtsFlow_ = dcb->fOutxCtsFlow;
    setRts_ = dcb->fRtsControl;
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_DISABLE) {
      int lines = 0;
      if (ioctl(fd_, TIOCMGET, &lines) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);  // no modem lines to drive
        return FALSE;
      }
      if (dcb->fRtsControl == RTS_CONTROL_ENABLE) {
        lines |= TIOCM_RTS;
      } else {
        lines &= ~TIOCM_RTS;
      }
      if (ioctl(fd_, TIOCMSET, &lines) != 0) return Fail(errno);
    }
    return TRUE;
  }

  BOOL Purge(DWORD flags) override {
    const bool rx = (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) != 0;
    const bool tx = (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) != 0;
    if (!rx && !tx) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (ioctl(fd_, TCFLSH, queue) != 0) return Fail(errno);
    return TRUE;
  }

 protected:
  DWORD GoneError() const override { return ERROR_SERIAL_NO_DEVICE; }

 private:
  BOOL Fail(int err) {
    SetLastError(IsGoneErrno(err) ? GoneError() : ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  std::string path_;
  std::mutex cfg_;
  bool haveSet_ = false;
  bool setHardware_ = false;
  DWORD setCtsFlow_ = 0;
  DWORD setRts_ = RTS_CONTROL_ENABLE;
};

}  // namespace

std::shared_ptr<DeviceBackend> MakeTtyBackend(const std::string& path) {
  if (path.empty()) return nullptr;
  return std::make_shared<TtyBackend>(path);
}

}  // namespace plat::detail
