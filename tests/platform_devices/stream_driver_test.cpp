// The device manager: stream drivers from a table of functions and from a
// library named in the registry.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

// A driver made of plain functions that records what the device manager does.
struct Recorder {
  std::atomic<DWORD> initResult{0x10};
  std::atomic<int> inits{0}, deinits{0}, opens{0}, closes{0}, ioctls{0};
  std::atomic<DWORD> deinitContext{0}, openDeviceContext{0}, openAccess{0}, openShare{0}, closeContext{0};
  std::atomic<DWORD> ioctlContext{0}, ioctlCode{0};
  std::atomic<DWORD> openResult{0x77};
  // Blocking IOControl for the removal test.
  std::mutex mu;
  std::condition_variable cv;
  bool block = false, entered = false, release = false;
  std::atomic<bool> deinitSeenInsideCall{false};
};
Recorder* g_rec = nullptr;

DWORD RecInit(LPCWSTR, LPCVOID) {
  ++g_rec->inits;
  return g_rec->initResult.load();
}
BOOL RecDeinit(DWORD ctx) {
  g_rec->deinitContext = ctx;
  ++g_rec->deinits;
  return TRUE;
}
DWORD RecOpen(DWORD ctx, DWORD access, DWORD share) {
  ++g_rec->opens;
  g_rec->openDeviceContext = ctx;
  g_rec->openAccess = access;
  g_rec->openShare = share;
  if (g_rec->openResult.load() == 0) SetLastError(ERROR_ACCESS_DENIED);
  return g_rec->openResult.load();
}
BOOL RecClose(DWORD ctx) {
  ++g_rec->closes;
  g_rec->closeContext = ctx;
  return TRUE;
}
BOOL RecIoControl(DWORD ctx, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen, DWORD* actual) {
  ++g_rec->ioctls;
  g_rec->ioctlContext = ctx;
  g_rec->ioctlCode = code;
  {
    std::unique_lock<std::mutex> lock(g_rec->mu);
    if (g_rec->block) {
      g_rec->entered = true;
      g_rec->cv.notify_all();
      g_rec->cv.wait(lock, [] { return g_rec->release; });
      g_rec->deinitSeenInsideCall = g_rec->deinits.load() != 0;
    }
  }
  // Echoes the input and reports the error the caller asked for in byte 0.
  if (in != nullptr && inLen > 0 && in[0] != 0) {
    SetLastError(in[0]);
    return FALSE;
  }
  if (out != nullptr && outLen > 0) out[0] = 0xAB;
  if (actual != nullptr) *actual = 1;
  return TRUE;
}

const plat::StreamDriverEntries kEntries{RecInit, RecDeinit, RecOpen, RecClose, RecIoControl};

class StreamDriver : public ::testing::Test {
 protected:
  void SetUp() override { g_rec = &rec; }
  void TearDown() override {
    plat::UnregisterAllStreamDrivers();
    g_rec = nullptr;
  }
  Recorder rec;
};

