// Surfaces, documents and pages: readiness checks and job marks on the port
// driver, page flushes, the document trailer and the release of everything
// when the device goes away.
#include "commands/commands.h"
#include "frontend/frontend.h"
#include "platform/system.h"
#include "portdriver/port_table.h"

namespace {

bool IsS91(uint32_t modelCode) { return modelCode == 3 || modelCode == 6; }

}  // namespace

HSURF DrvEnableSurface(DHPDEV) {
  g_surfaceDesc.iBitmapFormat = BMF_24BPP;
  if (g_pfnCreateSurface == nullptr) return nullptr;
  const SIZEL size = {static_cast<LONG>(g_pageWidth), static_cast<LONG>(g_pageHeight)};
  g_hSurface = g_pfnCreateSurface(reinterpret_cast<DHSURF>(&g_surfaceDesc), size, BMF_24BPP);
  return g_hSurface;
}

void DrvDisableSurface(DHPDEV) {
  // The handle is forgotten once deleted, so that a repeated disable cannot
  // delete a surface the engine has handed out since.
  if (g_pfnDeleteSurface == nullptr || g_hSurface == nullptr) return;
  g_pfnDeleteSurface(g_hSurface);
  g_hSurface = nullptr;
}

BOOL DrvStartDoc(SURFOBJ*, LPWSTR, DWORD) {
  g_jobError = 0;
  // Output of this connection was lost (the job start, or an earlier
  // document): the printer's state is unknown, so no document goes on it.
  if (g_printer.lostOutputError != 0) {
    g_jobError = -1;
    SetLastError(g_printer.lostOutputError);
    return FALSE;
  }
  if (!g_printer.WaitReady(0)) {
    g_jobError = -1;
    return FALSE;
  }
  g_printer.MarkJobActive();
  g_pageCount = 0;
  return TRUE;
}

BOOL DrvStartPage(SURFOBJ*) {
  const bool firstPage = g_pageCount == 0;
  ++g_pageCount;
  g_lineCount = 0;
  // Pages after the first write out the one before.
  const BOOL result = firstPage ? TRUE : g_printer.FlushPage();
  if (!g_printer.WaitReady(0)) {
    g_jobError = -1;
    return FALSE;
  }
  g_jobError = 0;
  g_printer.BeginPageRaster();
  return result;
}

BOOL PrinterContext::SendTrailer() {
  if (IsS91(GetCurrentModelCode())) return TRUE;
  const BOOL result = AppendOutput(cmd::kDocumentTrailer.data(), static_cast<int32_t>(cmd::kDocumentTrailer.size()));
  return result ? FlushOutput() : FALSE;
}

BOOL PrinterContext::SendJobEnd() { return AppendOutputString(cmd::kJobEnd) ? FlushOutput() : FALSE; }

BOOL DrvEndDoc(SURFOBJ*, FLONG) {
  g_printer.SendTrailer();
  if (g_printer.FlushPage() && g_jobError == 0) g_printer.SendJobEnd();
  g_printer.MarkJobInactive();
  if (!g_printer.WaitReady(0)) {
    if (g_jobError == 0) {
      // The printer's state is the reason, not how the reset went.
      const DWORD error = GetLastError();
      g_printer.ResetPort();
      SetLastError(error);
    }
    return FALSE;
  }
  const BOOL result = g_jobError == 0 ? g_printer.WaitReady(0) : FALSE;
  // A ready printer does not make up for bytes of the job it never got.
  if ((result || g_jobError != 0) && g_printer.lostOutputError != 0) {
    SetLastError(g_printer.lostOutputError);
    return FALSE;
  }
  return result;
}

void DrvDisablePDEV(DHPDEV) { g_printer.Shutdown(); }
