// Gathers Writes that follow one another closely into one region of the
// target. A patch carries thousands of small Writes a few bytes apart; one at
// a time each costs a positioning and a write of its own, gathered the whole
// region costs one read (only when it has gaps) and one write.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/container.h"

class WriteBatch {
 public:
  static constexpr uint32_t kCapacity = 2 * kWriteBufferSize;
  // Gap bytes are read back from the target and rewritten unchanged; beyond
  // this a new region is cheaper.
  static constexpr uint64_t kMaxGap = 4096;
  static constexpr uint32_t kMaxGaps = 4096;

  bool active() const { return active_; }
  // The position behind the last byte added: the target position once the
  // batch has been written.
  uint64_t end() const { return end_; }
  // Whether a Write at start can join: forward of the batch, near its end,
  // and within the capacity. An inactive batch takes any Write.
  bool accepts(uint64_t start, uint32_t length) const;
  void add(uint64_t start, const uint8_t* data, uint32_t length);
  // Writes the region, its gaps as the target holds them, and leaves the
  // stream at end(). The batch is empty afterwards, also when it fails.
  bool flush(FILE* stream);

 private:
  struct Gap {
    uint32_t offset;  // from begin_
    uint32_t length;
  };

  bool active_ = false;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
  uint32_t gapCount_ = 0;

  static uint8_t region_[kCapacity];
  static uint8_t scratch_[kCapacity];
  static Gap gaps_[kMaxGaps];
};
