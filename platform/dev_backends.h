// Internal to the stand-in: the built-in backends of the device map.
#pragma once

#include <memory>
#include <string>

#include "platform/devices.h"

namespace plat::detail {

// "tty:/dev/ttyUSB0": a serial line on termios.
std::shared_ptr<DeviceBackend> MakeTtyBackend(const std::string& path);
// "usblp:/dev/usb/lp0": a Linux USB printer-class device.
std::shared_ptr<DeviceBackend> MakeUsbLpBackend(const std::string& path);
// "file:/tmp/out.prn": a plain file or character device, written only.
std::shared_ptr<DeviceBackend> MakeFileBackend(const std::string& path);

}  // namespace plat::detail
