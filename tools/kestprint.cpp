// kestprint: prints images through the whole driver — the graphics-engine
// stand-in, the driver library and its port driver — to a port; by default
// to the built-in virtual printer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "printer/backend.h"
#include "printer/render.h"
#include "printer/virtual_printer.h"
#include "tools/host.h"
#include "tools/image.h"

namespace {

constexpr char kVersion[] = "kestprint 0.1.0";

void Usage(FILE* out) {
  std::fputs(
      "usage: kestprint [OPTIONS] IMAGE...\n"
      "Prints each image (PNG, or binary PNM P4/P5/P6) as one page of one document.\n"
      "  --dpi 300|203            library build (default 300)\n"
      "  --paper CODE|WxH         paper code 1, 5, 9 or 13 (default 13), or a size in mm\n"
      "  --landscape              landscape orientation\n"
      "  --colour                 colour mode\n"
      "  --draft                  draft quality\n"
      "  --port NAME              port handed to the driver (default: DefaultPrintPort, else LPT1:)\n"
      "  --device NAME=TARGET     map a port to tty:PATH, usblp:PATH, file:PATH or virtual (repeatable)\n"
      "  --registry FILE.reg      load settings before the driver loads (repeatable, in order)\n"
      "  --fit                    scale each image to fit the page, keeping its aspect ratio\n"
      "  --printer-model TEXT     DESCRIPTION the virtual printer reports (default \"USB Printer Generic\")\n"
      "  --printer-state STATE    virtual printer: ready, not-ready, paper-out, error, silent\n"
      "  --printer-fault FAULT    virtual printer fault (repeatable): stall-writes, max-write=N,\n"
      "                           refuse-open, silent, EVENT-after-lines=N, EVENT-after-bytes=N;\n"
      "                           EVENT: not-ready, paper-out, error, paper-error, unplug\n"
      "  --capture FILE           write every byte the virtual printer received\n"
      "  --preview FILE.png       write what the virtual printer printed as a PNG\n"
      "  -v, --verbose            show the driver's debug output\n"
      "  -q, --quiet              no progress output\n"
      "  -h, --help, --version\n"
      "exit status: 0 printed; 1 usage or input error; 2 the printer was not ready or failed;\n"
      "             3 the port could not be opened\n",
      out);
}

// One --printer-fault: what the virtual printer is made to do.
struct PrinterFault {
  enum class Kind { StallWrites, MaxWrite, RefuseOpen, Silent, Trigger };
  Kind kind = Kind::StallWrites;
  uint32_t maxWrite = 0;
  vprinter::Trigger trigger;
};

// FAULT is NAME or NAME=N. False, with the reason, for anything else.
bool ParseFault(const std::string& text, PrinterFault* out, std::string* why) {
  const auto eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const bool hasValue = eq != std::string::npos;
  const std::string value = hasValue ? text.substr(eq + 1) : std::string();
  auto number = [&](uint64_t lo, uint64_t hi, uint64_t* n) {
    if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos) return false;
    *n = std::stoull(value);
    return *n >= lo && *n <= hi;
  };
  auto flag = [&](PrinterFault::Kind kind) {
    if (hasValue) {
      *why = name + " takes no value";
      return false;
    }
    out->kind = kind;
    return true;
  };
  if (name == "stall-writes") return flag(PrinterFault::Kind::StallWrites);
  if (name == "refuse-open") return flag(PrinterFault::Kind::RefuseOpen);
  if (name == "silent") return flag(PrinterFault::Kind::Silent);
  if (name == "max-write") {
    uint64_t n = 0;
    if (!number(1, 0x7FFFFFFF, &n)) {
      *why = "max-write=N takes a byte count of at least 1";
      return false;
    }
    out->kind = PrinterFault::Kind::MaxWrite;
    out->maxWrite = static_cast<uint32_t>(n);
    return true;
  }
  for (const char* unit : {"-after-lines", "-after-bytes"}) {
    const std::string suffix = unit;
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    const std::string event = name.substr(0, name.size() - suffix.size());
    uint64_t n = 0;
    if (!number(0, 0xFFFFFFFFFFull, &n)) {
      *why = name + "=N takes a count";
      return false;
    }
    vprinter::Trigger t;
    t.when = suffix == "-after-lines" ? vprinter::Trigger::When::AfterLines : vprinter::Trigger::When::AfterBytes;
    t.count = n;
    vprinter::State state;
    if (event == "unplug") {
      t.unplug = true;
    } else if (event != "ready" && event != "silent" && vprinter::ParseState(event, &state)) {
      t.state = state;
      t.report = true;  // a printer says at once when it runs out of paper
    } else {
      *why = "unknown event " + event + " (not-ready, paper-out, error, paper-error or unplug)";
      return false;
    }
    out->kind = PrinterFault::Kind::Trigger;
    out->trigger = t;
    return true;
  }
  *why = "unknown fault " + name;
  return false;
}

