#include <divsufsort.h>

#include "builder/suffix.h"

bool buildSuffixIndex32(const uint8_t* old, uint64_t oldSize,
                        MatchIndex* index, std::string* error) {
  auto sort = [](const uint8_t* text, saidx_t* suffixes, uint64_t n) {
    return divsufsort(text, suffixes, static_cast<saidx_t>(n));
  };
  return buildSuffixIndex(old, oldSize, IndexKind::SuffixArray32, 0x7FFFFFFFull,
                          &index->suffixes32, sort, index, error);
}

void searchSuffixes32(const MatchIndex& index, const uint8_t* pattern,
                      uint64_t patternLength, uint64_t* position,
                      uint64_t* length) {
  searchSuffixes(index, index.suffixes32.get(), pattern, patternLength,
                 position, length);
}
