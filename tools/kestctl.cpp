// kestctl: the application side of "NVP1:" — status, watching, reset, stop
// and raw sends, through DeviceIoControl as any application would.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "printer/backend.h"
#include "tools/host.h"

namespace {

void Usage(FILE* out) {
  std::fputs(
      "usage: kestctl [--port NAME] [--device NAME=TARGET]... [--registry FILE.reg]... [--dpi 300|203] [-v]\n"
      "               COMMAND\n"
      "commands:\n"
      "  status [--via-rts] [--timeout MS]  ask the printer for its status and print the records\n"
      "  watch [--seconds N]                print status records and events as they arrive\n"
      "  reset [--via-rts]                  reset the printer\n"
      "  stop                               end the status monitoring (30 s from now)\n"
      "  send FILE                          send raw bytes while no print job is active\n",
      out);
}

struct Ctl {
  HANDLE nvp = INVALID_HANDLE_VALUE;
  std::u16string port;

  BOOL Io(DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) {
    return DeviceIoControl(nvp, code, in, inLen, out, outLen, returned, nullptr);
  }

  // The port name in the caller's space, as PortRequest points to it.
  PortRequest Request(uint32_t viaRts, uint32_t timeoutMs, uint32_t* address) {
    const DWORD bytes = static_cast<DWORD>((port.size() + 1) * sizeof(char16_t));
    *address = plat::RegisterCallerBuffer(port.data(), bytes);
    return PortRequest{*address, bytes, viaRts, timeoutMs};
  }

