// Raster working memory: sized and allocated once per device enable, cleared
// at each page start, released on shutdown.
#include <cmath>
#include <cstring>

#include "platform/system.h"
#include "raster/printer_context.h"

namespace {

template <class T>
T* AllocArray(size_t count) {
  return static_cast<T*>(LocalAlloc(LPTR, count * sizeof(T)));
}

template <class T>
void Release(T*& p) {
  if (p != nullptr) {
    LocalFree(p);
    p = nullptr;
  }
}

// 13-bit tone table: entry i = i^exponent / d + 0.5 truncated, d = 255^exponent / 8192.
void FillToneTable(int16_t* table, double exponent, int firstComputed) {
  const double d = std::pow(255.0, exponent) * 0.0001220703125;
  for (int i = 0; i < firstComputed; ++i) table[i] = 0;
  for (int i = firstComputed; i <= 254; ++i) {
    table[i] = static_cast<int16_t>(static_cast<int>(std::pow(static_cast<double>(i), exponent) / d + 0.5));
  }
  table[255] = 8192;
}

}  // namespace

BOOL PrinterContext::SetupRaster(const GDIINFO* gdiInfo, const DEVMODEW* devMode) {
  FreeRasterBuffers();
  if (gdiInfo == nullptr || devMode == nullptr) return FALSE;

  colourMode = devMode->dmColor == DMCOLOR_COLOR ? TRUE : FALSE;
  const bool landscape = devMode->dmOrientation == DMORIENT_LANDSCAPE;
  const ULONG dots = landscape ? gdiInfo->ulVertRes : gdiInfo->ulHorzRes;
  // A line must have dots, and its worst-case delta-row encoding must still
  // fit the one-byte count of the line command.
  if (dots == 0 || dots > kMaxLineDots) {
    pixelsPerLine = 0;
    bytesPerLine = 0;
    return FALSE;
  }
  pixelsPerLine = static_cast<int32_t>(dots);
  if (landscape) rotationRow = AllocArray<uint8_t>(static_cast<size_t>(pixelsPerLine) * 3);
  bytesPerLine = (pixelsPerLine + 7) / 8;

  const size_t px = static_cast<size_t>(pixelsPerLine);
  const size_t bytes = static_cast<size_t>(bytesPerLine);
  dotsCMY = AllocArray<uint8_t>(bytes);
  dotsK = AllocArray<uint8_t>(bytes);
  encodedLine = AllocArray<uint8_t>(bytes);
  nextErrorRow = AllocArray<int16_t>(px + 2);
  levelsK = AllocArray<int16_t>(px);
  errorRowK = AllocArray<int16_t>(px);
  seedRowK = AllocArray<uint8_t>(bytes);
  toneTableGrey = AllocArray<int16_t>(256);
  if (toneTableGrey != nullptr) FillToneTable(toneTableGrey, 1.4, 2);

  if (colourMode) {
    levelsC = AllocArray<int16_t>(px);
    levelsM = AllocArray<int16_t>(px);
    levelsY = AllocArray<int16_t>(px);
    errorRowC = AllocArray<int16_t>(px);
    errorRowM = AllocArray<int16_t>(px);
    errorRowY = AllocArray<int16_t>(px);
    seedRowC = AllocArray<uint8_t>(bytes);
    seedRowM = AllocArray<uint8_t>(bytes);
    seedRowY = AllocArray<uint8_t>(bytes);
    toneTableColour = AllocArray<int16_t>(256);
    if (toneTableColour != nullptr) FillToneTable(toneTableColour, 1.3, 1);
    valueCurve = AllocArray<uint8_t>(256);
    if (valueCurve != nullptr) {
      const double d = std::pow(255.0, 2.1) / 255.0;
      valueCurve[0] = 0;
      for (int i = 1; i <= 254; ++i) {
        valueCurve[i] = static_cast<uint8_t>(static_cast<int>(std::pow(static_cast<double>(i), 2.1) / d + 0.5));
      }
      valueCurve[255] = 255;
    }
  }

  // Room for the complete delta-row encoding of any line (the encoder needs
  // one byte beyond what it writes).
  fullEncodedLineSize = DeltaRowWorstCase(bytesPerLine) + 8;
  fullEncodedLine = AllocArray<uint8_t>(static_cast<size_t>(fullEncodedLineSize));

  dotWeightK = 10649;
  dotWeightC = 9011;
  dotWeightM = 9830;
  dotWeightY = 9011;
  hueGainBlue = 163;
  hueGainGreen = 229;

  bool ok = dotsCMY && dotsK && encodedLine && fullEncodedLine && nextErrorRow && (!landscape || rotationRow) &&
            levelsK && errorRowK && seedRowK && toneTableGrey;
  if (colourMode) {
    ok = ok && levelsC && levelsM && levelsY && errorRowC && errorRowM && errorRowY && seedRowC && seedRowM &&
         seedRowY && valueCurve && toneTableColour;
  }
  return ok ? TRUE : FALSE;
}

void PrinterContext::BeginPageRaster() {
  compressionMode = 0;
  const size_t px = static_cast<size_t>(pixelsPerLine);
  const size_t bytes = static_cast<size_t>(bytesPerLine);
  if (seedRowK) std::memset(seedRowK, 0, bytes);
  if (errorRowK) std::memset(errorRowK, 0, px * sizeof(int16_t));
  if (colourMode) {
    for (uint8_t* seed : {seedRowC, seedRowM, seedRowY}) {
      if (seed) std::memset(seed, 0, bytes);
    }
    for (int16_t* err : {errorRowC, errorRowM, errorRowY}) {
      if (err) std::memset(err, 0, px * sizeof(int16_t));
    }
  }
  crt::srand(119);
}

void PrinterContext::FreeRasterBuffers() {
  Release(rotationRow);
  Release(dotsCMY);
  Release(dotsK);
  Release(encodedLine);
  Release(fullEncodedLine);
  Release(nextErrorRow);
  Release(levelsC);
  Release(levelsY);
  Release(levelsM);
  Release(levelsK);
  Release(seedRowC);
  Release(seedRowY);
  Release(seedRowM);
  Release(seedRowK);
  Release(errorRowC);
  Release(errorRowY);
  Release(errorRowM);
  Release(errorRowK);
  Release(toneTableGrey);
  Release(toneTableColour);
  Release(valueCurve);
}