struct Options {
  tools::HostOptions host;
  int paperCode = 13;
  int customWidthMm = 0;
  int customHeightMm = 0;
  bool landscape = false;
  bool colour = false;
  bool draft = false;
  bool fit = false;
  bool quiet = false;
  std::string port;
  std::string printerModel = "USB Printer Generic";
  vprinter::State printerState = vprinter::State::Ready;
  std::vector<PrinterFault> faults;
  std::string capture;
  std::string preview;
  std::vector<std::string> images;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "kestprint: %s\n", message.c_str());
  std::fprintf(stderr, "Try 'kestprint --help'.\n");
  std::exit(1);
}

bool ParseInt(const std::string& s, int lo, int hi, int* out) {
  if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  int v = std::atoi(s.c_str());
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::puts(kVersion);
      std::exit(0);
    } else if (a == "--dpi") {
      std::string v = value();
      if (v != "300" && v != "203") UsageError("--dpi is 300 or 203");
      o.host.dpi = std::atoi(v.c_str());
    } else if (a == "--paper") {
      std::string v = value();
      auto x = v.find_first_of("xX");
      if (x != std::string::npos) {
        if (!ParseInt(v.substr(0, x), 1, 1000, &o.customWidthMm) ||
            !ParseInt(v.substr(x + 1), 1, 1000, &o.customHeightMm)) {
          UsageError("--paper WxH takes a width and height in millimetres, 1 to 1000");
        }
        o.paperCode = 256;
      } else if (!ParseInt(v, 1, 13, &o.paperCode) ||
                 (o.paperCode != 1 && o.paperCode != 5 && o.paperCode != 9 && o.paperCode != 13)) {
        UsageError("--paper is 1, 5, 9, 13 or WxH in millimetres");
      }
    } else if (a == "--landscape") {
      o.landscape = true;
    } else if (a == "--colour" || a == "--color") {
      o.colour = true;
    } else if (a == "--draft") {
      o.draft = true;
    } else if (a == "--port") {
      o.port = value();
      if (o.port.empty()) UsageError("--port needs a name");
    } else if (a == "--device") {
      std::pair<std::string, std::string> m;
      if (!tools::ParseDeviceMapping(value(), &m)) UsageError("--device takes NAME=TARGET");
      o.host.devices.push_back(m);
    } else if (a == "--registry") {
      o.host.registryFiles.push_back(value());
    } else if (a == "--fit") {
      o.fit = true;
    } else if (a == "--printer-model") {
      o.printerModel = value();
    } else if (a == "--printer-state") {
      std::string v = value();
      if (v == "paper-error" || !vprinter::ParseState(v, &o.printerState)) {
        UsageError("--printer-state is ready, not-ready, paper-out, error or silent");
      }
    } else if (a == "--printer-fault") {
      const std::string v = value();
      PrinterFault f;
      std::string why;
      if (!ParseFault(v, &f, &why)) UsageError("--printer-fault " + v + ": " + why);
      o.faults.push_back(f);
    } else if (a == "--capture") {
      o.capture = value();
    } else if (a == "--preview") {
      o.preview = value();
    } else if (a == "-v" || a == "--verbose") {
      o.host.verbose = true;
    } else if (a == "-q" || a == "--quiet") {
      o.quiet = true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) o.images.push_back(argv[i]);
    } else if (!a.empty() && a[0] == '-') {
      UsageError("unknown option " + a);
    } else {
      o.images.push_back(a);
    }
  }
  if (o.images.empty()) UsageError("no image to print");
  return o;
}

// Why a port cannot be opened, in the system's words: the open is tried again
// from here, where the device namespace's own error is still to be seen.
std::string PortReason(const std::string& port) {
  std::u16string name = plat::FromUtf8(port);
  // A serial name carries its baud rate after the device part.
  if (name.size() > 5 && (name.compare(0, 3, u"COM") == 0 || name.compare(0, 3, u"com") == 0)) name.resize(5);
  if (name.size() > 5 && (name.compare(0, 3, u"LPT") == 0 || name.compare(0, 3, u"lpt") == 0)) name.resize(5);
  HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return "the port driver refused it";
  }
  const DWORD e = GetLastError();
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
      return "no such device (map it with --device NAME=TARGET)";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_SHARING_VIOLATION:
      return "the port is in use";
    default:
      return "system error " + std::to_string(e);
  }
}

