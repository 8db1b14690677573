// Graphics-engine records and the printer-driver interface: the device mode,
// the capability records, surfaces, and the two tables a printer driver and
// the engine exchange in DrvEnableDriver.
#pragma once

#include "platform/types.h"

using HDEV = void*;
using DHPDEV = void*;
using HSURF = void*;
using DHSURF = void*;
using HPALETTE = void*;
using HBITMAP = void*;
using PFN = void (*)();

constexpr int CCHDEVICENAME = 32;
constexpr int CCHFORMNAME = 32;

// Device mode members and values used by the driver.
constexpr DWORD DM_ORIENTATION = 0x00000001;
constexpr DWORD DM_PAPERSIZE = 0x00000002;
constexpr DWORD DM_PAPERLENGTH = 0x00000004;
constexpr DWORD DM_PAPERWIDTH = 0x00000008;
constexpr SHORT DMORIENT_PORTRAIT = 1;
constexpr SHORT DMORIENT_LANDSCAPE = 2;
constexpr SHORT DMPAPER_LETTER = 1;
constexpr SHORT DMPAPER_LEGAL = 5;
constexpr SHORT DMPAPER_A4 = 9;
constexpr SHORT DMPAPER_B5 = 13;
constexpr SHORT DMPAPER_USER = 256;
constexpr SHORT DMRES_DRAFT = -1;
constexpr SHORT DMRES_LOW = -2;
constexpr SHORT DMRES_MEDIUM = -3;
constexpr SHORT DMRES_HIGH = -4;
constexpr SHORT DMCOLOR_MONOCHROME = 1;
constexpr SHORT DMCOLOR_COLOR = 2;

struct DEVMODEW {
  WCHAR dmDeviceName[CCHDEVICENAME];
  WORD dmSpecVersion;
  WORD dmDriverVersion;
  WORD dmSize;
  WORD dmDriverExtra;
  DWORD dmFields;
  SHORT dmOrientation;
  SHORT dmPaperSize;
  SHORT dmPaperLength;
  SHORT dmPaperWidth;
  SHORT dmScale;
  SHORT dmCopies;
  SHORT dmDefaultSource;
  SHORT dmPrintQuality;
  SHORT dmColor;
  SHORT dmDuplex;
  SHORT dmYResolution;
  SHORT dmTTOption;
  SHORT dmCollate;
  WCHAR dmFormName[CCHFORMNAME];
  WORD dmLogPixels;
  DWORD dmBitsPerPel;
  DWORD dmPelsWidth;
  DWORD dmPelsHeight;
  DWORD dmDisplayFlags;
  DWORD dmDisplayFrequency;
  DWORD dmDisplayOrientation;
};
static_assert(sizeof(DEVMODEW) == 192, "the device mode is a 192-byte record");

// Raster capabilities and technology.
constexpr FLONG RC_BITBLT = 0x0001;
constexpr FLONG RC_BANDING = 0x0002;
constexpr FLONG RC_PALETTE = 0x0100;
constexpr FLONG RC_BITMAP64 = 0x0008;
constexpr ULONG DT_RASDISPLAY = 1;
constexpr ULONG DT_RASPRINTER = 2;

struct GDIINFO {
  ULONG ulVersion;
  ULONG ulTechnology;
  ULONG ulHorzSize;  // millimetres
  ULONG ulVertSize;
  ULONG ulHorzRes;  // dots
  ULONG ulVertRes;
  ULONG cBitsPixel;
  ULONG cPlanes;
  ULONG ulNumColors;
  FLONG flRaster;
  ULONG ulLogPixelsX;
  ULONG ulLogPixelsY;
  ULONG flTextCaps;
  ULONG ulDACRed;
  ULONG ulDACGreen;
  ULONG ulDACBlue;
  ULONG ulAspectX;
  ULONG ulAspectY;
  ULONG ulAspectXY;
  LONG xStyleStep;
  LONG yStyleStep;
  LONG denStyleStep;
  POINTL ptlPhysOffset;  // offset of the printable area, in dots
  SIZEL szlPhysSize;     // physical page size, in dots
  ULONG ulNumPalReg;
  ULONG ulDevicePelsDPI;
  ULONG ulPrimaryOrder;
  ULONG ulHTPatternSize;
  ULONG ulHTOutputFormat;
  ULONG flHTFlags;
  ULONG ulVRefresh;
  ULONG ulBltAlignment;
  ULONG ulPanningHorzRes;
  ULONG ulPanningVertRes;
};

struct DEVINFO {
  FLONG flGraphicsCaps;
  BYTE lfDefaultFont[92];
  BYTE lfAnsiVarFont[92];
  BYTE lfAnsiFixFont[92];
  ULONG cFonts;
  ULONG iDitherFormat;
  USHORT cxDither;
  USHORT cyDither;
  HPALETTE hpalDefault;
};

