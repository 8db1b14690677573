// A stand-in for the port-driver library as the device manager loads it on
// ActivateDevice: NVP_Init reports each activation to the test (reached
// through a second dlopen of this file, which is the same instance) and
// lets the test decide what appears as "NVP1:". The module itself never
// becomes the device: its NVP_Init fails.
#include <atomic>
#include <string>

#include "platform/system.h"
#include "platform/types.h"

#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::atomic<int> g_activations{0};
std::atomic<void (*)(const char16_t* key)> g_hook{nullptr};
}  // namespace

MODULE_EXPORT DWORD NVP_Init(LPCWSTR context, LPCVOID) {
  ++g_activations;
  if (auto hook = g_hook.load()) hook(context);
  SetLastError(ERROR_DEV_NOT_EXIST);
  return 0;
}
MODULE_EXPORT BOOL NVP_Deinit(DWORD) { return TRUE; }
MODULE_EXPORT DWORD NVP_Open(DWORD, DWORD, DWORD) { return 0; }
MODULE_EXPORT BOOL NVP_Close(DWORD) { return TRUE; }
MODULE_EXPORT BOOL NVP_IOControl(DWORD, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) { return FALSE; }

MODULE_EXPORT void ActivationModuleSetHook(void (*hook)(const char16_t* key)) { g_hook.store(hook); }
MODULE_EXPORT int ActivationModuleActivations() { return g_activations.load(); }
MODULE_EXPORT void ActivationModuleReset() {
  g_activations = 0;
  g_hook.store(nullptr);
}
