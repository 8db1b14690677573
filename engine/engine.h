// The graphics-engine stand-in: loads a printer driver, hands it a full
// driver table of the engine's own entries and the engine's callbacks, and
// runs printer device contexts: enable, surface, documents of pages rendered
// into 24-bit bottom-up bitmaps, disable.
//
// One device context at a time per driver, as the driver expects; the
// engine's objects (surfaces, palettes) are tracked process-wide.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/gdi.h"

namespace engine {

// A page as the application drew it: 8-bit R G B, top row first.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3

  Image() = default;
  Image(int w, int h, uint8_t grey = 0xFF);
  uint8_t* Pixel(int x, int y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
  const uint8_t* Pixel(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
  void Set(int x, int y, uint8_t r, uint8_t g, uint8_t b);
};

// One call into the driver: its BOOL (or handle turned to 0/1) and the
// last-error value right after it.
struct CallResult {
  BOOL result = FALSE;
  DWORD error = 0;
  explicit operator bool() const { return result != FALSE; }
};

struct PageResult {
  CallResult startPage;
  std::vector<CallResult> copyBits;  // one per band
  bool Ok() const;
};

struct DocumentResult {
  CallResult startDoc;
  std::vector<PageResult> pages;  // the pages that were started
  CallResult endDoc;
  bool Ok() const;
};

// Live engine objects, process-wide.
int LiveSurfaces();
int LivePalettes();

// A device surface the engine created through its callback.
struct SurfaceInfo {
  DHSURF dhsurf = nullptr;  // the driver's surface handle
  SIZEL size{};
  ULONG format = 0;
};
std::optional<SurfaceInfo> FindSurface(HSURF hsurf);

// What the engine's own DrvEnablePDEV writes before the driver imposes its
// geometry: a monochrome raster page of 105 x 148 mm at 300 dpi.
GDIINFO DefaultGdiInfo();
DEVINFO DefaultDevInfo();

class Engine {
 public:
  // Loads the driver library (dlopen) and calls its DrvEnableDriver.
  explicit Engine(const std::string& driverPath);
  // Uses a DrvEnableDriver the caller already has (a driver linked in).
  explicit Engine(PFN_DrvEnableDriver enableDriver);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // False when the library could not be loaded or DrvEnableDriver failed;
  // LoadError says why.
  bool Loaded() const { return loaded_; }
  const std::string& LoadError() const { return loadError_; }

  // The table as the driver left it, and the engine's own entries.
  const DRVENABLEDATA& DriverTable() const { return table_; }
  static PFN EngineEntry(int index);
  // Times the engine's own entry `index` was called (by the driver
  // forwarding to it). Entry 0 counts the default DrvEnablePDEV.
  static int EngineEntryCalls(int index);
  static void ResetEngineEntryCalls();

  // Faults for tests: the next palette or surface creation fails.
  static void FailNextPalette();
  static void FailNextSurface();

  // Creates the printer device context: DrvEnablePDEV with the device mode
  // (copied; the driver may change the copy) and the port name (null for
  // none), then DrvEnableSurface. On a failed surface the device is disabled
  // again. The page bitmap follows the resolution the driver reported.
  CallResult Enable(const DEVMODEW& devMode, const char16_t* portName);
  bool Enabled() const { return dhpdev_ != nullptr; }

  // One document: DrvStartDoc, for each page DrvStartPage, the page drawn
  // into the bitmap and DrvCopyBits over it whole (bandHeight <= 0) or in
  // bands of bandHeight rows, then DrvEndDoc. A page wider than tall goes in
  // one call: each printer line is a whole column of it. The first failure
  // ends the document early (DrvEndDoc still runs).
  DocumentResult PrintDocument(const std::vector<Image>& pages, int bandHeight = 0);

  // Called after each successful DrvStartPage, before the page is drawn and
  // handed over, with the page's index: the previous page has been written
  // out by then and none of this one's rows yet.
  void SetPageStartedHook(std::function<void(int)> hook) { pageStarted_ = std::move(hook); }

  // DrvDisableSurface and DrvDisablePDEV; nothing when not enabled.
  void Disable();

  const DEVMODEW& DevMode() const { return devMode_; }
  const GDIINFO& GdiInfo() const { return gdiInfo_; }
  const DEVINFO& DevInfo() const { return devInfo_; }
  DHPDEV DeviceHandle() const { return dhpdev_; }
  HSURF Surface() const { return hsurf_; }
  // The engine's page bitmap: size and row stride in bytes.
  int PageWidth() const { return pageWidth_; }
  int PageHeight() const { return pageHeight_; }
  int PageStride() const { return stride_; }

 private:
  void Init(PFN_DrvEnableDriver enableDriver);
  void DrawRows(const Image& page, int y0, int y1);
  void PoisonPage();
  SURFOBJ SourceSurface();

  void* library_ = nullptr;
  bool loaded_ = false;
  std::string loadError_;
  DRVENABLEDATA table_{};
  ENGCALLBACKS callbacks_{};

  DEVMODEW devMode_{};
  GDIINFO gdiInfo_{};
  DEVINFO devInfo_{};
  std::u16string portName_;
  DHPDEV dhpdev_ = nullptr;
  HSURF hsurf_ = nullptr;
  SURFOBJ deviceSurface_{};

  int pageWidth_ = 0;
  int pageHeight_ = 0;
  int stride_ = 0;
  std::vector<uint8_t> bits_;  // bottom row first
  std::function<void(int)> pageStarted_;
};

}  // namespace engine
