// Suffix-array searches shared by the 32- and 64-bit index builds; each
// build lives in its own file since the two library headers cannot meet.
#pragma once

#include <algorithm>
#include <cstdint>

#include "builder/match.h"

// Longest compare during a search; the caller extends a match that reaches
// it byte by byte, so runs of one value cost one long compare, not one per
// search step.
inline constexpr uint64_t kSearchCap = 1u << 16;

inline constexpr uint64_t kBucketCount = 65536;

inline unsigned bucketKey(const uint8_t* p, uint64_t available) {
  return (unsigned{p[0]} << 8) | (available > 1 ? p[1] : 0);
}

// Binary search over the sorted suffixes [lo, hi) that all share the
// pattern's first two bytes, skipping the prefix already known to agree with
// both ends of the range.
template <typename Index>
void searchSuffixRange(const Index* sa, const uint8_t* old, uint64_t n,
                       uint64_t lo, uint64_t hi, const uint8_t* pattern,
                       uint64_t patternLength, uint64_t* position,
                       uint64_t* length) {
  uint64_t limit = std::min(patternLength, kSearchCap);
  auto lcpAt = [&](uint64_t i) {
    uint64_t s = static_cast<uint64_t>(sa[i]);
    return commonPrefix(old + s, pattern, std::min(limit, n - s));
  };
  uint64_t st = lo;
  uint64_t en = hi - 1;
  uint64_t lcpSt = lcpAt(st);
  uint64_t lcpEn = st == en ? lcpSt : lcpAt(en);
  while (en - st > 1) {
    uint64_t mid = st + (en - st) / 2;
    uint64_t k = std::min(lcpSt, lcpEn);
    uint64_t s = static_cast<uint64_t>(sa[mid]);
    uint64_t suffixLength = n - s;
    uint64_t l =
        k + commonPrefix(old + s + k, pattern + k,
                         std::min(suffixLength, limit) - k);
    bool less = l < limit && (l == suffixLength || old[s + l] < pattern[l]);
    if (less) {
      st = mid;
      lcpSt = l;
    } else {
      en = mid;
      lcpEn = l;
    }
  }
  if (lcpEn > lcpSt) {
    *position = static_cast<uint64_t>(sa[en]);
    *length = lcpEn;
  } else {
    *position = static_cast<uint64_t>(sa[st]);
    *length = lcpSt;
  }
}

// Start of every two-byte bucket in the suffix order, counted from OLD
// directly: suffixes sort by their first two bytes (a missing second byte
// sorting first, like 0).
inline void countBuckets(const uint8_t* old, uint64_t n, uint64_t* buckets) {
  std::fill(buckets, buckets + kBucketCount + 1, 0);
  for (uint64_t i = 0; i < n; ++i) ++buckets[bucketKey(old + i, n - i) + 1];
  for (uint64_t k = 0; k < kBucketCount; ++k) buckets[k + 1] += buckets[k];
}

void searchSuffixes32(const MatchIndex& index, const uint8_t* pattern,
                      uint64_t patternLength, uint64_t* position,
                      uint64_t* length);
void searchSuffixes64(const MatchIndex& index, const uint8_t* pattern,
                      uint64_t patternLength, uint64_t* position,
                      uint64_t* length);
