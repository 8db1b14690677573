// kestsim: the virtual printer as its own process, a serial printer on a
// pseudo-terminal, so that the driver's real serial path can be driven end to
// end.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "printer/pty_server.h"
#include "printer/render.h"
#include "printer/virtual_printer.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true); }

void Usage(FILE* out) {
  std::fputs(
      "usage: kestsim --pty [--once] [--printer-model TEXT] [--printer-state STATE]\n"
      "               [--capture FILE] [--preview FILE.png] [--colour]\n"
      "Acts as a serial printer on a new pseudo-terminal and prints its path on the first line.\n"
      "It stops on SIGINT or SIGTERM, or with --once when the client closes the terminal after\n"
      "the first job end, writing its capture and preview first.\n"
      "  STATE: ready, not-ready, paper-out, error, silent\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  bool pty = false;
  bool once = false;
  std::string capture;
  std::string preview;
  vprinter::PrinterOptions popts;
  popts.attachment = vprinter::Attachment::Serial;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kestsim: %s needs a value\n", a.c_str());
        std::exit(1);
      }
      return argv[++i];
    };
    if (a == "--pty") {
      pty = true;
    } else if (a == "--once") {
      once = true;
    } else if (a == "--printer-model") {
      popts.description = value();
    } else if (a == "--printer-state") {
      const std::string v = value();
      if (!vprinter::ParseState(v, &popts.state)) {
        std::fprintf(stderr, "kestsim: unknown printer state %s\n", v.c_str());
        return 1;
      }
    } else if (a == "--capture") {
      capture = value();
    } else if (a == "--preview") {
      preview = value();
    } else if (a == "--colour" || a == "--color") {
      popts.decoder.colour = true;
    } else if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kestsim: unknown argument %s\n", a.c_str());
      Usage(stderr);
      return 1;
    }
  }
  if (!pty) {
    Usage(stderr);
    return 1;
  }

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  auto printer = std::make_shared<vprinter::VirtualPrinter>(popts);
  vprinter::PtyOptions ptyOptions;
  ptyOptions.stopAfterJobEnd = once;
  std::string error;
  auto server = vprinter::PtyServer::Open(printer, ptyOptions, &error);
  if (!server) {
    std::fprintf(stderr, "kestsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", server->path().c_str());
  std::fflush(stdout);

  int rc = 0;
  if (!server->Serve(&g_stop, &error)) {
    std::fprintf(stderr, "kestsim: %s\n", error.c_str());
    rc = 1;
  }
  server.reset();

  if (!capture.empty()) {
    std::vector<uint8_t> bytes = printer->Captured();
    std::ofstream out(capture, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "kestsim: %s: cannot be written\n", capture.c_str());
      rc = 1;
    }
  }
  if (!preview.empty()) {
    vprinter::DecodedJob job = printer->Printed(true);
    if (!job.ok()) std::fprintf(stderr, "kestsim: the stream did not decode: %s\n", job.error->ToString().c_str());
    vprinter::Image image = vprinter::Render(job, {}, &error);
    if (image.pixels.empty() || !vprinter::WritePng(preview, image, &error)) {
      std::fprintf(stderr, "kestsim: %s: %s\n", preview.c_str(), error.empty() ? "nothing was printed" : error.c_str());
      rc = 1;
    }
  }
  std::fprintf(stderr, "kestsim: %llu bytes received\n", static_cast<unsigned long long>(printer->BytesReceived()));
  return rc;
}
