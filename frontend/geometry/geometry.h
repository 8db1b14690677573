// Page geometry of one library build: dots per millimetre, the reported
// resolutions and the paper table. The two builds differ only here.
#pragma once

#include <cstdint>

struct PaperEntry {
  int16_t code;
  uint32_t widthMm;
  uint32_t heightMm;
};

struct BuildGeometry {
  uint32_t dotsPerMm;
  uint32_t normalDpi;
  uint32_t draftDpi;
  const PaperEntry* papers;  // the codes of the table
  int paperCount;
  PaperEntry defaultPaper;  // for every code not in the table
};

const BuildGeometry& GetBuildGeometry();
