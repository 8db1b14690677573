#include "printer/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vprinter {

namespace {
constexpr size_t kMaxOutgoing = 65536;
}  // namespace

// The self-pipe that wakes the serving loop when the printer has replies or
// Stop is called. Shared with the printer's reply listener, which may run
// after the server is gone: closing is guarded.
struct PtyServer::Wake {
  std::mutex mu;
  int readFd = -1;
  int writeFd = -1;

  void Signal() {
    std::lock_guard<std::mutex> lock(mu);
    if (writeFd >= 0) {
      const char c = 1;
      [[maybe_unused]] ssize_t n = ::write(writeFd, &c, 1);  // a full pipe already wakes the loop
    }
  }
  void Drain() {
    char buf[64];
    while (::read(readFd, buf, sizeof buf) > 0) {
    }
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mu);
    if (readFd >= 0) ::close(readFd);
    if (writeFd >= 0) ::close(writeFd);
    readFd = writeFd = -1;
  }
};

std::unique_ptr<PtyServer> PtyServer::Open(std::shared_ptr<VirtualPrinter> printer, PtyOptions options,
                                           std::string* error) {
  auto fail = [&](const char* what) -> std::unique_ptr<PtyServer> {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return nullptr;
  };
  if (!printer) {
    if (error) *error = "no printer";
    return nullptr;
  }
  std::unique_ptr<PtyServer> s(new PtyServer);
  s->printer_ = std::move(printer);
  s->options_ = options;
  s->wake_ = std::make_shared<Wake>();
  s->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s->master_ < 0) return fail("posix_openpt");
  if (::grantpt(s->master_) != 0 || ::unlockpt(s->master_) != 0) return fail("unlockpt");
  char name[128];
  if (::ptsname_r(s->master_, name, sizeof name) != 0) return fail("ptsname");
  s->path_ = name;
  s->slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s->slave_ < 0) return fail(name);
  // Raw bytes: no echo, no line editing, no translation of 0D or 03.
  termios tio{};
  if (::tcgetattr(s->slave_, &tio) != 0) return fail("tcgetattr");
  ::cfmakeraw(&tio);
  if (::tcsetattr(s->slave_, TCSANOW, &tio) != 0) return fail("tcsetattr");
  if (::fcntl(s->master_, F_SETFL, ::fcntl(s->master_, F_GETFL) | O_NONBLOCK) != 0) return fail("fcntl");
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return fail("pipe2");
  s->wake_->readFd = fds[0];
  s->wake_->writeFd = fds[1];
  s->printer_->SetReplyListener([w = s->wake_] { w->Signal(); });
  return s;
}

PtyServer::~PtyServer() {
  Stop();
  if (printer_) printer_->SetReplyListener(nullptr);
  if (wake_) wake_->Close();
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

bool PtyServer::Serve(const std::atomic<bool>* stop, std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
  };
  // The printer must not hold this loop: a busy printer gives up after 1 ms
  // and the bytes wait here, unread ones in the terminal.
  COMMTIMEOUTS t{0xFFFFFFFFu, 0, 0, 0, 1};
  printer_->SetCommTimeouts(&t);
  const uint64_t jobEndsBefore = printer_->CommandCount(Command::JobControl, 3);
  std::vector<uint8_t> in(4096);
  size_t inOff = 0, inLen = 0;
  std::vector<uint8_t> out;
  // After the job end the printer stays on the line, answering, until the
  // client lets go of the terminal: a client still checks the printer's state
  // after its last byte, and a printer gone from the line would fail it.
  bool finishing = false;
  for (;;) {
    if (stop_ || (stop && stop->load())) return true;
    uint8_t tmp[256];
    for (size_t n; (n = printer_->TakeReplies(tmp, sizeof tmp)) > 0;) out.insert(out.end(), tmp, tmp + n);
    // A client that never reads: keep the newest replies only.
    if (out.size() > kMaxOutgoing) out.erase(out.begin(), out.end() - kMaxOutgoing);

    pollfd fds[2] = {{master_, 0, 0}, {wake_->readFd, POLLIN, 0}};
    if (inOff == inLen) fds[0].events |= POLLIN;
    if (!out.empty()) fds[0].events |= POLLOUT;
    // Bytes the busy printer has not taken are retried every 20 ms.
    const int r = ::poll(fds, 2, inOff < inLen ? 20 : 100);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail("poll");
    }
    if (fds[1].revents & POLLIN) wake_->Drain();
    if (fds[0].revents & POLLNVAL) return fail("terminal");
    if (fds[0].revents & POLLOUT) {
      const ssize_t w = ::write(master_, out.data(), out.size());
      if (w > 0) {
        out.erase(out.begin(), out.begin() + w);
      } else if (w < 0 && errno == EIO && finishing) {
        return true;  // the client has closed the terminal; nobody reads the replies
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        return fail("write to the terminal");
      }
    }
    if (fds[0].revents & POLLIN) {
      const ssize_t got = ::read(master_, in.data(), in.size());
      if (got > 0) {
        inOff = 0;
        inLen = static_cast<size_t>(got);
      } else if (got < 0 && errno == EIO && finishing) {
        return true;  // the client has closed the terminal
      } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
        return fail("read from the terminal");
      }
    } else if ((fds[0].revents & POLLHUP) && finishing && inOff == inLen) {
      return true;  // the client has closed the terminal; its bytes are all taken
    } else if ((fds[0].revents & POLLHUP) && inOff == inLen) {
      // No client and nothing to read (the held end should prevent this):
      // wait instead of spinning on the hang-up.
      ::poll(&fds[1], 1, 100);
    }
    if (inOff < inLen) {
      DWORD w = 0;
      const BOOL ok = printer_->Write(in.data() + inOff, static_cast<DWORD>(inLen - inOff), &w);
      inOff += w;
      if (!ok && printer_->unplugged()) inOff = inLen;  // nobody at the other end of the wire
      if (!finishing && options_.stopAfterJobEnd && printer_->CommandCount(Command::JobControl, 3) > jobEndsBefore) {
        // Let go of the held end, so that the client's close hangs the line up.
        finishing = true;
        ::close(slave_);
        slave_ = -1;
      }
    }
  }
}

void PtyServer::Start() {
  std::lock_guard<std::mutex> lock(threadMu_);
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Serve(nullptr, nullptr); });
}

void PtyServer::Stop() {
  stop_ = true;
  if (wake_) wake_->Signal();
  std::lock_guard<std::mutex> lock(threadMu_);
  if (thread_.joinable()) thread_.join();
}

}  // namespace vprinter
