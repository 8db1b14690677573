// DrvEnableDriver: keep a copy of the engine's table, hook twelve entries and
// take the three engine callbacks the front end needs.
#include "frontend/frontend.h"
#include "portdriver/stream_driver.h"

PFN g_savedDrvFns[DRV_ENTRY_COUNT];
PFN_EngCreateDeviceSurface g_pfnCreateSurface = nullptr;
PFN_EngDeleteSurface g_pfnDeleteSurface = nullptr;
PFN_EngCreatePalette g_pfnCreatePalette = nullptr;
DHPDEV g_dhpdev = nullptr;
uint32_t g_pageWidth = 0;
uint32_t g_pageHeight = 0;
uint32_t g_widePage = 0;
SURFOBJ g_surfaceDesc;
HSURF g_hSurface = nullptr;
int32_t g_pageCount = 0;
uint32_t g_lineCount = 0;
int32_t g_jobError = 0;

namespace {

// Entries that do nothing (power handler, last slot).
void DoNothing() {}

template <class F>
PFN AsPfn(F f) {
  return reinterpret_cast<PFN>(f);
}

}  // namespace

BOOL DrvSetPalette(DHPDEV, void*, FLONG, ULONG, ULONG) { return FALSE; }

void DrvPowerHandler(DHPDEV, BOOL) { DoNothing(); }

KEST_EXPORT BOOL DrvEnableDriver(ULONG, ULONG, DRVENABLEDATA* pded, ENGCALLBACKS* pEngCallbacks) {
  if (pded != nullptr) {
    for (int i = 0; i < DRV_ENTRY_COUNT; ++i) g_savedDrvFns[i] = pded->pfn[i];
    pded->pfn[INDEX_DrvEnablePDEV] = AsPfn(&DrvEnablePDEV);
    pded->pfn[INDEX_DrvDisablePDEV] = AsPfn(&DrvDisablePDEV);
    pded->pfn[INDEX_DrvEnableSurface] = AsPfn(&DrvEnableSurface);
    pded->pfn[INDEX_DrvDisableSurface] = AsPfn(&DrvDisableSurface);
    pded->pfn[INDEX_DrvCopyBits] = AsPfn(&DrvCopyBits);
    pded->pfn[INDEX_DrvSetPalette] = AsPfn(&DrvSetPalette);
    pded->pfn[INDEX_DrvGetModes] = AsPfn(&DrvGetModes);
    pded->pfn[INDEX_DrvPowerHandler] = AsPfn(&DrvPowerHandler);
    pded->pfn[INDEX_DrvEndDoc] = AsPfn(&DrvEndDoc);
    pded->pfn[INDEX_DrvStartDoc] = AsPfn(&DrvStartDoc);
    pded->pfn[INDEX_DrvStartPage] = AsPfn(&DrvStartPage);
    pded->pfn[INDEX_DrvReserved30] = AsPfn(&DoNothing);
  }
  if (pEngCallbacks != nullptr) {
    g_pfnCreateSurface = reinterpret_cast<PFN_EngCreateDeviceSurface>(pEngCallbacks->pfn[INDEX_EngCreateDeviceSurface]);
    g_pfnDeleteSurface = reinterpret_cast<PFN_EngDeleteSurface>(pEngCallbacks->pfn[INDEX_EngDeleteSurface]);
    g_pfnCreatePalette = reinterpret_cast<PFN_EngCreatePalette>(pEngCallbacks->pfn[INDEX_EngCreatePalette]);
  }
  return TRUE;
}

KEST_EXPORT DWORD DrvAdvPageSetupDlg() { return KestReturnOne(); }
KEST_EXPORT DWORD GetPrinterStatus() { return KestReturnOne(); }
KEST_EXPORT DWORD ResetPrinter() { return KestReturnOne(); }
KEST_EXPORT DWORD StopPortMonitor() { return KestReturnOne(); }
KEST_EXPORT DWORD UpdatePrinterStatus() { return KestReturnOne(); }