bool IsPrinterStateError(DWORD e) {
  return e == ERROR_NOT_READY || e == ERROR_OUT_OF_PAPER || e == ERROR_PRINTER_STATE_ERROR ||
         e == ERROR_PRINTER_STATE_ERROR_PAPER;
}

// Why a document failed. The printer's own state, when some entry reported
// it, says more than a write that failed on the way.
std::string FailureWords(const engine::DocumentResult& doc, const vprinter::VirtualPrinter& printer) {
  std::vector<DWORD> errors;
  auto note = [&](const engine::CallResult& r) {
    if (!r) errors.push_back(r.error);
  };
  note(doc.startDoc);
  for (const engine::PageResult& p : doc.pages) {
    note(p.startPage);
    for (const engine::CallResult& c : p.copyBits) note(c);
  }
  note(doc.endDoc);
  if (printer.unplugged()) return "the printer was disconnected";
  DWORD e = 0;
  for (DWORD x : errors) {
    if (IsPrinterStateError(x)) {
      e = x;
      break;
    }
    if (e == 0) e = x;
  }
  switch (e) {
    case ERROR_TIMEOUT:
      return "the printer took no data (write timed out)";
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GRACEFUL_DISCONNECT:
    case ERROR_SERIAL_NO_DEVICE:
      return "the printer was disconnected";
    case ERROR_WRITE_FAULT:
      return "write error";
    case 0:
      return "no reason given";
    default:
      return tools::PrinterStateWords(e);
  }
}

DEVMODEW MakeDevMode(const Options& o) {
  DEVMODEW dm{};
  const char16_t name[] = u"Norv Kest";
  std::memcpy(dm.dmDeviceName, name, sizeof name);
  dm.dmSpecVersion = 0x0400;
  dm.dmSize = sizeof(DEVMODEW);
  dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE;
  dm.dmOrientation = o.landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
  dm.dmPaperSize = static_cast<SHORT>(o.paperCode);
  if (o.paperCode == DMPAPER_USER) {
    dm.dmFields |= DM_PAPERWIDTH | DM_PAPERLENGTH;
    dm.dmPaperWidth = static_cast<SHORT>(o.customWidthMm);
    dm.dmPaperLength = static_cast<SHORT>(o.customHeightMm);
  }
  dm.dmCopies = 1;
  dm.dmPrintQuality = o.draft ? DMRES_DRAFT : DMRES_HIGH;
  dm.dmColor = o.colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
  dm.dmBitsPerPel = 24;
  return dm;
}

bool WriteCapture(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    *error = path + ": cannot be written";
    return false;
  }
  return true;
}

