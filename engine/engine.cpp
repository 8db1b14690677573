// The graphics-engine stand-in. The driver sees an engine that fills a full
// driver table with its own entries, offers surface and palette callbacks,
// renders each page into a 24-bit bitmap stored bottom-up and hands it to
// DrvCopyBits whole or in bands.
#include "engine/engine.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/system.h"

namespace engine {

namespace {

// --- engine objects, process-wide -------------------------------------------

struct SurfaceRecord {
  DHSURF dhsurf;
  SIZEL size;
  ULONG format;
};
struct PaletteRecord {
  ULONG mode;
  ULONG colours;
};

std::mutex g_objectsLock;
std::map<uintptr_t, SurfaceRecord> g_surfaces;
std::map<uintptr_t, PaletteRecord> g_palettes;
// Handle values only grow, so a stale handle never names a newer object.
uintptr_t g_nextHandle = 0x10000;
std::atomic<bool> g_failNextPalette{false};
std::atomic<bool> g_failNextSurface{false};

void* NewHandleLocked() {
  g_nextHandle += 0x10;
  return reinterpret_cast<void*>(g_nextHandle);
}

HSURF EngCreateDeviceSurface(DHSURF dhsurf, SIZEL sizl, ULONG iFormat) {
  if (g_failNextSurface.exchange(false)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (sizl.cx <= 0 || sizl.cy <= 0 || iFormat < BMF_1BPP || iFormat > BMF_32BPP) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_objectsLock);
  void* h = NewHandleLocked();
  g_surfaces[reinterpret_cast<uintptr_t>(h)] = {dhsurf, sizl, iFormat};
  return h;
}

BOOL EngDeleteSurface(HSURF hsurf) {
  std::lock_guard<std::mutex> lock(g_objectsLock);
  if (g_surfaces.erase(reinterpret_cast<uintptr_t>(hsurf)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HPALETTE EngCreatePalette(ULONG iMode, ULONG cColors, ULONG* pulColors, FLONG, FLONG, FLONG) {
  if (g_failNextPalette.exchange(false)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (iMode == PAL_INDEXED && cColors > 0 && pulColors == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_objectsLock);
  void* h = NewHandleLocked();
  g_palettes[reinterpret_cast<uintptr_t>(h)] = {iMode, cColors};
  return h;
}

BOOL DeleteEngineObject(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_objectsLock);
  if (g_palettes.erase(reinterpret_cast<uintptr_t>(h)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// --- the engine's own entries -------------------------------------------------

std::atomic<int> g_entryCalls[DRV_ENTRY_COUNT];

DHPDEV DefaultEnablePDEV(DEVMODEW*, LPWSTR, ULONG, HSURF*, ULONG cjCaps, ULONG* pdevcaps, ULONG cjDevInfo,
                         DEVINFO* pdi, HDEV hdev, LPWSTR, HANDLE) {
  ++g_entryCalls[INDEX_DrvEnablePDEV];
  if (pdevcaps != nullptr) {
    const GDIINFO gi = DefaultGdiInfo();
    std::memcpy(pdevcaps, &gi, std::min<size_t>(cjCaps, sizeof gi));
  }
  if (pdi != nullptr && cjDevInfo >= sizeof(DEVINFO)) {
    // The driver's palette stays: the engine only supplies what is missing.
    DEVINFO di = DefaultDevInfo();
    di.hpalDefault = pdi->hpalDefault;
    *pdi = di;
  }
  // The engine's device handle is its own device record.
  return static_cast<DHPDEV>(hdev);
}

// Every other entry only counts that it was reached; the driver never should
// forward to them with this engine, and tests see it if it does.
template <int N>
void CountingEntry() {
  ++g_entryCalls[N];
}

template <int... I>
void FillOwnEntries(DRVENABLEDATA* t, std::integer_sequence<int, I...>) {
  ((t->pfn[I] = &CountingEntry<I>), ...);
}

template <int N>
void UnusedCallback() {}

template <int... I>
void FillCallbacks(ENGCALLBACKS* t, std::integer_sequence<int, I...>) {
  ((t->pfn[I] = &UnusedCallback<I>), ...);
}

DRVENABLEDATA MakeOwnTable() {
  DRVENABLEDATA t{};
  FillOwnEntries(&t, std::make_integer_sequence<int, DRV_ENTRY_COUNT>());
  t.pfn[INDEX_DrvEnablePDEV] = reinterpret_cast<PFN>(&DefaultEnablePDEV);
  return t;
}

ENGCALLBACKS MakeCallbacks() {
  ENGCALLBACKS c{};
  FillCallbacks(&c, std::make_integer_sequence<int, ENG_CALLBACK_COUNT>());
  c.pfn[INDEX_EngCreateDeviceSurface] = reinterpret_cast<PFN>(&EngCreateDeviceSurface);
  c.pfn[INDEX_EngDeleteSurface] = reinterpret_cast<PFN>(&EngDeleteSurface);
  c.pfn[INDEX_EngCreatePalette] = reinterpret_cast<PFN>(&EngCreatePalette);
  return c;
}

// The page bitmap is refused beyond this, rather than allocated.
constexpr int64_t kMaxPageBytes = int64_t{512} << 20;
// Rows not drawn yet: black, so that a driver reading outside the band it
// was given prints something visibly wrong.
constexpr uint8_t kUndrawn = 0x00;

CallResult Record(BOOL result) { return {result, GetLastError()}; }

}  // namespace

Image::Image(int w, int h, uint8_t grey)
    : width(w), height(h), rgb(static_cast<size_t>(std::max(w, 0)) * std::max(h, 0) * 3, grey) {}

void Image::Set(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
  uint8_t* p = Pixel(x, y);
  p[0] = r;
  p[1] = g;
  p[2] = b;
}

bool PageResult::Ok() const {
  if (!startPage) return false;
  return std::all_of(copyBits.begin(), copyBits.end(), [](const CallResult& c) { return bool(c); });
}

bool DocumentResult::Ok() const {
  return startDoc && endDoc && std::all_of(pages.begin(), pages.end(), [](const PageResult& p) { return p.Ok(); });
}

int LiveSurfaces() {
  std::lock_guard<std::mutex> lock(g_objectsLock);
  return static_cast<int>(g_surfaces.size());
}

std::optional<SurfaceInfo> FindSurface(HSURF hsurf) {
  std::lock_guard<std::mutex> lock(g_objectsLock);
  auto it = g_surfaces.find(reinterpret_cast<uintptr_t>(hsurf));
  if (it == g_surfaces.end()) return std::nullopt;
  return SurfaceInfo{it->second.dhsurf, it->second.size, it->second.format};
}

int LivePalettes() {
  std::lock_guard<std::mutex> lock(g_objectsLock);
  return static_cast<int>(g_palettes.size());
}

GDIINFO DefaultGdiInfo() {
  GDIINFO gi{};
  gi.ulVersion = 0x5000;
  gi.ulTechnology = DT_RASPRINTER;
  gi.ulHorzSize = 105;
  gi.ulVertSize = 148;
  gi.ulHorzRes = 1240;
  gi.ulVertRes = 1748;
  gi.cBitsPixel = 1;
  gi.cPlanes = 1;
  gi.ulNumColors = 2;
  gi.flRaster = RC_BITBLT | RC_BANDING | RC_PALETTE | RC_BITMAP64;
  gi.ulLogPixelsX = 300;
  gi.ulLogPixelsY = 300;
  gi.ulDACRed = 8;
  gi.ulDACGreen = 8;
  gi.ulDACBlue = 8;
  gi.ulAspectX = 100;
  gi.ulAspectY = 100;
  gi.ulAspectXY = 141;
  gi.xStyleStep = 1;
  gi.yStyleStep = 1;
  gi.denStyleStep = 3;
  gi.ptlPhysOffset = {0, 0};
  gi.szlPhysSize = {1240, 1748};
  gi.ulDevicePelsDPI = 300;
  return gi;
}

DEVINFO DefaultDevInfo() {
  DEVINFO di{};
  di.cFonts = 0;
  di.iDitherFormat = BMF_1BPP;
  di.cxDither = 8;
  di.cyDither = 8;
  return di;
}

Engine::Engine(const std::string& driverPath) {
  library_ = dlopen(driverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    const char* why = dlerror();
    loadError_ = why != nullptr ? why : "cannot load the driver library";
    return;
  }
  auto enable = reinterpret_cast<PFN_DrvEnableDriver>(dlsym(library_, "DrvEnableDriver"));
  if (enable == nullptr) {
    loadError_ = "the library has no DrvEnableDriver";
    return;
  }
  Init(enable);
}

Engine::Engine(PFN_DrvEnableDriver enableDriver) {
  if (enableDriver == nullptr) {
    loadError_ = "no DrvEnableDriver";
    return;
  }
  Init(enableDriver);
}

void Engine::Init(PFN_DrvEnableDriver enableDriver) {
  PlatSetDeleteObjectHandler(&DeleteEngineObject);
  table_ = MakeOwnTable();
  callbacks_ = MakeCallbacks();
  if (!enableDriver(0x00020000, sizeof table_, &table_, &callbacks_)) {
    loadError_ = "DrvEnableDriver failed";
    return;
  }
  loaded_ = true;
}

Engine::~Engine() {
  Disable();
  if (library_ != nullptr) dlclose(library_);
}

PFN Engine::EngineEntry(int index) {
  static const DRVENABLEDATA own = MakeOwnTable();
  return index >= 0 && index < DRV_ENTRY_COUNT ? own.pfn[index] : nullptr;
}

int Engine::EngineEntryCalls(int index) {
  return index >= 0 && index < DRV_ENTRY_COUNT ? g_entryCalls[index].load() : 0;
}

void Engine::ResetEngineEntryCalls() {
  for (auto& c : g_entryCalls) c = 0;
}

void Engine::FailNextPalette() { g_failNextPalette = true; }
void Engine::FailNextSurface() { g_failNextSurface = true; }

CallResult Engine::Enable(const DEVMODEW& devMode, const char16_t* portName) {
  if (!loaded_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Record(FALSE);
  }
  Disable();
  devMode_ = devMode;
  gdiInfo_ = GDIINFO{};
  devInfo_ = DEVINFO{};
  LPWSTR port = nullptr;
  if (portName != nullptr) {
    portName_ = portName;
    port = portName_.data();
  }
  static char16_t deviceName[] = u"Norv Kest";
  auto enablePdev = reinterpret_cast<PFN_DrvEnablePDEV>(table_.pfn[INDEX_DrvEnablePDEV]);
  SetLastError(ERROR_SUCCESS);
  DHPDEV dhpdev = enablePdev(&devMode_, port, 0, nullptr, sizeof gdiInfo_, reinterpret_cast<ULONG*>(&gdiInfo_),
                             sizeof devInfo_, &devInfo_, static_cast<HDEV>(this), deviceName, library_);
  if (dhpdev == nullptr) return Record(FALSE);
  dhpdev_ = dhpdev;

  // The engine renders the page it was told about.
  const int64_t w = gdiInfo_.ulHorzRes;
  const int64_t h = gdiInfo_.ulVertRes;
  const int64_t stride = (w * 3 + 3) & ~int64_t{3};  // rows kept 4-byte aligned
  if (w <= 0 || h <= 0 || w > 65535 || h > 65535 || stride * h > kMaxPageBytes) {
    Disable();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return Record(FALSE);
  }
  pageWidth_ = static_cast<int>(w);
  pageHeight_ = static_cast<int>(h);
  stride_ = static_cast<int>(stride);
  bits_.assign(static_cast<size_t>(stride * h), kUndrawn);

  auto enableSurface = reinterpret_cast<PFN_DrvEnableSurface>(table_.pfn[INDEX_DrvEnableSurface]);
  SetLastError(ERROR_SUCCESS);
  hsurf_ = enableSurface(dhpdev_);
  if (hsurf_ == nullptr) {
    const CallResult failed = Record(FALSE);
    Disable();
    SetLastError(failed.error);
    return failed;
  }
  deviceSurface_ = SURFOBJ{};
  if (const auto info = FindSurface(hsurf_)) {
    deviceSurface_.dhsurf = info->dhsurf;
    deviceSurface_.sizlBitmap = info->size;
    deviceSurface_.iBitmapFormat = info->format;
  }
  deviceSurface_.hsurf = hsurf_;
  deviceSurface_.dhpdev = dhpdev_;
  deviceSurface_.hdev = static_cast<HDEV>(this);
  deviceSurface_.iType = STYPE_DEVICE;
  return Record(TRUE);
}

void Engine::Disable() {
  if (dhpdev_ == nullptr) return;
  if (hsurf_ != nullptr) {
    reinterpret_cast<PFN_DrvDisableSurface>(table_.pfn[INDEX_DrvDisableSurface])(dhpdev_);
    hsurf_ = nullptr;
  }
  reinterpret_cast<PFN_DrvDisablePDEV>(table_.pfn[INDEX_DrvDisablePDEV])(dhpdev_);
  dhpdev_ = nullptr;
  // The device's default palette goes with the device.
  if (devInfo_.hpalDefault != nullptr) {
    DeleteObject(devInfo_.hpalDefault);
    devInfo_.hpalDefault = nullptr;
  }
  bits_.clear();
  bits_.shrink_to_fit();
  pageWidth_ = pageHeight_ = stride_ = 0;
}

void Engine::PoisonPage() { std::fill(bits_.begin(), bits_.end(), kUndrawn); }

void Engine::DrawRows(const Image& page, int y0, int y1) {
  for (int y = y0; y < y1; ++y) {
    // Row y from the top lives (height - 1 - y) rows into the memory.
    uint8_t* row = bits_.data() + static_cast<size_t>(pageHeight_ - 1 - y) * stride_;
    std::fill(row, row + static_cast<size_t>(pageWidth_) * 3, 0xFF);
    if (y >= page.height) continue;
    const int w = std::min(pageWidth_, page.width);
    for (int x = 0; x < w; ++x) {
      const uint8_t* rgb = page.Pixel(x, y);
      row[x * 3 + 0] = rgb[2];
      row[x * 3 + 1] = rgb[1];
      row[x * 3 + 2] = rgb[0];
    }
  }
}

SURFOBJ Engine::SourceSurface() {
  SURFOBJ so{};
  so.hdev = static_cast<HDEV>(this);
  so.sizlBitmap = {pageWidth_, pageHeight_};
  so.cjBits = static_cast<ULONG>(bits_.size());
  so.pvBits = bits_.data();
  so.pvScan0 = bits_.data() + static_cast<size_t>(pageHeight_ - 1) * stride_;
  so.lDelta = -stride_;
  so.iBitmapFormat = BMF_24BPP;
  so.iType = STYPE_BITMAP;
  return so;
}

DocumentResult Engine::PrintDocument(const std::vector<Image>& pages, int bandHeight) {
  DocumentResult doc;
  auto startDoc = reinterpret_cast<PFN_DrvStartDoc>(table_.pfn[INDEX_DrvStartDoc]);
  auto startPage = reinterpret_cast<PFN_DrvStartPage>(table_.pfn[INDEX_DrvStartPage]);
  auto copyBits = reinterpret_cast<PFN_DrvCopyBits>(table_.pfn[INDEX_DrvCopyBits]);
  auto endDoc = reinterpret_cast<PFN_DrvEndDoc>(table_.pfn[INDEX_DrvEndDoc]);
  if (!Enabled()) {
    SetLastError(ERROR_INVALID_HANDLE);
    doc.startDoc = Record(FALSE);
    doc.endDoc = doc.startDoc;
    return doc;
  }

  static char16_t docName[] = u"document";
  SetLastError(ERROR_SUCCESS);
  doc.startDoc = Record(startDoc(&deviceSurface_, docName, 1));
  bool going = bool(doc.startDoc);
  for (size_t i = 0; going && i < pages.size(); ++i) {
    PageResult page;
    SetLastError(ERROR_SUCCESS);
    page.startPage = Record(startPage(&deviceSurface_));
    if (!page.startPage) {
      doc.pages.push_back(std::move(page));
      break;
    }
    if (pageStarted_) pageStarted_(static_cast<int>(i));
    PoisonPage();
    SURFOBJ source = SourceSurface();
    // A band of rows cannot make up whole columns: a page wider than tall is
    // handed over in one piece.
    const bool whole = bandHeight <= 0 || pageWidth_ > pageHeight_;
    const int band = whole ? pageHeight_ : bandHeight;
    for (int y0 = 0; y0 < pageHeight_; y0 += band) {
      const int y1 = std::min(pageHeight_, y0 + band);
      DrawRows(pages[i], y0, y1);
      RECTL rect = whole ? RECTL{0, 0, pageWidth_, pageHeight_} : RECTL{0, y0, pageWidth_, y1};
      POINTL origin = {rect.left, rect.top};
      SetLastError(ERROR_SUCCESS);
      page.copyBits.push_back(Record(copyBits(&deviceSurface_, &source, nullptr, nullptr, &rect, &origin)));
      if (!page.copyBits.back()) {
        going = false;
        break;
      }
    }
    doc.pages.push_back(std::move(page));
  }
  SetLastError(ERROR_SUCCESS);
  doc.endDoc = Record(endDoc(&deviceSurface_, 0));
  return doc;
}

}  // namespace engine
