// The GDI half's one output context: the connection to the port driver and
// the output buffer (OutputChannel), followed by the raster engine's working
// memory. No virtual operations; one static instance, g_printer.
#pragma once

#include <cstdint>

#include "platform/gdi.h"
#include "platform/types.h"

// One blank row in the collecting area: its blank-line commands start at
// `start` and take `length` bytes. `needed` rows are always sent, because the
// printer's seeds may hold dots when they arrive.
struct BlankRowMark {
  uint16_t start;
  uint8_t length;
  uint8_t needed;
};

class OutputChannel {
 public:
  static constexpr int32_t kOutputCapacity = 32768;
  static constexpr int32_t kOutputBufferSize = 65536;

  // --- connection and output buffer, in declaration order ---
  HANDLE hDevice = INVALID_HANDLE_VALUE;
  uint8_t outputBuffer[kOutputBufferSize];
  int32_t outputCount = 0;
  uint8_t controlBase = 0;
  int32_t outputCapacity = kOutputCapacity;

  // Where the blank rows lie in the collecting area, so that the flush can
  // shorten runs of them without parsing bytes. A row is marked only when its
  // blank-line commands lie whole in the collecting area; at least three
  // bytes each, hence the bound.
  static constexpr int32_t kMaxBlankRowMarks = kOutputCapacity / 3 + 1;
  BlankRowMark blankRowMarks[kMaxBlankRowMarks];
  int32_t blankRowMarkCount = 0;
  // True while the printer's seed rows are known to be all zero: after a
  // blank row went out (or was dropped after one that did). False after a
  // row with dots, before any row, and after bytes were lost.
  bool printerSeedsClear = false;
  // The error of a flush whose bytes were dropped since the connection was
  // opened; 0 while everything written reached the port. Documents report it.
  DWORD lostOutputError = 0;

  // Port-driver client (frontend/port_client.cpp).
  HANDLE OpenDevice(LPCWSTR portName);
  void CloseDevice();

  // Output buffer (raster/output_buffer.cpp).
  BOOL AppendOutput(const void* data, int32_t length);
  BOOL AppendOutputString(const char* s);
  BOOL FlushOutput();
  // Notes that the row just appended ended the collecting area with `span`
  // bytes of blank-line commands (span 0: the row had dots).
  void NoteRowAppended(int32_t span);
};

class PrinterContext : public OutputChannel {
 public:
  // The widest line whose worst-case delta-row encoding (one command byte per
  // eight changed bytes, plus the bytes) still fits the line command's
  // one-byte count.
  static constexpr int32_t kMaxLineDots = 1808;

  PrinterContext();
  ~PrinterContext();
  PrinterContext(const PrinterContext&) = delete;
  PrinterContext& operator=(const PrinterContext&) = delete;

  // --- raster part, in declaration order ---
  int32_t compressionMode = 0;
  int32_t rowIndex = 0;
  int32_t dotWeightK = 0;
  int32_t dotWeightC = 0;
  int32_t dotWeightM = 0;
  int32_t dotWeightY = 0;
  int32_t hueGainBlue = 0;
  int32_t hueGainGreen = 0;
  BOOL colourMode = FALSE;
  int32_t pixelsPerLine = 0;
  int32_t bytesPerLine = 0;
  uint8_t* dotsCMY = nullptr;
  uint8_t* dotsK = nullptr;
  uint8_t* encodedLine = nullptr;
  int16_t* nextErrorRow = nullptr;
  int16_t* levelsC = nullptr;
  int16_t* levelsY = nullptr;
  int16_t* levelsM = nullptr;
  int16_t* levelsK = nullptr;
  int16_t* errorRowC = nullptr;
  int16_t* errorRowY = nullptr;
  int16_t* errorRowM = nullptr;
  int16_t* errorRowK = nullptr;
  uint8_t* seedRowC = nullptr;
  uint8_t* seedRowY = nullptr;
  uint8_t* seedRowM = nullptr;
  uint8_t* seedRowK = nullptr;
  int16_t* toneTableGrey = nullptr;
  int16_t* toneTableColour = nullptr;
  uint8_t* valueCurve = nullptr;
  int32_t printTimeout = 800;
  uint32_t wakeUpBytes = 0;
  int32_t resetStatusViaRts = 0;
  uint8_t* rotationRow = nullptr;
  // Encode area for the complete delta-row encoding of a line that does not
  // come out shorter than the raw row; sized for the worst case.
  uint8_t* fullEncodedLine = nullptr;
  int32_t fullEncodedLineSize = 0;
  // Whether a plane of the row being sent had dots (for the blank-row marks).
  bool rowHasDots = false;

