#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices.h"
#include "platform/system.h"

namespace {

using plat::StreamDriverEntries;

void* AsPointer(uint64_t address) { return reinterpret_cast<void*>(static_cast<uintptr_t>(address)); }

TEST(CallerBuffers, RegisterGivesDistinctNonZeroAddresses) {
  char a[16], b[16];
  uint32_t x = plat::RegisterCallerBuffer(a, sizeof a);
  uint32_t y = plat::RegisterCallerBuffer(b, sizeof b);
  EXPECT_NE(x, 0u);
  EXPECT_NE(y, 0u);
  EXPECT_NE(x, y);
  plat::UnregisterCallerBuffer(x);
  // A freed address is not handed out again right away.
  uint32_t z = plat::RegisterCallerBuffer(a, sizeof a);
  EXPECT_NE(z, x);
  EXPECT_EQ(plat::RegisterCallerBuffer(nullptr, 8), 0u);
  EXPECT_EQ(plat::RegisterCallerBuffer(a, 0), 0u);
  plat::UnregisterCallerBuffer(y);
  plat::UnregisterCallerBuffer(z);
}

TEST(CallerBuffers, ResolvesOnlyInsideRegisteredMemory) {
  char16_t name[8] = u"LPT1:";  // 16 bytes
  char other[32];
  const uint32_t base = plat::RegisterCallerBuffer(name, sizeof name);
  const uint32_t next = plat::RegisterCallerBuffer(other, sizeof other);
  ASSERT_NE(base, 0u);
  struct Case {
    const char* what;
    uint64_t address;
    DWORD bytes;
    bool ok;
  };
  const Case cases[] = {
      {"whole buffer", base, 16, true},
      {"name only", base, 12, true},
      {"inside, up to the end", base + 4, 12, true},
      {"last byte", base + 15, 1, true},
      {"one byte too many", base, 17, false},
      {"inside, past the end", base + 4, 13, false},
      {"at the end", base + 16, 1, false},
      {"just before", base - 1u, 2, false},
      {"between two buffers", base + 64, 1, false},
      {"size 0", base, 0, false},
      {"null", 0, 4, false},
      {"never registered", 0x00001000u, 4, false},
      {"not a 32-bit address", uint64_t{1} << 40, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    void* local = reinterpret_cast<void*>(0x5A5A);
    HRESULT hr = CeOpenCallerBuffer(&local, AsPointer(c.address), c.bytes, ARG_I_WSTR, FALSE);
    if (!c.ok) {
      EXPECT_LT(hr, 0);
      EXPECT_TRUE(hr == E_INVALIDARG || hr == E_ACCESSDENIED);
      EXPECT_TRUE(local == reinterpret_cast<void*>(0x5A5A) || local == nullptr);
      continue;
    }
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(local, reinterpret_cast<char*>(name) + (c.address - base));
    EXPECT_EQ(CeCloseCallerBuffer(local, AsPointer(c.address), c.bytes, ARG_I_WSTR), S_OK);
  }
  EXPECT_EQ(CeOpenCallerBuffer(nullptr, AsPointer(base), 4, ARG_I_WSTR, FALSE), E_INVALIDARG);
  void* local = nullptr;
  EXPECT_EQ(CeOpenCallerBuffer(&local, AsPointer(base), 4, 99, FALSE), E_INVALIDARG);

  // Unregistered memory is refused from then on.
  plat::UnregisterCallerBuffer(base);
  EXPECT_LT(CeOpenCallerBuffer(&local, AsPointer(base), 4, ARG_I_WSTR, FALSE), 0);
  EXPECT_EQ(local, nullptr);
  plat::UnregisterCallerBuffer(next);
}

TEST(CallerBuffers, CloseMatchesAnOpen) {
  char16_t name[6] = u"COM1:";
  const uint32_t addr = plat::RegisterCallerBuffer(name, sizeof name);
  void* local = nullptr;
  ASSERT_EQ(CeOpenCallerBuffer(&local, AsPointer(addr), sizeof name, ARG_I_WSTR, FALSE), S_OK);
  EXPECT_LT(CeCloseCallerBuffer(local, AsPointer(addr), sizeof name - 2, ARG_I_WSTR), 0);  // other size
  EXPECT_LT(CeCloseCallerBuffer(local, AsPointer(addr + 2), sizeof name, ARG_I_WSTR), 0);  // other address
  EXPECT_EQ(CeCloseCallerBuffer(local, AsPointer(addr), sizeof name, ARG_I_WSTR), S_OK);
  EXPECT_LT(CeCloseCallerBuffer(local, AsPointer(addr), sizeof name, ARG_I_WSTR), 0);  // closed already
  EXPECT_LT(CeCloseCallerBuffer(nullptr, AsPointer(addr), sizeof name, ARG_I_WSTR), 0);

  // A forced duplicate is a copy taken at open, freed at close.
  ASSERT_EQ(CeOpenCallerBuffer(&local, AsPointer(addr), sizeof name, ARG_I_WSTR, TRUE), S_OK);
  EXPECT_NE(local, static_cast<void*>(name));
  EXPECT_EQ(std::memcmp(local, name, sizeof name), 0);
  name[0] = u'X';
  EXPECT_EQ(static_cast<char16_t*>(local)[0], u'C');
  EXPECT_EQ(CeCloseCallerBuffer(local, AsPointer(addr), sizeof name, ARG_I_WSTR), S_OK);
  plat::UnregisterCallerBuffer(addr);
}

// Addresses are handed out upwards; after a full round they start again low,
// around the regions still registered.
TEST(CallerBuffers, AddressesWrapAroundLiveRegions) {
  char keep[8] = "keep";
  const uint32_t kept = plat::RegisterCallerBuffer(keep, sizeof keep);
  ASSERT_NE(kept, 0u);
  constexpr size_t kBig = size_t{64} << 20;
  std::unique_ptr<char[]> big(new char[kBig]);
  uint32_t previous = 0;
  bool wrapped = false;
  for (int i = 0; i < 1000 && !wrapped; ++i) {
    uint32_t addr = plat::RegisterCallerBuffer(big.get(), kBig);
    ASSERT_NE(addr, 0u);
    wrapped = addr < previous;
    if (wrapped) {
      // The new region leaves the live one alone.
      EXPECT_TRUE(kept < addr || kept >= addr + kBig);
      void* local = nullptr;
      ASSERT_EQ(CeOpenCallerBuffer(&local, AsPointer(kept), sizeof keep, ARG_I_WSTR, FALSE), S_OK);
      EXPECT_EQ(local, static_cast<void*>(keep));
      CeCloseCallerBuffer(local, AsPointer(kept), sizeof keep, ARG_I_WSTR);
    }
    previous = addr;
    plat::UnregisterCallerBuffer(addr);
  }
  EXPECT_TRUE(wrapped);
  plat::UnregisterCallerBuffer(kept);
}

// Applications register, map and release from several threads at once.
TEST(CallerBuffers, ConcurrentUse) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::vector<char> memory(64, static_cast<char>(t));
      for (int i = 0; i < 500; ++i) {
        uint32_t addr = plat::RegisterCallerBuffer(memory.data(), memory.size());
        ASSERT_NE(addr, 0u);
        void* local = nullptr;
        ASSERT_EQ(CeOpenCallerBuffer(&local, AsPointer(addr + 8), 56, ARG_I_WSTR, (i & 1) != 0), S_OK);
        EXPECT_EQ(static_cast<char*>(local)[0], static_cast<char>(t));
        EXPECT_EQ(CeCloseCallerBuffer(local, AsPointer(addr + 8), 56, ARG_I_WSTR), S_OK);
        plat::UnregisterCallerBuffer(addr);
      }
    });
  }
  for (auto& th : threads) th.join();
}


