#include <divsufsort64.h>

#include <new>

#include "builder/suffix.h"

bool buildSuffixIndex64(const uint8_t* old, uint64_t oldSize,
                        MatchIndex* index, std::string* error) {
  index->kind = IndexKind::SuffixArray64;
  index->old = old;
  index->oldSize = oldSize;
  if (oldSize > 0x7FFFFFFFFFFFFFFFull) {
    *error = "the file is too large for this suffix array";
    return false;
  }
  index->buckets.reset(new (std::nothrow) uint64_t[kBucketCount + 1]);
  if (oldSize > 0) {
    index->suffixes64.reset(new (std::nothrow) int64_t[oldSize]);
  }
  if (!index->buckets || (oldSize > 0 && !index->suffixes64)) {
    *error = "not enough memory for the suffix array";
    return false;
  }
  countBuckets(old, oldSize, index->buckets.get());
  if (oldSize > 0 &&
      divsufsort64(old, index->suffixes64.get(),
          static_cast<saidx64_t>(oldSize)) != 0) {
    *error = "suffix sorting failed";
    return false;
  }
  return true;
}

void searchSuffixes64(const MatchIndex& index, const uint8_t* pattern,
                      uint64_t patternLength, uint64_t* position,
                      uint64_t* length) {
  *position = 0;
  *length = 0;
  if (patternLength < 2 || index.oldSize == 0) return;
  unsigned key = bucketKey(pattern, patternLength);
  uint64_t lo = index.buckets[key];
  uint64_t hi = index.buckets[key + 1];
  if (lo >= hi) return;
  searchSuffixRange(index.suffixes64.get(), index.old, index.oldSize, lo, hi,
                    pattern, patternLength, position, length);
}
