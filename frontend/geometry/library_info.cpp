// Build identification of the shared library, readable with `strings`.
extern "C" __attribute__((visibility("hidden"), used)) const char kKestarmBuildInfo[] =
    "KESTARM driver library, " KEST_DPI_TEXT " dpi build";
