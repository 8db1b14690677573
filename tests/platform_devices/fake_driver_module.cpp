// A stream driver library for the device manager's tests, prefix FAK.
#include <atomic>

#include "platform/system.h"
#include "platform/types.h"

namespace {
std::atomic<int> g_inits{0};
std::atomic<int> g_deinits{0};
std::atomic<int> g_opens{0};
std::atomic<int> g_closes{0};
std::atomic<bool> g_failInit{false};
}  // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT DWORD FAK_Init(LPCWSTR, LPCVOID) {
  ++g_inits;
  if (g_failInit.load()) {
    SetLastError(ERROR_NOT_READY);
    return 0;
  }
  return 0x1234;
}
FAKE_EXPORT BOOL FAK_Deinit(DWORD ctx) {
  if (ctx == 0x1234) ++g_deinits;
  return TRUE;
}
FAKE_EXPORT DWORD FAK_Open(DWORD ctx, DWORD, DWORD) {
  ++g_opens;
  return ctx + 1;
}
FAKE_EXPORT BOOL FAK_Close(DWORD) {
  ++g_closes;
  return TRUE;
}
// Answers with the number of inits so far; fails with 21 on code 0x600.
FAKE_EXPORT BOOL FAK_IOControl(DWORD, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLen, DWORD* actual) {
  if (code == 0x600) {
    SetLastError(ERROR_NOT_READY);
    return FALSE;
  }
  if (out != nullptr && outLen >= 1) out[0] = static_cast<BYTE>(g_inits.load());
  if (actual != nullptr) *actual = 1;
  return TRUE;
}

// Test hooks, reached through a second dlopen of the same file.
FAKE_EXPORT int FakeInits() { return g_inits.load(); }
FAKE_EXPORT int FakeDeinits() { return g_deinits.load(); }
FAKE_EXPORT int FakeOpens() { return g_opens.load(); }
FAKE_EXPORT int FakeCloses() { return g_closes.load(); }
FAKE_EXPORT void FakeFailInit(bool fail) { g_failInit = fail; }
