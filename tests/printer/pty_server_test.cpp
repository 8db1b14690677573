// The virtual printer on a pseudo-terminal, driven by a client that opens the
// terminal as a serial port would.
#include "printer/pty_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"

namespace vprinter {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kJobInit = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};
const Bytes kJobEnd = {0x1B, 0x65, 0x01, 0x00, 0x1B, 0x76, 0x03};

class Client {
 public:
  explicit Client(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ >= 0) {
      termios tio{};
      ::tcgetattr(fd_, &tio);
      ::cfmakeraw(&tio);
      ::tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Client() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool ok() const { return fd_ >= 0; }
  bool Write(const Bytes& b) { return ::write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size()); }
  // Reads until `n` bytes came or 10 s passed.
  Bytes Read(size_t n) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        uint8_t buf[64];
        ssize_t r = ::read(fd_, buf, sizeof buf);
        if (r > 0) got.insert(got.end(), buf, buf + r);
      }
    }
    return got;
  }

 private:
  int fd_ = -1;
};

TEST(PtyServer, ASerialClientPrintsAndGetsStatusAnswers) {
  PrinterOptions o;
  o.state = State::PaperOut;
  o.decoder.bytesPerLine = 2;
  auto printer = std::make_shared<VirtualPrinter>(o);
  std::string error;
  auto server = PtyServer::Open(printer, PtyOptions{}, &error);
  ASSERT_NE(server, nullptr) << error;
  EXPECT_EQ(server->path().rfind("/dev/pts/", 0), 0u) << server->path();
  server->Start();
  Client c(server->path());
  ASSERT_TRUE(c.ok());
  // Bytes the terminal would otherwise translate (0D, 03, 11, 13) pass as they are.
  const Bytes line = {0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x00, 0x0D, 0x1B, 0x67, 0x03, 0x20, 0x11, 0x13};
  ASSERT_TRUE(c.Write(kJobInit));
  EXPECT_EQ(c.Read(1), Bytes{0x82});
  ASSERT_TRUE(c.Write(line));
  ASSERT_TRUE(c.Write(kJobEnd));
  ASSERT_TRUE(printer->WaitForCommand(Command::JobControl, 3, 1, 10000));
  // A status byte the printer sends of its own accord reaches the client.
  printer->SetState(State::Ready);
  printer->ReportStatus();
  EXPECT_EQ(c.Read(1), Bytes{0x80});
  server->Stop();
  Bytes all = kJobInit;
  all.insert(all.end(), line.begin(), line.end());
  all.insert(all.end(), kJobEnd.begin(), kJobEnd.end());
  EXPECT_EQ(printer->Captured(), all);
  DecodedJob job = printer->Printed(true);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.planes[0], (std::vector<Row>{{0x0D, 0}, {0x11, 0x13}}));
}

TEST(PtyServer, StopsAfterTheFirstJobEndOnceTheClientHasClosed) {
  auto printer = std::make_shared<VirtualPrinter>();
  std::string error;
  PtyOptions po;
  po.stopAfterJobEnd = true;
  auto server = PtyServer::Open(printer, po, &error);
  ASSERT_NE(server, nullptr) << error;
  std::atomic<bool> returned{false};
  bool served = false;
  std::thread serving([&] {
    served = server->Serve(nullptr, &error);
    returned = true;
  });
  Client c(server->path());
  ASSERT_TRUE(c.ok());
  Bytes job = kJobInit;
  job.insert(job.end(), kJobEnd.begin(), kJobEnd.end());
  ASSERT_TRUE(c.Write(job));
  EXPECT_EQ(c.Read(1), Bytes{0x80});
  // After the job end the printer is still on the line: a client checking
  // its state after the last page gets an answer.
  const Bytes statusRequest = {0x1B, 0x6B, 0xFF};
  ASSERT_TRUE(c.Write(statusRequest));
  EXPECT_EQ(c.Read(1), Bytes{0x80});
  EXPECT_FALSE(returned) << "stopped while the client still had the terminal open";
  c.Close();
  serving.join();
  EXPECT_TRUE(served) << error;
  Bytes all = job;
  all.insert(all.end(), statusRequest.begin(), statusRequest.end());
  EXPECT_EQ(printer->Captured(), all);
}

TEST(PtyServer, ABusyPrinterLeavesBytesInTheTerminalUntilReady) {
  PrinterOptions o;
  o.state = State::NotReady;
  o.busyWhenNotReady = true;
  auto printer = std::make_shared<VirtualPrinter>(o);
  std::string error;
  auto server = PtyServer::Open(printer, PtyOptions{}, &error);
  ASSERT_NE(server, nullptr) << error;
  server->Start();
  Client c(server->path());
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c.Write(kJobInit));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(printer->BytesReceived(), 0u);
  printer->SetState(State::Ready);
  EXPECT_TRUE(printer->WaitForCommand(Command::JobControl, 2, 1, 10000));
  EXPECT_EQ(c.Read(1), Bytes{0x80});
  EXPECT_EQ(printer->Captured(), kJobInit);
  server->Stop();
}

TEST(PtyServer, AnExternalStopFlagEndsServing) {
  auto printer = std::make_shared<VirtualPrinter>();
  std::string error;
  auto server = PtyServer::Open(printer, PtyOptions{}, &error);
  ASSERT_NE(server, nullptr) << error;
  std::atomic<bool> stop{false};
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
  });
  EXPECT_TRUE(server->Serve(&stop, &error)) << error;
  t.join();
}

}  // namespace
}  // namespace vprinter
