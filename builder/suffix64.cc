#include <divsufsort64.h>

#include "builder/suffix.h"

bool buildSuffixIndex64(const uint8_t* old, uint64_t oldSize,
                        MatchIndex* index, std::string* error) {
  auto sort = [](const uint8_t* text, saidx64_t* suffixes, uint64_t n) {
    return divsufsort64(text, suffixes, static_cast<saidx64_t>(n));
  };
  return buildSuffixIndex(old, oldSize, IndexKind::SuffixArray64, 0x7FFFFFFFFFFFFFFFull,
                          &index->suffixes64, sort, index, error);
}

void searchSuffixes64(const MatchIndex& index, const uint8_t* pattern,
                      uint64_t patternLength, uint64_t* position,
                      uint64_t* length) {
  searchSuffixes(index, index.suffixes64.get(), pattern, patternLength,
                 position, length);
}
