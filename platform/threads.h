// Threads, thread message queues, critical sections, named events and waits.
// Every timed wait runs on the stand-in clock.
#pragma once

#include "platform/types.h"

using HWND = void*;

constexpr UINT WM_USER = 0x0400;
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT WM_QUIT = 0x0012;
// GetExitCodeThread's value while the thread runs.
constexpr DWORD STILL_ACTIVE = 259;
// CreateThread flag; the stand-in starts every thread at once and refuses it.
constexpr DWORD CREATE_SUSPENDED = 0x00000004;

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINTL pt;
};

// A recursive lock; the storage holds the stand-in's own lock object.
struct CRITICAL_SECTION {
  void* impl;
  DWORD ownerThread;
  LONG recursion;
};

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

constexpr DWORD EVENT_PULSE = 1;
constexpr DWORD EVENT_RESET = 2;
constexpr DWORD EVENT_SET = 3;

extern "C" {
KESTPLAT_API HANDLE CreateThread(void* lpThreadAttributes, size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                 LPVOID lpParameter, DWORD dwCreationFlags, DWORD* lpThreadId);
KESTPLAT_API DWORD GetCurrentThreadId();
KESTPLAT_API BOOL GetExitCodeThread(HANDLE hThread, DWORD* lpExitCode);

// A thread's queue exists from its first PeekMessageW or GetMessageW; posting
// to a thread without one, or one that has ended, fails.
KESTPLAT_API BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
KESTPLAT_API BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
// Blocks until a message arrives; FALSE for WM_QUIT, -1 for bad arguments.
KESTPLAT_API BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);

KESTPLAT_API void InitializeCriticalSection(CRITICAL_SECTION* cs);
KESTPLAT_API void DeleteCriticalSection(CRITICAL_SECTION* cs);
KESTPLAT_API void EnterCriticalSection(CRITICAL_SECTION* cs);
KESTPLAT_API void LeaveCriticalSection(CRITICAL_SECTION* cs);

// A second create of the same name returns a handle to the same event (and
// sets ERROR_ALREADY_EXISTS).
KESTPLAT_API HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
KESTPLAT_API BOOL EventModify(HANDLE hEvent, DWORD func);
KESTPLAT_API BOOL SetEvent(HANDLE hEvent);
KESTPLAT_API BOOL ResetEvent(HANDLE hEvent);
// Threads (signalled when ended) and events.
KESTPLAT_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
}

namespace plat {
// Threads started by CreateThread that are still running their start routine:
// lets a test see that nothing was left behind.
KESTPLAT_API int RunningThreads();
}  // namespace plat