  // Raster buffers (raster/context.cpp).
  BOOL SetupRaster(const GDIINFO* gdiInfo, const DEVMODEW* devMode);
  void BeginPageRaster();
  void FreeRasterBuffers();

  // Conversion, halftoning and line encoding (raster/tone.cpp,
  // raster/halftone.cpp, raster/line_encoding.cpp).
  BOOL SendRasterLine(const uint8_t* row);
  void ConvertRow(const uint8_t* row);
  BOOL HalftonePlane(const int16_t* levels, int16_t* errorRow, uint8_t* dots, const uint8_t* mask, int32_t dotWeight,
                     uint8_t* seed);
  BOOL SendLine(const uint8_t* dots, uint8_t* seed);
  // FALSE when appending the command failed.
  BOOL SetCompressionMode(int32_t mode);
  BOOL SendLineData(const uint8_t* data, int32_t count);

  // Page flush (raster/output_buffer.cpp).
  BOOL FlushPage();

  // Port-driver client (frontend/port_client.cpp).
  HANDLE StartJob(LPCWSTR portName);
  BOOL Shutdown();
  BOOL WaitReady(DWORD stopFlag);
  BOOL MarkJobActive();
  BOOL MarkJobInactive();
  BOOL ResetPort();
  BOOL SetRts(DWORD value);
  // Reads PrintTimeout, numWakeUpBytes and EnableResetStatusviaRTS; run by
  // the constructor.
  void ReadSettings();

  // Document end commands (frontend/document.cpp).
  BOOL SendTrailer();
  // FALSE when the job-end command could not be written.
  BOOL SendJobEnd();
};

// Free routines of the raster engine.
void RgbToHsv(int r, int g, int b, int* hue, int* sat, int* val);
void HsvToRgb(int hue, int s, int v, int* r, int* g, int* b);
// Delta-row encoding; 2147483647 when the encoded line would not be shorter
// than the raw row.
int32_t DeltaRowEncode(const uint8_t* row, int32_t length, uint8_t* out, const uint8_t* seed);
// The same runs into an area of `capacity` bytes; 2147483647 when they need
// `capacity` bytes or more.
int32_t DeltaRowEncodeInto(const uint8_t* row, int32_t length, uint8_t* out, int32_t capacity, const uint8_t* seed);
// One run; bytes written, or -1 when it does not fit before `end`.
int32_t EmitDeltaRun(int32_t count, int32_t offset, const uint8_t* data, uint8_t** position, const uint8_t* end);
// Worst-case size of the complete delta-row encoding of a row of `length`
// bytes: all bytes changed, one command byte per eight.
constexpr int32_t DeltaRowWorstCase(int32_t length) { return length + (length + 7) / 8; }
// Blank-row filter: copies src to dst, leaving out the blank rows of each run
// of adjacent marks past the first `keep` (needed rows always stay). Bytes
// written; -1 for an empty source.
int32_t FilterBlankLines(const uint8_t* src, int32_t srcLen, const BlankRowMark* marks, int32_t markCount,
                         int32_t keep, uint8_t* dst);

constexpr int32_t kDeltaEncodeFailed = 2147483647;