// The printed dots as a picture of the page's width in dots.
bool WritePreview(const std::string& path, const vprinter::DecodedJob& job, uint32_t lineDots, std::string* error) {
  std::string why;
  vprinter::Image printed = vprinter::Render(job, {}, &why);
  tools::Image out;
  out.width = static_cast<int>(lineDots);
  out.height = static_cast<int>(printed.height);
  if (out.height == 0) {
    *error = path + ": nothing was printed";
    return false;
  }
  out.rgb.assign(static_cast<size_t>(out.width) * out.height * 3, 255);
  const uint32_t w = std::min(printed.width, lineDots);
  for (uint32_t y = 0; y < printed.height; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* p = printed.Pixel(x, y);
      uint8_t* q = &out.rgb[(static_cast<size_t>(y) * out.width + x) * 3];
      if (printed.channels == 1) {
        q[0] = q[1] = q[2] = p[0];
      } else {
        q[0] = p[0];
        q[1] = p[1];
        q[2] = p[2];
      }
    }
  }
  if (!tools::WritePng(path, out, &why)) {
    *error = path + ": " + why;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = ParseOptions(argc, argv);

  // Every image is read before anything goes to the printer.
  std::vector<tools::Image> images(o.images.size());
  for (size_t i = 0; i < o.images.size(); ++i) {
    std::string why;
    if (!tools::LoadImageFile(o.images[i], &images[i], &why)) {
      std::fprintf(stderr, "kestprint: %s: %s\n", o.images[i].c_str(), why.c_str());
      return 1;
    }
  }

  std::string error;
  vprinter::RegisterScheme();
  if (!tools::SetupHost(o.host, &error)) {
    std::fprintf(stderr, "kestprint: %s\n", error.c_str());
    return 1;
  }
  vprinter::PrinterOptions popts;
  popts.description = o.printerModel;
  popts.state = o.printerState;
  popts.decoder.colour = o.colour;
  for (const PrinterFault& f : o.faults) {
    // A printer that ran into a fault mid-job takes no more data until it is
    // well again, as a real one does once its buffer is full.
    if (f.kind == PrinterFault::Kind::Trigger && f.trigger.state) popts.busyWhenNotReady = true;
    if (f.kind == PrinterFault::Kind::Silent) popts.state = vprinter::State::Silent;
  }
  std::shared_ptr<vprinter::VirtualPrinter> printer = vprinter::Create("default", popts);
  for (const PrinterFault& f : o.faults) {
    switch (f.kind) {
      case PrinterFault::Kind::StallWrites:
        printer->SetStallWrites(true);
        break;
      case PrinterFault::Kind::MaxWrite:
        printer->SetMaxBytesPerWrite(f.maxWrite);
        break;
      case PrinterFault::Kind::RefuseOpen:
        printer->SetOpenError(ERROR_ACCESS_DENIED);
        break;
      case PrinterFault::Kind::Silent:
        break;
      case PrinterFault::Kind::Trigger:
        printer->AddTrigger(f.trigger);
        break;
    }
  }

  const std::string port = o.port.empty() ? tools::DefaultPortName() : o.port;
  const std::string library = tools::DriverLibraryPath(o.host.dpi);
  int rc = 0;
  {
    engine::Engine eng(library);
    if (!eng.Loaded()) {
      std::fprintf(stderr, "kestprint: the driver library cannot be loaded: %s\n", eng.LoadError().c_str());
      return 1;
    }
    DEVMODEW dm = MakeDevMode(o);
    std::u16string wport = plat::FromUtf8(port);
    engine::CallResult enabled = eng.Enable(dm, wport.c_str());
    if (!enabled) {
      if (enabled.error == ERROR_INVALID_PARAMETER) {
        std::fprintf(stderr, "kestprint: the driver refused the page settings (paper size)\n");
        return 1;
      }
      std::fprintf(stderr, "kestprint: the port %s could not be opened: %s\n", port.c_str(), PortReason(port).c_str());
      return 3;
    }
    // The job start asked the printer for its status; let the answer reach
    // the port driver before the document asks whether the printer is ready.
    for (int i = 0; i < 50 && !printer->PendingReplies().empty(); ++i) Sleep(20);
    Sleep(50);
    const int pageW = eng.PageWidth();
    const int pageH = eng.PageHeight();
    std::vector<engine::Image> pages;
    for (const tools::Image& img : images) {
      tools::Image placed = tools::PlaceOnPage(img, pageW, pageH, o.fit);
      engine::Image page;
      page.width = placed.width;
      page.height = placed.height;
      page.rgb = std::move(placed.rgb);
      pages.push_back(std::move(page));
    }
    const int total = static_cast<int>(pages.size());
    const int linesPerPage = o.landscape ? pageW : pageH;
    eng.SetPageStartedHook([&](int index) {
      // The previous page is written out by now and this one's rows have not
      // been encoded yet: the printer's seeds start over here.
      printer->MarkPageStart();
      if (!o.quiet && index > 0) {
        std::fprintf(stderr, "page %d of %d: %d lines, %llu bytes sent so far\n", index, total, linesPerPage,
                     static_cast<unsigned long long>(printer->BytesReceived()));
      }
    });
    engine::DocumentResult doc = eng.PrintDocument(pages);
    const uint32_t lineDots = static_cast<uint32_t>(o.landscape ? pageH : pageW);
    eng.Disable();
    if (!o.quiet && doc.startDoc && !doc.pages.empty() && doc.pages.back().Ok()) {
      std::fprintf(stderr, "page %d of %d: %d lines, %llu bytes sent\n", static_cast<int>(doc.pages.size()), total,
                   linesPerPage, static_cast<unsigned long long>(printer->BytesReceived()));
    }
    if (!doc.Ok()) {
      std::fprintf(stderr, "kestprint: the printer on %s failed: %s\n", port.c_str(),
                   FailureWords(doc, *printer).c_str());
      rc = 2;
    }
    if (!o.capture.empty() && !WriteCapture(o.capture, printer->Captured(), &error)) {
      std::fprintf(stderr, "kestprint: %s\n", error.c_str());
      rc = rc ? rc : 1;
    }
    if (!o.preview.empty() && !WritePreview(o.preview, printer->Printed(true), lineDots, &error)) {
      std::fprintf(stderr, "kestprint: %s\n", error.c_str());
      rc = rc ? rc : 1;
    }
  }
  plat::UnregisterAllStreamDrivers();
  vprinter::RemoveAll();
  return rc;
}
