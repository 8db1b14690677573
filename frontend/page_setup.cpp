// Device enable: the engine's defaults first, then the printer's own page
// geometry, the raster buffers and the start of the job. Also the default
// device mode and the registry tree removal used at enable.
#include <cstring>
#include <utility>

#include "frontend/frontend.h"
#include "frontend/geometry/geometry.h"
#include "platform/system.h"

namespace {

constexpr char16_t kDeviceName[] = u"Norv Kest";
constexpr size_t kDeviceNameChars = 9;
constexpr WORD kDriverVersion = 0x0202;
constexpr char16_t kClearTypeKey[] = u"System\\GDI\\ClearType";
constexpr ULONG kDevModeBytes = sizeof(DEVMODEW);

const PaperEntry& LookUpPaper(const BuildGeometry& geometry, SHORT code) {
  for (int i = 0; i < geometry.paperCount; ++i) {
    if (geometry.papers[i].code == code) return geometry.papers[i];
  }
  return geometry.defaultPaper;
}

// Width and height from the paper table or, for the user-defined size, from
// the device mode as far as its field bits allow. False when a dimension
// given comes to no page at all.
bool ApplyPaperSize(const DEVMODEW& dm, const BuildGeometry& geometry, GDIINFO* gi) {
  const LONG dpm = static_cast<LONG>(geometry.dotsPerMm);
  if (dm.dmPaperSize == DMPAPER_USER) {
    // Whole millimetres, read as signed 16-bit values.
    if (dm.dmFields & DM_PAPERWIDTH) {
      if (dm.dmPaperWidth <= 0) return false;
      gi->ulHorzSize = static_cast<ULONG>(dm.dmPaperWidth);
      gi->szlPhysSize.cx = dm.dmPaperWidth * dpm;
    }
    if (dm.dmFields & DM_PAPERLENGTH) {
      if (dm.dmPaperLength <= 0) return false;
      gi->ulVertSize = static_cast<ULONG>(dm.dmPaperLength);
      gi->szlPhysSize.cy = dm.dmPaperLength * dpm;
    }
  } else {
    const PaperEntry& paper = LookUpPaper(geometry, dm.dmPaperSize);
    gi->ulHorzSize = paper.widthMm;
    gi->ulVertSize = paper.heightMm;
    gi->szlPhysSize.cx = static_cast<LONG>(paper.widthMm) * dpm;
    gi->szlPhysSize.cy = static_cast<LONG>(paper.heightMm) * dpm;
  }
  return gi->szlPhysSize.cx > 0 && gi->szlPhysSize.cy > 0;
}

DHPDEV FailEnable(HPALETTE palette, DWORD error) {
  DeleteObject(palette);
  g_printer.Shutdown();
  g_dhpdev = nullptr;
  SetLastError(error);
  return nullptr;
}

// One level of the tree removal, on the shared working path. `length` is the
// number of characters of `path` in use.
BOOL DeleteTreeAt(HKEY root, WCHAR* path, size_t length, size_t capacity) {
  if (RegDeleteKeyW(root, path) == ERROR_SUCCESS) return TRUE;
  HKEY key = nullptr;
  const LONG openResult = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
  if (openResult != ERROR_SUCCESS) return openResult == ERROR_FILE_NOT_FOUND ? TRUE : FALSE;

  size_t base = length;
  const bool hadSeparator = length > 0 && path[length - 1] == u'\\';
  if (!hadSeparator) {
    if (length + 1 >= capacity) {  // no room for the separator and a NUL
      RegCloseKey(key);
      return FALSE;
    }
    path[length] = u'\\';
    path[length + 1] = 0;
    base = length + 1;
  }

  WCHAR name[260];
  WCHAR previous[260];
  previous[0] = 0;
  bool first = true;
  for (;;) {
    DWORD cch = 260;
    if (RegEnumKeyExW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const size_t nameLength = std::char_traits<char16_t>::length(name);
    // A subkey that stays first after its removal was reported gone but is
    // not: stop instead of going round for ever.
    if (!first && std::char_traits<char16_t>::compare(name, previous, nameLength + 1) == 0) break;
    first = false;
    std::char_traits<char16_t>::copy(previous, name, nameLength + 1);
    // The longer path must fit the working buffer with its NUL.
    if (base + nameLength + 1 > capacity) break;
    std::char_traits<char16_t>::copy(path + base, name, nameLength + 1);
    if (!DeleteTreeAt(root, path, base + nameLength, capacity)) break;
  }

  // Back to this key's own path, without any trailing separator.
  path[base - 1] = 0;
  RegCloseKey(key);
  return RegDeleteKeyW(root, path) == ERROR_SUCCESS ? TRUE : FALSE;
}

}  // namespace

BOOL DeleteRegKeyTree(HKEY root, LPCWSTR path) {
  constexpr size_t kCapacity = 520;
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const size_t length = std::char_traits<char16_t>::length(path);
  // An empty path would name the root itself; a longer one than the working
  // buffer cannot be walked.
  if (length == 0 || length + 1 > kCapacity) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WCHAR working[kCapacity];
  std::char_traits<char16_t>::copy(working, path, length + 1);
  return DeleteTreeAt(root, working, length, kCapacity);
}

DHPDEV DrvEnablePDEV(DEVMODEW* pdm, LPWSTR pwszLogAddress, ULONG cPat, HSURF* phsurfPatterns, ULONG cjCaps,
                     ULONG* pdevcaps, ULONG cjDevInfo, DEVINFO* pdi, HDEV hdev, LPWSTR pwszDeviceName,
                     HANDLE hDriver) {
  // The engine's ClearType rendering must not reach this printer's pages.
  DeleteRegKeyTree(HKEY_LOCAL_MACHINE, kClearTypeKey);

  // Everything below reads or writes these records in full.
  if (pdm == nullptr || pdevcaps == nullptr || pdi == nullptr || cjCaps < sizeof(GDIINFO) ||
      cjDevInfo < sizeof(DEVINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }

  if (g_pfnCreatePalette == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HPALETTE palette = g_pfnCreatePalette(PAL_BGR, 0, nullptr, 0, 0, 0);
  if (palette == nullptr) return nullptr;
  pdi->hpalDefault = palette;

  auto engineEnable = reinterpret_cast<PFN_DrvEnablePDEV>(g_savedDrvFns[INDEX_DrvEnablePDEV]);
  if (engineEnable == nullptr) return FailEnable(palette, ERROR_INVALID_PARAMETER);
  g_dhpdev = engineEnable(pdm, pwszLogAddress, cPat, phsurfPatterns, cjCaps, pdevcaps, cjDevInfo, pdi, hdev,
                          pwszDeviceName, hDriver);
  // A null device handle would read as failure to the engine, which would
  // then never disable the device: fail cleanly instead.
  if (g_dhpdev == nullptr) {
    const DWORD error = GetLastError();
    return FailEnable(palette, error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER);
  }
  // The palette is ours whatever the engine's defaults wrote.
  pdi->hpalDefault = palette;

  std::char_traits<char16_t>::copy(pdm->dmDeviceName, kDeviceName, kDeviceNameChars + 1);
  pdm->dmDriverVersion = kDriverVersion;

  GDIINFO* gi = reinterpret_cast<GDIINFO*>(pdevcaps);
  const BuildGeometry& geometry = GetBuildGeometry();
  if (!ApplyPaperSize(*pdm, geometry, gi)) return FailEnable(palette, ERROR_INVALID_PARAMETER);

  gi->ulHorzRes = static_cast<ULONG>(gi->szlPhysSize.cx);
  gi->ulVertRes = static_cast<ULONG>(gi->szlPhysSize.cy);
  gi->ptlPhysOffset = {0, 0};
  const ULONG dpi = pdm->dmPrintQuality == DMRES_DRAFT ? geometry.draftDpi : geometry.normalDpi;
  gi->ulLogPixelsX = dpi;
  gi->ulLogPixelsY = dpi;

  g_widePage = 0;
  if (pdm->dmOrientation == DMORIENT_LANDSCAPE) {
    // The landscape page is at least as wide as tall; its columns become
    // the printer's lines.
    if (gi->ulHorzRes <= gi->ulVertRes) {
      std::swap(gi->szlPhysSize.cx, gi->szlPhysSize.cy);
      std::swap(gi->ptlPhysOffset.x, gi->ptlPhysOffset.y);
      std::swap(gi->ulHorzRes, gi->ulVertRes);
    }
    g_pageWidth = gi->ulHorzRes;
    g_pageHeight = gi->ulVertRes;
  } else {
    g_pageWidth = gi->ulHorzRes;
    g_pageHeight = gi->ulVertRes;
    // A portrait page wider than tall is reported square, so that the engine
    // hands it over row by row; the true height limits the rows sent.
    if (gi->ulHorzRes > gi->ulVertRes) {
      gi->ulVertRes = gi->ulHorzRes;
      g_widePage = 1;
    }
  }

  gi->flRaster &= ~RC_PALETTE;
  gi->ulTechnology = DT_RASPRINTER;
  gi->cBitsPixel = 24;
  gi->ulNumColors = 16777216;

  // A printer line wider than this cannot be framed by the line command.
  const ULONG lineDots = pdm->dmOrientation == DMORIENT_LANDSCAPE ? gi->ulVertRes : gi->ulHorzRes;
  if (lineDots > static_cast<ULONG>(PrinterContext::kMaxLineDots)) return FailEnable(palette, ERROR_INVALID_PARAMETER);

  if (!g_printer.SetupRaster(gi, pdm)) return FailEnable(palette, ERROR_OUTOFMEMORY);
  if (g_printer.StartJob(pwszLogAddress) == INVALID_HANDLE_VALUE) return FailEnable(palette, GetLastError());
  return g_dhpdev;
}

ULONG DrvGetModes(HANDLE, ULONG cjSize, DEVMODEW* pdm) {
  if (pdm == nullptr) return kDevModeBytes;
  if (cjSize != kDevModeBytes) return 0;
  std::memset(pdm, 0, kDevModeBytes);
  std::char_traits<char16_t>::copy(pdm->dmDeviceName, kDeviceName, kDeviceNameChars + 1);
  pdm->dmSpecVersion = 0x0400;
  pdm->dmSize = static_cast<WORD>(kDevModeBytes);
  pdm->dmOrientation = DMORIENT_PORTRAIT;
  pdm->dmPaperSize = DMPAPER_B5;
  pdm->dmCopies = 1;
  pdm->dmPrintQuality = DMRES_HIGH;
  pdm->dmColor = DMCOLOR_MONOCHROME;
  pdm->dmBitsPerPel = 24;
  return kDevModeBytes;
}
