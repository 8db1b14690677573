// TEMPORARY: entries not yet written; each moves to its own file.
#include "frontend/frontend.h"
DHPDEV DrvEnablePDEV(DEVMODEW*, LPWSTR, ULONG, HSURF*, ULONG, ULONG*, ULONG, DEVINFO*, HDEV, LPWSTR, HANDLE) { return nullptr; }
void DrvDisablePDEV(DHPDEV) {}
HSURF DrvEnableSurface(DHPDEV) { return nullptr; }
void DrvDisableSurface(DHPDEV) {}
BOOL DrvCopyBits(SURFOBJ*, SURFOBJ*, CLIPOBJ*, XLATEOBJ*, RECTL*, POINTL*) { return FALSE; }
ULONG DrvGetModes(HANDLE, ULONG, DEVMODEW*) { return 0; }
BOOL DrvEndDoc(SURFOBJ*, FLONG) { return FALSE; }
BOOL DrvStartDoc(SURFOBJ*, LPWSTR, DWORD) { return FALSE; }
BOOL DrvStartPage(SURFOBJ*) { return FALSE; }
void PrinterContext::ReadSettings() {}
BOOL PrinterContext::Shutdown() { FreeRasterBuffers(); return TRUE; }
void OutputChannel::CloseDevice() {}
