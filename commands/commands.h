// Every byte sequence the driver sends to the printer, and the meaning of the
// status bytes it reads back. The GDI half and the port driver both take
// their bytes from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace cmd {

constexpr uint8_t ESC = 0x1B;

// ESC @: printer reset, sent by the monitor on an application's request.
constexpr std::array<uint8_t, 2> kReset = {ESC, 0x40};
// ESC k FF: status request; the printer answers with status bytes.
constexpr std::array<uint8_t, 3> kStatusRequest = {ESC, 0x6B, 0xFF};
// Job initialisation: ESC A; ESC m 0; ESC m 5; ESC k FF; ESC v 2.
constexpr std::array<uint8_t, 14> kJobInit = {ESC, 0x41, ESC, 0x6D, 0x00, ESC, 0x6D, 0x05,
                                              ESC, 0x6B, 0xFF, ESC, 0x76, 0x02};
// ESC e 1 0: document trailer (not for the S91 models).
constexpr std::array<uint8_t, 4> kDocumentTrailer = {ESC, 0x65, 0x01, 0x00};
// ESC v 3 as a NUL-terminated string: job end of a document without error.
constexpr char kJobEnd[] = "\x1B\x76\x03";
// ESC m as a string; the mode byte (0 or 3) follows as a separate append,
// since it may be 0.
constexpr char kModeSelectPrefix[] = "\x1B\x6D";
constexpr uint8_t kModeBlank = 0x00;
constexpr uint8_t kModeDeltaRow = 0x03;
constexpr uint8_t kModeInit = 0x05;
// ESC g as a string; the count byte and the data follow.
constexpr char kLinePrefix[] = "\x1B\x67";
// A line without data: the pattern the blank-line filter counts.
constexpr std::array<uint8_t, 3> kBlankLine = {ESC, 0x67, 0x00};
// ESC Q 0F n: the RTS-on (n = RTSOn) and RTS-off (n = RTSOff) commands.
constexpr uint8_t kRtsCommandPrefix[3] = {ESC, 0x51, 0x0F};
// The status reset through RTS that StartJob sends.
constexpr uint8_t kRtsStatusResetValue = 0x0D;
// Wake-up byte for the S91 models.
constexpr uint8_t kWakeUpByte = 0x00;
// Marker at which a status check with a stop flag ends its walk.
constexpr uint8_t kStatusWalkStop = 0x03;

// ESC Q 0F n.
inline std::array<uint8_t, 4> RtsCommand(uint32_t setting) {
  return {ESC, 0x51, 0x0F, static_cast<uint8_t>(setting & 0xFF)};
}

// Status bytes: 80..BF carry the printer state in their own bits.
constexpr bool IsStatusByte(uint8_t b) { return (b & 0xC0) == 0x80; }
constexpr uint8_t kStatusPaperOut = 0x02;
constexpr uint8_t kStatusError = 0x04;
constexpr uint8_t kStatusNotReady = 0x08;
constexpr uint8_t kStatusReady = 0x80;

// The error a status byte stands for: 0 ready, 21 not ready, 28 paper out,
// 16000 error, 16001 error with paper out.
constexpr uint32_t StatusByteError(uint8_t b) {
  const bool paper = (b & kStatusPaperOut) != 0;
  const bool error = (b & kStatusError) != 0;
  if (paper && error) return 16001;
  if (paper) return 28;
  if (error) return 16000;
  if (b & kStatusNotReady) return 21;
  return 0;
}

}  // namespace cmd
