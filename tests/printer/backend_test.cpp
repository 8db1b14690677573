// The virtual printer behind port names, reached through the platform's
// CreateFileW, WriteFile, ReadFile, DeviceIoControl and CloseHandle.
#include "printer/backend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace vprinter {
namespace {

using Bytes = std::vector<uint8_t>;

class VirtualScheme : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    RemoveAll();
    RegisterScheme();
  }
  void TearDown() override {
    UnregisterScheme();
    RemoveAll();
    plat::RegistryClear();
  }
  static HANDLE Open(const char16_t* name, DWORD disposition = OPEN_EXISTING) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
};

TEST_F(VirtualScheme, APortNameReachesTheNamedPrinter) {
  PrinterOptions o;
  o.description = "USB Printer L46 300DPI";
  auto printer = Create("label", o);
  ASSERT_TRUE(plat::MapDevice(u"LPT2:", "virtual:label"));
  HANDLE h = Open(u"LPT2:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(printer->IsOpen());
  EXPECT_EQ(printer->LastOpenDisposition(), static_cast<DWORD>(OPEN_EXISTING));

  const Bytes init = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, init.data(), static_cast<DWORD>(init.size()), &n, nullptr));
  EXPECT_EQ(n, init.size());
  BYTE buf[64];
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(buf[0], 0x80);

  char id[256];
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_PRINTER_GET_DEVICE_ID, nullptr, 0, id, sizeof id, &n, nullptr));
  EXPECT_EQ(std::string(id + 2, n - 2), "MFG:Norv;MDL:Kest;DESCRIPTION:USB Printer L46 300DPI;");
  DWORD status = 0;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_PRINTER_GET_STATUS, nullptr, 0, &status, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);

  COMMTIMEOUTS t{10, 0, 20, 0, 800};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  EXPECT_EQ(printer->Timeouts().WriteTotalTimeoutConstant, 800u);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  ASSERT_TRUE(SetCommState(h, &dcb));
  EXPECT_EQ(printer->RtsChanges().size(), 1u);

  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(printer->IsOpen());
  EXPECT_EQ(printer->Captured(), init);
}

TEST_F(VirtualScheme, AnUnnamedTargetIsTheDefaultPrinterMadeOnDemand) {
  ASSERT_TRUE(plat::MapDevice(u"COM3:", "virtual"));
  EXPECT_EQ(Get("default"), nullptr);
  HANDLE h = Open(u"COM3:", CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  auto printer = Get("default");
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(printer->LastOpenDisposition(), static_cast<DWORD>(CREATE_ALWAYS));
  const BYTE bytes[] = {0x00};
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, bytes, 1, &n, nullptr));
  EXPECT_TRUE(CloseHandle(h));
  // The same printer on the next open.
  h = Open(u"COM3:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Get("default"), printer);
  EXPECT_EQ(printer->OpenCount(), 2u);
  EXPECT_EQ(printer->BytesReceived(), 1u);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(VirtualScheme, AnUnpluggedPrinterCannotBeOpened) {
  auto printer = Create("gone");
  printer->Unplug();
  ASSERT_TRUE(plat::MapDevice(u"LPT1:", "virtual:gone"));
  SetLastError(0);
  EXPECT_EQ(Open(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  printer->Replug();
  HANDLE h = Open(u"LPT1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
}

// CloseHandle from another thread ends a read and a write that wait on the
// printer (no timeouts set: they would wait for ever).
TEST_F(VirtualScheme, ClosingTheHandleEndsWaitingCalls) {
  auto printer = Create("wait");
  ASSERT_TRUE(plat::MapDevice(u"COM1:", "virtual:wait"));
  HANDLE h = Open(u"COM1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  printer->SetStallWrites(true);
  std::atomic<int> finished{0};
  DWORD readCount = 99, writeCount = 99;
  std::thread reader([&] {
    BYTE buf[8];
    ReadFile(h, buf, sizeof buf, &readCount, nullptr);
    ++finished;
  });
  std::thread writer([&] {
    const BYTE b[3] = {0x1B, 0x6B, 0xFF};
    WriteFile(h, b, 3, &writeCount, nullptr);
    ++finished;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(finished, 0);
  EXPECT_TRUE(CloseHandle(h));
  reader.join();
  writer.join();
  EXPECT_EQ(readCount, 0u);
  EXPECT_EQ(writeCount, 0u);
  EXPECT_TRUE(printer->Captured().empty());
}

}  // namespace
}  // namespace vprinter
