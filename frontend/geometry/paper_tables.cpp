#include "frontend/geometry/geometry.h"

#ifndef KEST_DPI
#error "KEST_DPI selects the build: 300 or 203"
#endif

namespace {

#if KEST_DPI == 300
constexpr PaperEntry kPapers[] = {
    {1, 48, 68},    // DMPAPER_LETTER
    {5, 72, 102},   // DMPAPER_LEGAL
    {9, 104, 147},  // DMPAPER_A4
    {13, 80, 113},  // DMPAPER_B5
};
constexpr BuildGeometry kGeometry = {12, 300, 150, kPapers, 4, {0, 48, 68}};
#elif KEST_DPI == 203
// Code 13 has no size of its own here and takes the default.
constexpr PaperEntry kPapers[] = {
    {1, 48, 68},   // DMPAPER_LETTER
    {5, 80, 113},  // DMPAPER_LEGAL
    {9, 80, 113},  // DMPAPER_A4
};
constexpr BuildGeometry kGeometry = {8, 203, 101, kPapers, 3, {0, 48, 68}};
#else
#error "unknown KEST_DPI"
#endif

}  // namespace

const BuildGeometry& GetBuildGeometry() { return kGeometry; }
