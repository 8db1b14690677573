// The "NVP" stream driver: its exported entry points, its settings and the
// start of the status monitor thread.
#pragma once

#include <cstdint>

#include "platform/types.h"

#ifndef KEST_EXPORT
#define KEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

KEST_EXPORT DWORD NVP_Init(LPCWSTR context, LPCVOID busContext);
KEST_EXPORT BOOL NVP_Deinit(DWORD deviceContext);
KEST_EXPORT DWORD NVP_Open(DWORD deviceContext, DWORD accessCode, DWORD shareMode);
KEST_EXPORT BOOL NVP_Close(DWORD openContext);
KEST_EXPORT BOOL NVP_IOControl(DWORD openContext, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                               DWORD* actualOut);

// TRUE between NVP_Init and NVP_Deinit: g_csPorts exists.
bool PortDriverReady();

// The one routine behind every entry that only reports success.
DWORD KestReturnOne();

// Port-driver settings, read by NVP_Init from Drivers\BuiltIn\NVP.
struct PortDriverSettings {
  bool rtsOnOff = false;         // RTSOnOff present: RTS-on/off commands enabled
  uint32_t rtsOn = 13;           // low byte ends the RTS-on command
  uint32_t rtsOff = 1;           // low byte ends the RTS-off command
  uint32_t resetTime = 220;      // ms RTS stays off in an RTS reset
  uint32_t resetWaitTime = 400;  // ms waited after RTS is on again
  uint32_t rtsMaxRetries = 1000;
  uint32_t rtsRetryWait = 50;  // ms
};
extern PortDriverSettings g_settings;

// The two named events; INVALID_HANDLE_VALUE when absent. Written under
// g_csPorts; the monitor reads them under it before signalling.
extern HANDLE g_hStatusDataEvent;
extern HANDLE g_hStatusTimeoutEvent;

// Starts the status monitor thread, or tells the running one to keep running
// (cancelling a scheduled stop). TRUE when it runs.
BOOL EnsureStatusThread();

// The same for a caller that holds g_csPorts and pauses itself afterwards:
// *sleepMs receives the pause owed (250 ms after a start, 150 ms after a wake).
BOOL EnsureStatusThreadHeld(DWORD* sleepMs);

// Posts a message to the monitor, all under g_csPorts so that the monitor
// cannot end between the look at its thread id and the post. With
// startIfNeeded a monitor is started when none runs. TRUE when posted.
BOOL PostToMonitor(UINT message, WPARAM wParam, LPARAM lParam, bool startIfNeeded);

// Called by the ending monitor thread with g_csPorts held: clears the thread
// globals and keeps its handle so that the next start (or NVP_Deinit) can
// wait for the thread to finish and close the handle.
void RetireStatusThread();

// Gives back one reference to a port (NVP_CLOSE on its index), as the
// monitor does for the ports it watched.
void ReleasePortReference(uint8_t index);

// Signals a named event if it exists (reads the handle under g_csPorts).
void SignalStatusEvent(HANDLE* which);

// Flag in bits 8-15 of a MONITOR_QUERY_STATUS wParam: the sender obtained a
// reference to the port for the monitor. When the monitor already watches
// that port it gives the extra reference back instead of keeping two.
constexpr WPARAM kQueryCarriesReference = 0x100;
