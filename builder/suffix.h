// Suffix-array searches shared by the 32- and 64-bit index builds; each
// build lives in its own file since the two library headers cannot meet.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

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

// The index build both widths share; sort is the library's suffix sorter
// for entries of that width, suffixes the index's array for them.
template <typename Entry, typename Sort>
bool buildSuffixIndex(const uint8_t* old, uint64_t oldSize, IndexKind kind,
                      uint64_t maxSize, std::unique_ptr<Entry[]>* suffixes,
                      Sort sort, MatchIndex* index, std::string* error) {
  index->kind = kind;
  index->old = old;
  index->oldSize = oldSize;
  if (oldSize > maxSize) {
    *error = "the file is too large for this suffix array";
    return false;
  }
  index->buckets.reset(new (std::nothrow) uint64_t[kBucketCount + 1]);
  if (oldSize > 0) suffixes->reset(new (std::nothrow) Entry[oldSize]);
  if (!index->buckets || (oldSize > 0 && !*suffixes)) {
    *error = "not enough memory for the suffix array";
    return false;
  }
  countBuckets(old, oldSize, index->buckets.get());
  if (oldSize > 0 && sort(old, suffixes->get(), oldSize) != 0) {
    *error = "suffix sorting failed";
    return false;
  }
  return true;
}

// Longest match through the pattern's two-byte bucket.
template <typename Entry>
void searchSuffixes(const MatchIndex& index, const Entry* suffixes,
                    const uint8_t* pattern, uint64_t patternLength,
                    uint64_t* position, uint64_t* length) {
  *position = 0;
  *length = 0;
  if (patternLength < 2 || index.oldSize == 0) return;
  unsigned key = bucketKey(pattern, patternLength);
  uint64_t lo = index.buckets[key];
  uint64_t hi = index.buckets[key + 1];
  if (lo >= hi) return;
  searchSuffixRange(suffixes, index.old, index.oldSize, lo, hi, pattern,
                    patternLength, position, length);
}

void searchSuffixes32(const MatchIndex& index, const uint8_t* pattern,
                      uint64_t patternLength, uint64_t* position,
                      uint64_t* length);
void searchSuffixes64(const MatchIndex& index, const uint8_t* pattern,
                      uint64_t patternLength, uint64_t* position,
                      uint64_t* length);