// Bitmap formats.
constexpr ULONG BMF_1BPP = 1;
constexpr ULONG BMF_4BPP = 2;
constexpr ULONG BMF_8BPP = 3;
constexpr ULONG BMF_16BPP = 4;
constexpr ULONG BMF_24BPP = 5;
constexpr ULONG BMF_32BPP = 6;

constexpr USHORT STYPE_BITMAP = 0;
constexpr USHORT STYPE_DEVICE = 1;

struct SURFOBJ {
  DHSURF dhsurf;
  HSURF hsurf;
  DHPDEV dhpdev;
  HDEV hdev;
  SIZEL sizlBitmap;
  ULONG cjBits;
  void* pvBits;   // start of the bitmap memory
  void* pvScan0;  // first row
  LONG lDelta;    // signed byte distance from one row to the next
  ULONG iUniq;
  ULONG iBitmapFormat;
  USHORT iType;
  USHORT fjBitmap;
};

struct CLIPOBJ;
struct XLATEOBJ;

// Palette modes.
constexpr ULONG PAL_INDEXED = 0x01;
constexpr ULONG PAL_BITFIELDS = 0x02;
constexpr ULONG PAL_RGB = 0x04;
constexpr ULONG PAL_BGR = 0x08;

// The driver entry table: 31 slots the engine fills with its own entries
// before it hands the table to the driver.
constexpr int DRV_ENTRY_COUNT = 31;
enum DrvEntryIndex : int {
  INDEX_DrvEnablePDEV = 0,
  INDEX_DrvDisablePDEV = 1,
  INDEX_DrvEnableSurface = 2,
  INDEX_DrvDisableSurface = 3,
  INDEX_DrvCopyBits = 11,
  INDEX_DrvSetPalette = 14,
  INDEX_DrvGetModes = 17,
  INDEX_DrvPowerHandler = 22,
  INDEX_DrvEndDoc = 23,
  INDEX_DrvStartDoc = 24,
  INDEX_DrvStartPage = 25,
  INDEX_DrvReserved30 = 30,
};
struct DRVENABLEDATA {
  PFN pfn[DRV_ENTRY_COUNT];
};

// The engine's callback table. Slot 9 creates an engine-managed surface for a
// driver surface, slot 10 deletes it, slot 12 creates a palette.
constexpr int ENG_CALLBACK_COUNT = 24;
enum EngCallbackIndex : int {
  INDEX_EngCreateDeviceSurface = 9,
  INDEX_EngDeleteSurface = 10,
  INDEX_EngCreatePalette = 12,
};
struct ENGCALLBACKS {
  PFN pfn[ENG_CALLBACK_COUNT];
};

// Signatures of the entries the driver replaces or calls.
using PFN_DrvEnablePDEV = DHPDEV (*)(DEVMODEW* pdm, LPWSTR pwszLogAddress, ULONG cPat, HSURF* phsurfPatterns,
                                     ULONG cjCaps, ULONG* pdevcaps, ULONG cjDevInfo, DEVINFO* pdi, HDEV hdev,
                                     LPWSTR pwszDeviceName, HANDLE hDriver);
using PFN_DrvDisablePDEV = void (*)(DHPDEV);
using PFN_DrvEnableSurface = HSURF (*)(DHPDEV);
using PFN_DrvDisableSurface = void (*)(DHPDEV);
using PFN_DrvCopyBits = BOOL (*)(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo, RECTL* prclDst,
                                 POINTL* pptlSrc);
using PFN_DrvSetPalette = BOOL (*)(DHPDEV, void* ppalo, FLONG fl, ULONG iStart, ULONG cColors);
using PFN_DrvGetModes = ULONG (*)(HANDLE hDriver, ULONG cjSize, DEVMODEW* pdm);
using PFN_DrvPowerHandler = void (*)(DHPDEV, BOOL);
using PFN_DrvEndDoc = BOOL (*)(SURFOBJ*, FLONG);
using PFN_DrvStartDoc = BOOL (*)(SURFOBJ*, LPWSTR pwszDocName, DWORD dwJobId);
using PFN_DrvStartPage = BOOL (*)(SURFOBJ*);
using PFN_DrvEnableDriver = BOOL (*)(ULONG iEngineVersion, ULONG cj, DRVENABLEDATA* pded, ENGCALLBACKS* pEngCallbacks);

using PFN_EngCreateDeviceSurface = HSURF (*)(DHSURF dhsurf, SIZEL sizl, ULONG iFormat);
using PFN_EngDeleteSurface = BOOL (*)(HSURF);
using PFN_EngCreatePalette = HPALETTE (*)(ULONG iMode, ULONG cColors, ULONG* pulColors, FLONG flRed, FLONG flGreen,
                                          FLONG flBlue);

extern "C" {
// GDI object deletion. The graphics engine that owns the objects installs the
// routine that really deletes them; without one every object counts as deleted.
KESTPLAT_API BOOL DeleteObject(HANDLE hObject);
KESTPLAT_API void PlatSetDeleteObjectHandler(BOOL (*handler)(HANDLE));
}
