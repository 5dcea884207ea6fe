// Finding where NEW's bytes come from in OLD: an index over OLD answers "the
// longest stretch of OLD that starts like NEW at this position", and a scan
// over NEW grows those seeds into approximate copies, stretches copied from
// OLD whose scattered differing bytes are left to small Writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// NEW bytes [destination, destination + length) are taken from OLD bytes at
// source; source == destination is an unchanged stretch.
struct Copy {
  uint64_t destination;
  uint64_t source;
  uint64_t length;
};

enum class IndexKind { SuffixArray32, SuffixArray64, Blocks };

// Longest-match index over OLD.
struct MatchIndex {
  IndexKind kind = IndexKind::SuffixArray32;
  const uint8_t* old = nullptr;
  uint64_t oldSize = 0;
  // Suffix array of OLD (one of the two) and the start of each two-byte
  // bucket in it.
  std::unique_ptr<int32_t[]> suffixes32;
  std::unique_ptr<int64_t[]> suffixes64;
  std::unique_ptr<uint64_t[]> buckets;
  // Block fingerprints: open addressing, keys are xxh3 of OLD's aligned
  // blocks (0 marks an empty slot), values the blocks' positions.
  uint64_t blockSize = 0;
  uint64_t slotMask = 0;
  std::unique_ptr<uint64_t[]> slotKeys;
  std::unique_ptr<uint64_t[]> slotPositions;
};

// Resident bytes each index needs for an OLD of oldSize bytes.
uint64_t suffixIndexBytes(IndexKind kind, uint64_t oldSize);
// Block size for a fingerprint index of at most budget bytes.
uint64_t chooseBlockSize(uint64_t oldSize, uint64_t budget);
uint64_t blockIndexBytes(uint64_t oldSize, uint64_t blockSize);

bool buildSuffixIndex32(const uint8_t* old, uint64_t oldSize,
                        MatchIndex* index, std::string* error);
bool buildSuffixIndex64(const uint8_t* old, uint64_t oldSize,
                        MatchIndex* index, std::string* error);
// release, when set, is called now and then while OLD is hashed, as the
// scan's release is.
bool buildBlockIndex(const uint8_t* old, uint64_t oldSize, uint64_t blockSize,
                     MatchIndex* index, std::string* error,
                     void (*release)(uint64_t below, void* context) = nullptr,
                     void* releaseContext = nullptr);

// Longest exact match of pattern (patternLength bytes) in OLD: its position
// and length; length 0 when the index knows none.
void findLongest(const MatchIndex& index, const uint8_t* pattern,
                 uint64_t patternLength, uint64_t* position, uint64_t* length);

// Share of NEW's bytes, in 1/65536, that copies found through a block index
// would leave differing: sampled in windows spread over NEW, each compared
// with OLD at its own offset or at the alignment its first block found in
// OLD points to, whichever matches more.
uint64_t estimateDifferingShare(const MatchIndex& blocks, const uint8_t* fresh,
                                uint64_t freshSize);

// Reports progress (bytes of NEW scanned) now and then.
using ScanProgress = void (*)(uint64_t done, uint64_t total, void* context);

struct ScanInput {
  const uint8_t* old = nullptr;
  uint64_t oldSize = 0;
  const uint8_t* fresh = nullptr;  // NEW
  uint64_t freshSize = 0;
  const MatchIndex* index = nullptr;
  ScanProgress progress = nullptr;
  void* progressContext = nullptr;
  // Called with the NEW offset below which nothing is read again, so that a
  // caller holding huge mappings can drop pages.
  void (*release)(uint64_t below, void* context) = nullptr;
  void* releaseContext = nullptr;
};

// The copies that build NEW, sorted by destination, destinations disjoint;
// whatever they leave uncovered is literal.
void scanCopies(const ScanInput& input, std::vector<Copy>* copies);

// Length of the common prefix of a and b, at most limit bytes.
uint64_t commonPrefix(const uint8_t* a, const uint8_t* b, uint64_t limit);
