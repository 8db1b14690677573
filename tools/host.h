// What every program here does before it talks to the driver: settings from
// .reg files, the device map, the port driver's key, the virtual printer.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tools {

struct HostOptions {
  int dpi = 300;
  std::vector<std::string> registryFiles;                      // applied in order
  std::vector<std::pair<std::string, std::string>> devices;  // NAME=TARGET
  bool verbose = false;
};

// The driver library of a build, found beside the program (the build tree
// keeps the libraries one folder up from tools/), or in $KESTARM_LIBDIR.
std::string DriverLibraryPath(int dpi);

// Loads the .reg files, maps the devices, points Drivers\BuiltIn\NVP at the
// driver library unless a file named one, and maps "LPT1:" to the virtual
// printer unless the device map already says otherwise.
bool SetupHost(const HostOptions& options, std::string* error);

// Parses "NAME=TARGET".
bool ParseDeviceMapping(const std::string& text, std::pair<std::string, std::string>* out);

// The port named by the registry's DefaultPrintPort, else "LPT1:".
std::string DefaultPortName();

// Words for a printer error code (21, 28, 16000, 16001) or a status byte.
std::string PrinterStateWords(unsigned long error);
std::string StatusByteWords(unsigned char b);

}  // namespace tools
