// The check block: up to four regions of at most 256 bytes, each placed on
// bytes where OLD differs from NEW (or that OLD lacks), with the digest of
// NEW's bytes there. A patched target matches all of them; an unpatched OLD
// matches none.
#pragma once

#include <cstdint>
#include <vector>

#include "builder/files.h"

inline constexpr uint64_t kMaxCheckRegions = 4;
inline constexpr uint64_t kCheckRegionLength = 256;

struct CheckRegion {
  uint64_t offset;
  uint64_t length;
  uint8_t digest[32];
};

// For OLD = NEW (identical true) the regions are spread over NEW, so that
// the patch reports the file as already patched; an empty NEW gets one empty
// region, which matches any file. When NEW is a prefix of OLD nothing tells
// the two apart and there are no regions.
void chooseCheckRegions(const FileView& old, const FileView& fresh,
                        std::vector<CheckRegion>* regions, bool* identical);
