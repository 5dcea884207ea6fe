#include "builder/checkblock.h"

#include <algorithm>

#include "builder/match.h"
#include "engine/sha256.h"

namespace {

constexpr size_t kMaxSamples = 4096;

void addRegion(const FileView& fresh, uint64_t offset, uint64_t length,
               std::vector<CheckRegion>* regions) {
  for (const CheckRegion& r : *regions) {
    if (offset < r.offset + r.length && r.offset < offset + length) return;
  }
  CheckRegion region;
  region.offset = offset;
  region.length = length;
  sha256(fresh.data + offset, static_cast<size_t>(length), region.digest);
  regions->push_back(region);
}

}  // namespace

void chooseCheckRegions(const FileView& old, const FileView& fresh,
                        std::vector<CheckRegion>* regions, bool* identical) {
  regions->clear();
  // Differing positions, one per stride at most; the stride doubles whenever
  // the sample fills, so the sample stays spread over the whole file.
  std::vector<uint64_t> samples;
  uint64_t stride = kCheckRegionLength;
  uint64_t p = 0;
  uint64_t common = std::min(old.size, fresh.size);
  uint64_t released = 0;
  constexpr uint64_t kReleaseStep = 1u << 26;
  while (p < fresh.size) {
    if (p < common) {
      // In steps, so that the pages behind can be dropped on huge files.
      uint64_t stop = std::min(common, p + kReleaseStep);
      uint64_t same = commonPrefix(old.data + p, fresh.data + p, stop - p);
      p += same;
      if (p == stop && p < common) {
        releaseView(old, released, p - released);
        releaseView(fresh, released, p - released);
        released = p;
        continue;
      }
      if (p >= fresh.size) break;
    }
    if (samples.size() == kMaxSamples) {
      size_t kept = 0;
      for (size_t i = 0; i < samples.size(); i += 2) samples[kept++] = samples[i];
      samples.resize(kept);
      stride *= 2;
    }
    samples.push_back(p);
    p += stride;
  }
  *identical = samples.empty() && old.size == fresh.size;
  uint64_t length = std::min(kCheckRegionLength, fresh.size);
  if (*identical) {
    if (fresh.size == 0) {
      CheckRegion empty{};
      sha256(nullptr, 0, empty.digest);
      regions->push_back(empty);
      return;
    }
    for (uint64_t k = 0; k < kMaxCheckRegions; ++k) {
      uint64_t at = fresh.size / kMaxCheckRegions * k;
      addRegion(fresh, std::min(at, fresh.size - length), length, regions);
    }
    return;
  }
  if (samples.empty()) return;
  // Evenly over the sample, each region centred on its differing byte.
  size_t m = samples.size();
  size_t wanted = static_cast<size_t>(std::min<uint64_t>(kMaxCheckRegions, m));
  for (size_t k = 0; k < wanted; ++k) {
    size_t pick = m == wanted ? k : (2 * k + 1) * m / (2 * wanted);
    uint64_t d = samples[pick];
    uint64_t start = d >= length / 2 ? d - length / 2 : 0;
    start = std::min(start, fresh.size - length);
    addRegion(fresh, start, length, regions);
  }
}