TEST_F(StreamDriver, OpenControlCloseReachTheDriver) {
  ASSERT_TRUE(plat::RegisterStreamDriver(u"TST1:", kEntries));
  EXPECT_EQ(rec.inits, 1);

  HANDLE h = CreateFileW(u"tst1:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(rec.openDeviceContext, 0x10u);
  EXPECT_EQ(rec.openAccess, GENERIC_READ);
  EXPECT_EQ(rec.openShare, 3u);

  BYTE in = 0, out = 0;
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, 0x100, &in, 1, &out, 1, &returned, nullptr));
  EXPECT_EQ(rec.ioctlContext, 0x77u);
  EXPECT_EQ(rec.ioctlCode, 0x100u);
  EXPECT_EQ(out, 0xAB);
  EXPECT_EQ(returned, 1u);

  // The last-error value the driver leaves is what the caller sees.
  for (BYTE err : {BYTE{21}, BYTE{28}, BYTE{6}}) {
    SetLastError(0);
    in = err;
    EXPECT_FALSE(DeviceIoControl(h, 0x600, &in, 1, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), err);
  }

  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(rec.closes, 1);
  EXPECT_EQ(rec.closeContext, 0x77u);

  // The stale handle reaches nothing, not even a newer open.
  HANDLE h2 = CreateFileW(u"TST1:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  EXPECT_NE(h2, h);
  int before = rec.ioctls;
  EXPECT_FALSE(DeviceIoControl(h, 0x100, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(rec.ioctls, before);
  EXPECT_EQ(rec.closes, 1);
  EXPECT_TRUE(CloseHandle(h2));
}

TEST_F(StreamDriver, FailedInitOrOpenLeavesNothing) {
  rec.initResult = 0;
  EXPECT_FALSE(plat::RegisterStreamDriver(u"TST1:", kEntries));
  EXPECT_EQ(rec.inits, 1);
  EXPECT_EQ(CreateFileW(u"TST1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(rec.opens, 0);

  rec.initResult = 5;
  ASSERT_TRUE(plat::RegisterStreamDriver(u"TST1:", kEntries));
  // A name is registered once.
  EXPECT_FALSE(plat::RegisterStreamDriver(u"tst1:", kEntries));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(rec.inits, 2);

  rec.openResult = 0;
  EXPECT_EQ(CreateFileW(u"TST1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(rec.closes, 0);
}

TEST_F(StreamDriver, RemovalDeinitsAndRetiresOpenHandles) {
  ASSERT_TRUE(plat::RegisterStreamDriver(u"TST1:", kEntries));
  HANDLE h = CreateFileW(u"TST1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  plat::UnregisterStreamDriver(u"TST1:");
  EXPECT_EQ(rec.deinits, 1);
  EXPECT_EQ(rec.deinitContext, 0x10u);
  EXPECT_FALSE(DeviceIoControl(h, 0x100, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(rec.ioctls, 0);

  // A new instance under the same name is not reached by the old handle.
  ASSERT_TRUE(plat::RegisterStreamDriver(u"TST1:", kEntries));
  EXPECT_FALSE(DeviceIoControl(h, 0x100, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(rec.ioctls, 0);
  EXPECT_TRUE(CloseHandle(h));  // releases the handle; the retired driver sees no Close
  EXPECT_EQ(rec.closes, 0);
  EXPECT_EQ(CreateFileW(u"TST2:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(StreamDriver, RemovalWaitsForCallsInProgress) {
  ASSERT_TRUE(plat::RegisterStreamDriver(u"TST1:", kEntries));
  HANDLE h = CreateFileW(u"TST1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    std::lock_guard<std::mutex> lock(rec.mu);
    rec.block = true;
  }
  std::thread caller([&] { DeviceIoControl(h, 0x200, nullptr, 0, nullptr, 0, nullptr, nullptr); });
  {
    std::unique_lock<std::mutex> lock(rec.mu);
    rec.cv.wait(lock, [&] { return rec.entered; });
  }
  std::thread remover([] { plat::UnregisterStreamDriver(u"TST1:"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  {
    std::lock_guard<std::mutex> lock(rec.mu);
    rec.release = true;
  }
  rec.cv.notify_all();
  caller.join();
  remover.join();
  EXPECT_FALSE(rec.deinitSeenInsideCall);
  EXPECT_EQ(rec.deinits, 1);
  CloseHandle(h);
}

// A driver library named by a registry key, as the device manager loads it.
class ActivatedDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    lib_ = dlopen(FAKE_DRIVER_PATH, RTLD_NOW);
    ASSERT_NE(lib_, nullptr) << dlerror();
    inits_ = reinterpret_cast<int (*)()>(dlsym(lib_, "FakeInits"));
    deinits_ = reinterpret_cast<int (*)()>(dlsym(lib_, "FakeDeinits"));
    failInit_ = reinterpret_cast<void (*)(bool)>(dlsym(lib_, "FakeFailInit"));
    ASSERT_TRUE(inits_ && deinits_ && failInit_);
    failInit_(false);
  }
  void TearDown() override {
    plat::UnregisterAllStreamDrivers();
    plat::RegistryClear();
    if (lib_) dlclose(lib_);
  }
  void WriteKey(const char* dll, const char16_t* prefix, DWORD index) {
    plat::RegistrySetString(kKey, u"Dll", plat::FromUtf8(dll));
    plat::RegistrySetString(kKey, u"Prefix", prefix);
    plat::RegistrySetDword(kKey, u"Index", index);
  }
  static constexpr const char16_t* kKey = u"Drivers\\BuiltIn\\FAK";
  void* lib_ = nullptr;
  int (*inits_)() = nullptr;
  int (*deinits_)() = nullptr;
  void (*failInit_)(bool) = nullptr;
};

TEST_F(ActivatedDriver, LoadsTheSameInstanceAndMakesTheDeviceOpenable) {
  WriteKey(FAKE_DRIVER_PATH, u"FAK", 3);
  EXPECT_EQ(CreateFileW(u"FAK3:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  int inits0 = inits_(), deinits0 = deinits_();
  HANDLE act = ActivateDevice(kKey, 0);
  ASSERT_NE(act, nullptr);
  EXPECT_EQ(inits_(), inits0 + 1);  // the library's globals are the ones this test sees

  HANDLE h = CreateFileW(u"FAK3:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE out = 0;
  EXPECT_TRUE(DeviceIoControl(h, 0x100, nullptr, 0, &out, 1, nullptr, nullptr));
  EXPECT_EQ(out, inits0 + 1);
  EXPECT_FALSE(DeviceIoControl(h, 0x600, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);

  // Activating an active key again does not initialise the driver twice.
  EXPECT_EQ(ActivateDevice(kKey, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(inits_(), inits0 + 1);

  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(DeactivateDevice(act));
  EXPECT_EQ(deinits_(), deinits0 + 1);
  EXPECT_FALSE(DeactivateDevice(act));
  EXPECT_EQ(CreateFileW(u"FAK3:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ActivatedDriver, FailuresLeaveTheDeviceAbsent) {
  struct Case {
    const char* what;
    const char* dll;
    const char16_t* prefix;
    bool failInit;
  } cases[] = {
      {"missing file", "/nonexistent/libnothing.so", u"FAK", false},
      {"no entry points for the prefix", FAKE_DRIVER_PATH, u"XYZ", false},
      {"init fails", FAKE_DRIVER_PATH, u"FAK", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::RegistryClear();
    WriteKey(c.dll, c.prefix, 1);
    failInit_(c.failInit);
    EXPECT_EQ(ActivateDevice(kKey, 0), nullptr);
    std::u16string name = std::u16string(c.prefix) + u"1:";
    EXPECT_EQ(CreateFileW(name.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  plat::RegistryClear();
  EXPECT_EQ(ActivateDevice(kKey, 0), nullptr);  // no key at all
  EXPECT_EQ(ActivateDevice(nullptr, 0), nullptr);
  // After a failed init the key can be activated once the driver can start.
  WriteKey(FAKE_DRIVER_PATH, u"FAK", 1);
  failInit_(false);
  EXPECT_NE(ActivateDevice(kKey, 0), nullptr);
  HANDLE h = CreateFileW(u"FAK1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

}  // namespace
