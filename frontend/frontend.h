// The GDI half's entry points and the process-wide state they share.
#pragma once

#include <cstdint>

#include "platform/gdi.h"
#include "platform/registry.h"
#include "raster/printer_context.h"

#define KEST_EXPORT extern "C" __attribute__((visibility("default")))

extern PFN g_savedDrvFns[DRV_ENTRY_COUNT];
extern PFN_EngCreateDeviceSurface g_pfnCreateSurface;
extern PFN_EngDeleteSurface g_pfnDeleteSurface;
extern PFN_EngCreatePalette g_pfnCreatePalette;
extern DHPDEV g_dhpdev;
extern uint32_t g_pageWidth;
extern uint32_t g_pageHeight;
extern uint32_t g_widePage;
extern SURFOBJ g_surfaceDesc;
extern HSURF g_hSurface;
extern int32_t g_pageCount;
extern uint32_t g_lineCount;
extern int32_t g_jobError;
extern PrinterContext g_printer;

KEST_EXPORT BOOL DrvEnableDriver(ULONG iEngineVersion, ULONG cj, DRVENABLEDATA* pded, ENGCALLBACKS* pEngCallbacks);
KEST_EXPORT DWORD DrvAdvPageSetupDlg();
KEST_EXPORT DWORD GetPrinterStatus();
KEST_EXPORT DWORD ResetPrinter();
KEST_EXPORT DWORD StopPortMonitor();
KEST_EXPORT DWORD UpdatePrinterStatus();

// The replaced entries of the driver table.
DHPDEV DrvEnablePDEV(DEVMODEW* pdm, LPWSTR pwszLogAddress, ULONG cPat, HSURF* phsurfPatterns, ULONG cjCaps,
                     ULONG* pdevcaps, ULONG cjDevInfo, DEVINFO* pdi, HDEV hdev, LPWSTR pwszDeviceName,
                     HANDLE hDriver);
void DrvDisablePDEV(DHPDEV dhpdev);
HSURF DrvEnableSurface(DHPDEV dhpdev);
void DrvDisableSurface(DHPDEV dhpdev);
BOOL DrvCopyBits(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo, RECTL* prclDst, POINTL* pptlSrc);
BOOL DrvSetPalette(DHPDEV dhpdev, void* ppalo, FLONG fl, ULONG iStart, ULONG cColors);
ULONG DrvGetModes(HANDLE hDriver, ULONG cjSize, DEVMODEW* pdm);
void DrvPowerHandler(DHPDEV dhpdev, BOOL bOff);
BOOL DrvEndDoc(SURFOBJ* pso, FLONG fl);
BOOL DrvStartDoc(SURFOBJ* pso, LPWSTR pwszDocName, DWORD dwJobId);
BOOL DrvStartPage(SURFOBJ* pso);

// Removes a registry key with all its subkeys.
BOOL DeleteRegKeyTree(HKEY root, LPCWSTR path);
