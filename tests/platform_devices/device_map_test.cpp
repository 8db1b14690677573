// Port names through the device map: resolution, exclusive access, routing to
// the backend, closing while other threads wait, the file backend.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

struct Log {
  std::mutex mu;
  std::condition_variable cv;
  std::string calls;
  DWORD openError = ERROR_SUCCESS;
  bool readBlocks = false, readWaiting = false, cancelled = false;
  std::atomic<int> closes{0};
  std::atomic<bool> closedWhileReading{false};
  void Add(const std::string& s) {
    std::lock_guard<std::mutex> lock(mu);
    calls += s + ";";
  }
};

// Records every call; Read can block until the handle is closed.
class RecordingBackend : public plat::DeviceBackend {
 public:
  RecordingBackend(Log* log, std::string arg) : log_(log), arg_(std::move(arg)) {}
  DWORD Open(DWORD access, DWORD disposition) override {
    std::ostringstream s;
    s << "open " << arg_ << " " << std::hex << access << " " << disposition;
    log_->Add(s.str());
    return log_->openError;
  }
  BOOL Read(void* buffer, DWORD size, DWORD* read) override {
    std::unique_lock<std::mutex> lock(log_->mu);
    if (log_->readBlocks) {
      log_->readWaiting = true;
      log_->cv.notify_all();
      log_->cv.wait(lock, [&] { return log_->cancelled; });
      if (log_->closes != 0) log_->closedWhileReading = true;
      SetLastError(ERROR_READ_FAULT);
      return FALSE;
    }
    static_cast<BYTE*>(buffer)[0] = 'r';
    *read = size > 0 ? 1 : 0;
    return TRUE;
  }
  BOOL Write(const void*, DWORD size, DWORD* written) override {
    log_->Add("write " + std::to_string(size));
    *written = size;
    return TRUE;
  }
  BOOL IoControl(DWORD code, const void*, DWORD, void* out, DWORD outLen, DWORD* returned) override {
    log_->Add("ioctl " + std::to_string(code));
    if (outLen > 0) static_cast<BYTE*>(out)[0] = 7;
    *returned = 1;
    return TRUE;
  }
  BOOL Purge(DWORD flags) override {
    log_->Add("purge " + std::to_string(flags));
    return TRUE;
  }
  void Cancel() override {
    std::lock_guard<std::mutex> lock(log_->mu);
    log_->cancelled = true;
    log_->cv.notify_all();
  }
  void Close() override { ++log_->closes; }

 private:
  Log* log_;
  std::string arg_;
};

class DeviceMap : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    plat::RegisterBackendScheme("rec", [this](const std::string& arg) -> std::shared_ptr<plat::DeviceBackend> {
      if (arg == "refuse") return nullptr;
      return std::make_shared<RecordingBackend>(&log, arg);
    });
  }
  void TearDown() override {
    plat::UnregisterBackendScheme("rec");
    plat::RegistryClear();
  }
  static HANDLE Open(const char16_t* name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  Log log;
};

TEST_F(DeviceMap, NamesResolveThroughTheRegistry) {
  ASSERT_TRUE(plat::MapDevice(u"COM1:", "rec:/dev/ttyS9"));
  ASSERT_TRUE(plat::RegistryLoadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\DeviceMap]\n\"LPT2:\"=\"rec:two\"\n"
                                     "\"LPT3:\"=\"nosuchscheme:x\"\n\"LPT4:\"=\"rec:refuse\"\n\"LPT5:\"=dword:00000001\n",
                                     "map", nullptr));
  HANDLE h = Open(u"com1:");  // names ignore case
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(log.calls, "open /dev/ttyS9 c0000000 3;");
  EXPECT_TRUE(CloseHandle(h));
  h = Open(u"LPT2:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));

  // Unmapped, unknown scheme, refused argument, not a string: all missing.
  for (const char16_t* name : {u"COM2:", u"LPT3:", u"LPT4:", u"LPT5:", u"NVP1:"}) {
    SCOPED_TRACE(plat::ToUtf8(name));
    SetLastError(0);
    EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(Open(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(DeviceMap, PortsAreExclusive) {
  plat::MapDevice(u"COM1:", "rec:a");
  HANDLE h = Open(u"COM1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(u"COM1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(log.closes, 1);
  h = Open(u"COM1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));

  // A refused open reports the backend's error and keeps the name free.
  log.openError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Open(u"COM1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  log.openError = ERROR_SUCCESS;
  h = Open(u"COM1:");
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceMap, CallsReachTheBackendWithinTheAccessGranted) {
  plat::MapDevice(u"OUT1:", "rec:w");
  HANDLE h = Open(u"OUT1:", GENERIC_WRITE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE buf[4] = {1, 2, 3, 4};
  DWORD n = 99;
  EXPECT_TRUE(WriteFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_FALSE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_PRINTER_GET_STATUS, nullptr, 0, buf, 4, &returned, nullptr));
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(returned, 1u);
  EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
  // What the backend does not offer fails cleanly.
  DCB dcb{};
  COMMTIMEOUTS t{};
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(SetCommTimeouts(h, &t));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(log.calls, "open w 40000000 3;write 4;ioctl 1441816;purge 8;");
  EXPECT_TRUE(CloseHandle(h));

  // A closed handle reaches nothing.
  EXPECT_FALSE(WriteFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(GetCommTimeouts(h, &t));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(log.calls, "open w 40000000 3;write 4;ioctl 1441816;purge 8;");
}

TEST_F(DeviceMap, CloseWakesAWaitingReadBeforeClosingTheDevice) {
  plat::MapDevice(u"COM1:", "rec:a");
  HANDLE h = Open(u"COM1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  log.readBlocks = true;
  std::thread reader([&] {
    BYTE b;
    DWORD n = 5;
    EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
  });
  {
    std::unique_lock<std::mutex> lock(log.mu);
    log.cv.wait(lock, [&] { return log.readWaiting; });
  }
  EXPECT_TRUE(CloseHandle(h));
  reader.join();
  EXPECT_EQ(log.closes, 1);
  EXPECT_FALSE(log.closedWhileReading);
}

TEST(FileBackend, WriteOnlyAndAppending) {
  plat::RegistryClear();
  char path[] = "/tmp/kest_file_backend_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  plat::MapDevice(u"OUT1:", std::string("file:") + path);
  plat::MapDevice(u"OUT2:", "file:/nonexistent/dir/out.prn");

  EXPECT_EQ(CreateFileW(u"OUT1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFileW(u"OUT2:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  for (const char* text : {"first job\n", "second job\n"}) {
    HANDLE h = CreateFileW(u"OUT1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, text, static_cast<DWORD>(strlen(text)), &n, nullptr));
    EXPECT_EQ(n, strlen(text));
    BYTE status[4];
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_PRINTER_GET_STATUS, nullptr, 0, status, 4, &returned, nullptr));
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_PRINTER_GET_DEVICE_ID, nullptr, 0, status, 4, &returned, nullptr));
    EXPECT_TRUE(CloseHandle(h));
  }
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_EQ(all.str(), "first job\nsecond job\n");
  std::remove(path);
  plat::RegistryClear();
}

}  // namespace
