#include "tools/host.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "commands/commands.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace tools {

namespace {
constexpr char16_t kNvpKey[] = u"Drivers\\BuiltIn\\NVP";

std::string ExeDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string path(buf);
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}
}  // namespace

std::string DriverLibraryPath(int dpi) {
  const std::string name = "libkestarm-" + std::to_string(dpi) + ".so";
  if (const char* dir = std::getenv("KESTARM_LIBDIR"); dir != nullptr && *dir) return std::string(dir) + "/" + name;
  const std::string exeDir = ExeDir();
  for (const std::string& candidate : {exeDir + "/../" + name, exeDir + "/" + name, exeDir + "/../lib/" + name}) {
    if (access(candidate.c_str(), R_OK) == 0) {
      char real[PATH_MAX];
      if (realpath(candidate.c_str(), real) != nullptr) return real;
      return candidate;
    }
  }
  return name;  // left to the dynamic loader's search path
}

bool ParseDeviceMapping(const std::string& text, std::pair<std::string, std::string>* out) {
  auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 >= text.size()) return false;
  out->first = text.substr(0, eq);
  out->second = text.substr(eq + 1);
  return true;
}

bool SetupHost(const HostOptions& options, std::string* error) {
  plat::SetDebugOutputEnabled(options.verbose);
  for (const std::string& file : options.registryFiles) {
    if (!plat::RegistryLoadFile(file, error)) return false;
  }
  for (const auto& [name, target] : options.devices) {
    if (!plat::MapDevice(plat::FromUtf8(name), target)) {
      *error = "cannot map device " + name + " to " + target;
      return false;
    }
  }
  std::u16string dll;
  if (!plat::RegistryGetString(kNvpKey, u"Dll", &dll)) {
    plat::RegistrySetString(kNvpKey, u"Dll", plat::FromUtf8(DriverLibraryPath(options.dpi)));
  }
  std::u16string prefix;
  if (!plat::RegistryGetString(kNvpKey, u"Prefix", &prefix)) plat::RegistrySetString(kNvpKey, u"Prefix", u"NVP");
  DWORD index = 0;
  if (!plat::RegistryGetDword(kNvpKey, u"Index", &index)) plat::RegistrySetDword(kNvpKey, u"Index", 1);
  std::u16string lpt1;
  if (!plat::RegistryGetString(plat::kDeviceMapKey, u"LPT1:", &lpt1)) plat::MapDevice(u"LPT1:", "virtual");
  return true;
}

std::string DefaultPortName() {
  std::u16string port;
  if (plat::RegistryGetString(u"Printers\\Ports", u"DefaultPrintPort", &port) && !port.empty()) {
    return plat::ToUtf8(port);
  }
  return "LPT1:";
}

std::string PrinterStateWords(unsigned long error) {
  switch (error) {
    case 0:
      return "ready";
    case 21:
      return "not ready";
    case 28:
      return "out of paper";
    case 16000:
      return "printer error";
    case 16001:
      return "printer error, out of paper";
    default:
      return "error " + std::to_string(error);
  }
}

std::string StatusByteWords(unsigned char b) {
  if (b == cmd::kStatusWalkStop) return "marker 03";
  if (!cmd::IsStatusByte(b)) return "not a status byte";
  return PrinterStateWords(cmd::StatusByteError(b));
}

}  // namespace tools