// A stream driver that only counts the calls that reach it.
int g_driverCalls = 0;
DWORD CountingInit(LPCWSTR, LPCVOID) { return 1; }
BOOL CountingDeinit(DWORD) { return TRUE; }
DWORD CountingOpen(DWORD, DWORD, DWORD) { return 1; }
BOOL CountingClose(DWORD) { return TRUE; }
BOOL CountingIOControl(DWORD, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) {
  ++g_driverCalls;
  return TRUE;
}

// With the check on, DeviceIoControl refuses a buffer the caller does not own
// wholly, before the driver sees it; with it off, everything passes.
TEST(CallerBuffers, DeviceIoControlRefusesBuffersTheCallerDoesNotOwn) {
  const StreamDriverEntries entries{CountingInit, CountingDeinit, CountingOpen, CountingClose, CountingIOControl};
  ASSERT_TRUE(plat::RegisterStreamDriver(u"CBT1:", entries));
  HANDLE h = CreateFileW(u"CBT1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  BYTE in[16] = {};
  BYTE out[32] = {};
  BYTE both[64] = {};
  BYTE stranger[8] = {};
  const uint32_t inAddr = plat::RegisterCallerBuffer(in, sizeof in);
  const uint32_t outAddr = plat::RegisterCallerBuffer(out, sizeof out);
  // Two regions over the same memory: either may hold the buffer.
  const uint32_t bothSmall = plat::RegisterCallerBuffer(both, 8);
  const uint32_t bothLarge = plat::RegisterCallerBuffer(both, sizeof both);
  // Memory registered and then given up.
  BYTE stale[8] = {};
  plat::UnregisterCallerBuffer(plat::RegisterCallerBuffer(stale, sizeof stale));

  struct Case {
    const char* what;
    void* in;
    DWORD inLen;
    void* out;
    DWORD outLen;
    bool passes;
  };
  const Case cases[] = {
      {"both owned, whole", in, sizeof in, out, sizeof out, true},
      {"owned, inside", in + 4, 12, out + 31, 1, true},
      {"no buffers", nullptr, 0, nullptr, 0, true},
      {"null with a length", nullptr, 100, nullptr, 7, true},
      {"owned pointer, length 0", stranger, 0, stranger, 0, true},
      {"in one byte too long", in, sizeof in + 1, out, sizeof out, false},
      {"out one byte too long", in, sizeof in, out, sizeof out + 1, false},
      {"in past the end from inside", in + 8, 9, nullptr, 0, false},
      {"out never registered", nullptr, 0, stranger, sizeof stranger, false},
      {"in never registered", stranger, 1, nullptr, 0, false},
      {"unregistered memory", stale, 4, nullptr, 0, false},
      {"runs on past its region", in, sizeof in + sizeof out, nullptr, 0, false},
      {"larger of two regions on the same memory", both, sizeof both, nullptr, 0, true},
      {"huge length wraps the address space", in, 0xFFFFFFFFu, nullptr, 0, false},
  };
  for (bool check : {false, true}) {
    plat::SetCallerBufferCheck(check);
    EXPECT_EQ(plat::CallerBufferCheck(), check);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (check ? ", check on" : ", check off"));
      g_driverCalls = 0;
      SetLastError(0);
      const BOOL ok = DeviceIoControl(h, 0x100, c.in, c.inLen, c.out, c.outLen, nullptr, nullptr);
      if (!check || c.passes) {
        EXPECT_TRUE(ok);
        EXPECT_EQ(g_driverCalls, 1);
      } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(g_driverCalls, 0);
      }
    }
  }
  // Unregistering one of two regions on the same memory leaves the other.
  plat::SetCallerBufferCheck(true);
  plat::UnregisterCallerBuffer(bothLarge);
  EXPECT_FALSE(DeviceIoControl(h, 0x100, both, sizeof both, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(DeviceIoControl(h, 0x100, both, 8, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(plat::IsCallerMemory(nullptr, 4));
  EXPECT_FALSE(plat::IsCallerMemory(in, 0));
  plat::SetCallerBufferCheck(false);

  for (uint32_t a : {inAddr, outAddr, bothSmall}) plat::UnregisterCallerBuffer(a);
  CloseHandle(h);
  plat::UnregisterStreamDriver(u"CBT1:");
}

}  // namespace
