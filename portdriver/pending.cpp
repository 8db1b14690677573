// TEMPORARY: stream entries not yet written.
#include "platform/types.h"
#define KEST_EXPORT extern "C" __attribute__((visibility("default")))
KEST_EXPORT DWORD NVP_Init(const char16_t*, const void*) { return 0; }
KEST_EXPORT BOOL NVP_Deinit(DWORD) { return TRUE; }
KEST_EXPORT DWORD NVP_Open(DWORD, DWORD, DWORD) { return 1; }
KEST_EXPORT BOOL NVP_Close(DWORD) { return TRUE; }
KEST_EXPORT BOOL NVP_IOControl(DWORD, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) { return FALSE; }