  // Copies out every record waiting for the port; false on a refusal.
  bool TakeRecords(std::vector<StatusRecord>* records) {
    DWORD size = 0;
    DWORD nameBytes = static_cast<DWORD>((port.size() + 1) * sizeof(char16_t));
    if (!Io(NVP_GET_PRINTERSTATUS, port.data(), nameBytes, nullptr, 0, &size)) return false;
    records->assign(size / sizeof(StatusRecord), StatusRecord{});
    if (size == 0) return true;
    DWORD got = 0;
    if (!Io(NVP_GET_PRINTERSTATUS, port.data(), nameBytes, records->data(), size, &got)) return false;
    records->resize(got / sizeof(StatusRecord));
    return true;
  }
};

void PrintRecords(const std::vector<StatusRecord>& records) {
  for (const StatusRecord& r : records) {
    std::printf("%04u-%02u-%02u %02u:%02u:%02u  %02X  %s\n", r.year, r.month, r.day, r.hour, r.minute, r.second,
                r.byte, tools::StatusByteWords(r.byte).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  tools::HostOptions host;
  std::string port;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kestctl: %s needs a value\n", what);
        std::exit(1);
      }
      return argv[++i];
    };
    if (a == "--port") {
      port = value("--port");
    } else if (a == "--device") {
      std::pair<std::string, std::string> m;
      if (!tools::ParseDeviceMapping(value("--device"), &m)) {
        std::fprintf(stderr, "kestctl: --device takes NAME=TARGET\n");
        return 1;
      }
      host.devices.push_back(m);
    } else if (a == "--registry") {
      host.registryFiles.push_back(value("--registry"));
    } else if (a == "--dpi") {
      host.dpi = std::atoi(value("--dpi"));
      if (host.dpi != 300 && host.dpi != 203) {
        std::fprintf(stderr, "kestctl: --dpi is 300 or 203\n");
        return 1;
      }
    } else if (a == "-v" || a == "--verbose") {
      host.verbose = true;
    } else if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "kestctl: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 1;
    } else {
      break;
    }
  }
  if (i >= argc) {
    Usage(stderr);
    return 1;
  }
  const std::string command = argv[i++];
  bool viaRts = false;
  long timeoutMs = 1000;
  long seconds = 10;
  std::string file;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--via-rts" && (command == "status" || command == "reset")) {
      viaRts = true;
    } else if (a == "--timeout" && command == "status" && i + 1 < argc) {
      timeoutMs = std::atol(argv[++i]);
    } else if (a == "--seconds" && command == "watch" && i + 1 < argc) {
      seconds = std::atol(argv[++i]);
    } else if (command == "send" && file.empty()) {
      file = a;
    } else {
      std::fprintf(stderr, "kestctl: unexpected argument %s for %s\n", a.c_str(), command.c_str());
      return 1;
    }
  }
  if (command != "status" && command != "watch" && command != "reset" && command != "stop" && command != "send") {
    std::fprintf(stderr, "kestctl: unknown command %s\n", command.c_str());
    Usage(stderr);
    return 1;
  }
  if (command == "send" && file.empty()) {
    std::fprintf(stderr, "kestctl: send needs a FILE\n");
    return 1;
  }

  std::string error;
  vprinter::RegisterScheme();  // "virtual" in the device map: the built-in printer
  if (!tools::SetupHost(host, &error)) {
    std::fprintf(stderr, "kestctl: %s\n", error.c_str());
    return 1;
  }
  if (port.empty()) port = tools::DefaultPortName();

  Ctl ctl;
  ctl.port = plat::FromUtf8(port);
  ctl.nvp = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ctl.nvp == INVALID_HANDLE_VALUE) {
    ActivateDevice(kPortDriverKey, 0);
    ctl.nvp = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (ctl.nvp == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "kestctl: the port driver NVP1: cannot be loaded (%s)\n",
                 tools::DriverLibraryPath(host.dpi).c_str());
    return 3;
  }

  int rc = 0;
  if (command == "status") {
    HANDLE data = CreateEventW(nullptr, FALSE, FALSE, kStatusDataEventName);
    HANDLE timeout = CreateEventW(nullptr, FALSE, FALSE, kStatusTimeoutEventName);
    uint32_t address = 0;
    PortRequest req = ctl.Request(viaRts ? 1 : 0, static_cast<uint32_t>(std::clamp(timeoutMs, 0L, 65535L)), &address);
    if (!ctl.Io(NVP_UPDATE_PRINTERSTATUS, &req, sizeof req, nullptr, 0, nullptr)) {
      std::fprintf(stderr, "kestctl: the port %s cannot be opened\n", port.c_str());
      rc = 3;
    } else {
      // The answer, the timeout event, or our own limit, whichever first.
      const DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs) + 500;
      bool answered = false;
      bool timedOut = false;
      while (!answered && !timedOut && static_cast<int32_t>(deadline - GetTickCount()) > 0) {
        answered = WaitForSingleObject(data, 50) == WAIT_OBJECT_0;
        timedOut = !answered && WaitForSingleObject(timeout, 0) == WAIT_OBJECT_0;
      }
      std::vector<StatusRecord> records;
      ctl.TakeRecords(&records);
      PrintRecords(records);
      if (records.empty()) {
        std::fprintf(stderr, "kestctl: no answer from the printer on %s\n", port.c_str());
        rc = 2;
      }
    }
    plat::UnregisterCallerBuffer(address);
    CloseHandle(data);
    CloseHandle(timeout);
  } else if (command == "watch") {
    HANDLE data = CreateEventW(nullptr, FALSE, FALSE, kStatusDataEventName);
    HANDLE timeout = CreateEventW(nullptr, FALSE, FALSE, kStatusTimeoutEventName);
    std::vector<StatusRecord> records;
    if (!ctl.TakeRecords(&records)) {  // the first request starts the watch
      std::fprintf(stderr, "kestctl: the port %s cannot be opened\n", port.c_str());
      rc = 3;
    }
    const DWORD end = GetTickCount() + static_cast<DWORD>(std::max(0L, seconds) * 1000);
    while (rc == 0 && static_cast<int32_t>(end - GetTickCount()) > 0) {
      if (WaitForSingleObject(data, 100) == WAIT_OBJECT_0 && ctl.TakeRecords(&records)) {
        PrintRecords(records);
        std::fflush(stdout);
      }
      if (WaitForSingleObject(timeout, 0) == WAIT_OBJECT_0) std::printf("event: no answer in time\n");
    }
    CloseHandle(data);
    CloseHandle(timeout);
  } else if (command == "reset") {
    uint32_t address = 0;
    PortRequest req = ctl.Request(viaRts ? 1 : 0, 0, &address);
    if (!ctl.Io(NVP_RESET_PRINTER, &req, 12, nullptr, 0, nullptr)) {
      std::fprintf(stderr, "kestctl: the printer on %s was not reset (a job is active or the port failed)\n",
                   port.c_str());
      rc = 2;
    }
    // The monitor sends the reset command on its own thread; give it the time.
    Sleep(viaRts ? 0 : 300);
    plat::UnregisterCallerBuffer(address);
  } else if (command == "stop") {
    DWORD nameBytes = static_cast<DWORD>((ctl.port.size() + 1) * sizeof(char16_t));
    if (!ctl.Io(NVP_STOP_PORTMONITOR, ctl.port.data(), nameBytes, nullptr, 0, nullptr)) {
      std::fprintf(stderr, "kestctl: %s is not open or not watched\n", port.c_str());
      rc = 2;
    }
  } else if (command == "send") {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
      std::fprintf(stderr, "kestctl: %s cannot be read\n", file.c_str());
      rc = 1;
    } else {
      uint8_t index = 0;
      DWORD nameBytes = static_cast<DWORD>((ctl.port.size() + 1) * sizeof(char16_t));
      if (!ctl.Io(NVP_OPEN_NOMONITOR, ctl.port.data(), nameBytes, &index, 1, nullptr)) {
        std::fprintf(stderr, "kestctl: the port %s cannot be opened\n", port.c_str());
        rc = 3;
      } else {
        if (!ctl.Io(NVP_WRITE_IDLE + index, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, 0, nullptr)) {
          std::fprintf(stderr, "kestctl: not sent: a print job is active or the write failed (error %u)\n",
                       GetLastError());
          rc = 2;
        } else {
          std::printf("sent %zu bytes to %s\n", bytes.size(), port.c_str());
        }
        ctl.Io(NVP_CLOSE + index, nullptr, 0, nullptr, 0, nullptr);
      }
    }
  }
  CloseHandle(ctl.nvp);
  plat::UnregisterAllStreamDrivers();
  return rc;
}
