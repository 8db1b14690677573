#include "raster/printer_context.h"
