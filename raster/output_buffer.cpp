// The output buffer: bytes collect in the first half of outputBuffer and go
// to the port driver in one NVP_WRITE when the half is full or a caller
// flushes. On the way the blank-row filter shortens long runs of blank rows.
#include <cstring>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "raster/printer_context.h"

namespace {

struct FlushSettings {
  int32_t retries = 11;
  DWORD retryWait = 1;
  bool filter = true;
  int32_t keep = 3;
};

// Read at every flush, so that a change takes effect at the next one. A
// missing key or value keeps its default.
FlushSettings ReadFlushSettings() {
  FlushSettings s;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortDriverKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return s;
  auto read = [key](const char16_t* name, DWORD* value) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof data) {
      *value = data;
      return true;
    }
    return false;
  };
  DWORD v = 0;
  if (read(u"NumFlushRetries", &v)) s.retries = static_cast<int32_t>(v);
  if (read(u"FlushRetryWait", &v)) s.retryWait = v;
  if (read(u"EnablePageFilter", &v)) s.filter = v == 1;
  if (read(u"CntOfDel-0-Bytes", &v)) s.keep = static_cast<int32_t>(v);
  RegCloseKey(key);
  if (s.retryWait == 0) s.retryWait = 1;
  return s;
}

}  // namespace

int32_t FilterBlankLines(const uint8_t* src, int32_t srcLen, const BlankRowMark* marks, int32_t markCount, int32_t keep,
                         uint8_t* dst) {
  if (srcLen <= 0) return -1;
  if (keep < 0) keep = 0;
  int32_t pos = 0;  // source bytes up to here are copied or dropped
  int32_t out = 0;
  int32_t rank = 0;  // place of the current mark in its run of adjacent blank rows
  int32_t lastEnd = -1;
  for (int32_t i = 0; i < markCount; ++i) {
    const int32_t start = marks[i].start;
    const int32_t end = start + marks[i].length;
    // A mark that does not lie after the last one inside the source is not
    // trusted: its bytes pass unchanged.
    if (marks[i].length == 0 || start < pos || end > srcLen || start < lastEnd) continue;
    rank = start == lastEnd ? rank + 1 : 1;
    lastEnd = end;
    if (marks[i].needed || rank <= keep) continue;
    std::memcpy(dst + out, src + pos, static_cast<size_t>(start - pos));
    out += start - pos;
    pos = end;
  }
  std::memcpy(dst + out, src + pos, static_cast<size_t>(srcLen - pos));
  return out + (srcLen - pos);
}

void OutputChannel::NoteRowAppended(int32_t span) {
  if (span <= 0) {
    printerSeedsClear = false;
    return;
  }
  // The row's blank-line commands are the last `span` bytes appended; they
  // are marked only if no flush came between them.
  const int32_t start = outputCount - span;
  if (start >= 0 && span <= 255) {
    if (blankRowMarkCount > 0) {
      const BlankRowMark& last = blankRowMarks[blankRowMarkCount - 1];
      // The collecting area was emptied behind our back: the marks are stale.
      if (last.start + last.length > start) blankRowMarkCount = 0;
    }
    if (blankRowMarkCount < kMaxBlankRowMarks) {
      blankRowMarks[blankRowMarkCount++] = {static_cast<uint16_t>(start), static_cast<uint8_t>(span),
                                            static_cast<uint8_t>(printerSeedsClear ? 0 : 1)};
    }
  }
  printerSeedsClear = true;
}

BOOL OutputChannel::AppendOutput(const void* data, int32_t length) {
  if (data == nullptr || length < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int32_t capacity = outputCapacity > 0 && outputCapacity <= kOutputCapacity ? outputCapacity : kOutputCapacity;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  BOOL result = TRUE;
  while (length > 0 && result) {
    // A full area is written only when more bytes arrive; it is emptied
    // whether or not the write succeeds.
    if (outputCount >= capacity) result = FlushOutput();
    const int32_t n = length < capacity - outputCount ? length : capacity - outputCount;
    std::memcpy(outputBuffer + outputCount, p, static_cast<size_t>(n));
    outputCount += n;
    p += n;
    length -= n;
  }
  return result;
}

BOOL OutputChannel::AppendOutputString(const char* s) {
  if (s == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return AppendOutput(s, static_cast<int32_t>(std::strlen(s)));
}

BOOL OutputChannel::FlushOutput() {
  if (outputCount <= 0) {
    outputCount = 0;
    blankRowMarkCount = 0;
    return TRUE;
  }
  const FlushSettings settings = ReadFlushSettings();
  uint8_t* send = outputBuffer + kOutputCapacity;
  int32_t sendLength;
  if (settings.filter) {
    sendLength = FilterBlankLines(outputBuffer, outputCount, blankRowMarks, blankRowMarkCount, settings.keep, send);
  } else {
    std::memcpy(send, outputBuffer, static_cast<size_t>(outputCount));
    sendLength = outputCount;
  }

  BOOL result = TRUE;
  bool written = false;
  int32_t sent = 0;  // bytes the port has taken: a retry goes on after them
  DWORD error = 0;
  for (int32_t attempt = 0; attempt < settings.retries; ++attempt) {
    DWORD taken = 0;
    result = DeviceIoControl(hDevice, controlBase + NVP_WRITE, send + sent, static_cast<DWORD>(sendLength - sent),
                             nullptr, 0, &taken, nullptr);
    if (result) {
      written = true;
      break;
    }
    error = GetLastError();
    if (taken > 0 && taken < static_cast<DWORD>(sendLength - sent)) sent += static_cast<int32_t>(taken);
    // Only a printer reported ready is worth another attempt.
    DWORD stopFlag = 0;
    if (!DeviceIoControl(hDevice, controlBase + NVP_CHECK_STATUS, &stopFlag, sizeof stopFlag, nullptr, 0, nullptr,
                         nullptr)) {
      error = GetLastError();  // the printer's state says more than the write
      break;
    }
    Sleep(settings.retryWait);
  }

  // Bytes not written are dropped; the printer's state is then unknown.
  outputCount = 0;
  blankRowMarkCount = 0;
  if (!written) {
    printerSeedsClear = false;
    if (settings.retries > 0) {
      // A port that took nothing within its timeout may leave no error value.
      if (error == ERROR_SUCCESS) error = ERROR_TIMEOUT;
      lostOutputError = error;
      SetLastError(error);
    }
  }
  return result;
}

BOOL PrinterContext::FlushPage() {
  const BOOL result = FlushOutput();
  rowIndex = 0;
  return result;
}
