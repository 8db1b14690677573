// Printer model identification from the IEEE 1284 device ID.

#include <cstring>

#include "platform/devices.h"
#include "ports/ports.h"

namespace {

constexpr DWORD kDeviceIdSize = 256;

struct ModelEntry {
  uint32_t code;
  const char* description;
};
// Searched in this order: a description that stops short matches the first
// entry it begins.
constexpr ModelEntry kModels[] = {
    {1, "USB Printer R5"},         {3, "USB Printer S91"},        {2, "USB Printer L46"},
    {4, "USB Printer R5 300DPI"},  {6, "USB Printer S91 300DPI"}, {5, "USB Printer L46 300DPI"},
    {7, "USB Printer Generic"},
};

}  // namespace

uint32_t PortDetectModel(HANDLE h, uint8_t portType) {
  if (portType != PORTTYPE_PARALLEL) return MODEL_NONE;
  // One byte more than the reply can fill, so that the text always ends.
  char id[kDeviceIdSize + 1] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(h, IOCTL_PRINTER_GET_DEVICE_ID, nullptr, 0, id, kDeviceIdSize, &returned, nullptr)) {
    return MODEL_NONE;
  }
  if (returned < kDeviceIdSize) id[returned] = 0;
  // A reply shorter than 256 bytes starts with 0, the high byte of its length.
  const char* text = id[0] == 0 ? id + 1 : id;
  static constexpr char kKey[] = "DESCRIPTION:";
  char* description = std::strstr(const_cast<char*>(text), kKey);
  if (description == nullptr) return MODEL_NONE;
  description += sizeof kKey - 1;
  if (char* end = std::strchr(description, ';')) *end = 0;
  const size_t n = std::strlen(description);
  for (const ModelEntry& m : kModels) {
    if (std::strncmp(description, m.description, n) == 0) return m.code;
  }
  return MODEL_NONE;
}
