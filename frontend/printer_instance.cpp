// The one PrinterContext of the library, constructed at load.
#include "frontend/frontend.h"

PrinterContext::PrinterContext() { ReadSettings(); }

PrinterContext::~PrinterContext() {
  Shutdown();
  CloseDevice();
}

PrinterContext g_printer;
