#include "engine/writebatch.h"

#include <cstring>

#include "platform/platform.h"

uint8_t WriteBatch::region_[kCapacity];
uint8_t WriteBatch::scratch_[kCapacity];
WriteBatch::Gap WriteBatch::gaps_[kMaxGaps];

bool WriteBatch::accepts(uint64_t start, uint32_t length) const {
  if (!active_) return length <= kCapacity;
  return start >= end_ && start - end_ <= kMaxGap &&
         (start == end_ || gapCount_ < kMaxGaps) &&
         start + length - begin_ <= kCapacity;
}

void WriteBatch::add(uint64_t start, const uint8_t* data, uint32_t length) {
  if (!active_) {
    active_ = true;
    begin_ = end_ = start;
    gapCount_ = 0;
  }
  if (start > end_) {
    gaps_[gapCount_++] = {static_cast<uint32_t>(end_ - begin_),
                          static_cast<uint32_t>(start - end_)};
  }
  std::memcpy(region_ + (start - begin_), data, length);
  end_ = start + length;
}

bool WriteBatch::flush(FILE* stream) {
  if (!active_) return true;
  active_ = false;
  uint32_t size = static_cast<uint32_t>(end_ - begin_);
  int64_t begin = static_cast<int64_t>(begin_);
  if (gapCount_ > 0) {
    // Gaps past the end of the target read as zero, as the gap rule has it.
    if (!platform::seekStream(stream, begin, SEEK_SET)) return false;
    size_t got = std::fread(scratch_, 1, size, stream);
    if (got < size) {
      if (std::ferror(stream)) return false;
      std::memset(scratch_ + got, 0, size - got);
    }
    for (uint32_t i = 0; i < gapCount_; ++i) {
      std::memcpy(region_ + gaps_[i].offset, scratch_ + gaps_[i].offset,
                  gaps_[i].length);
    }
  }
  return platform::seekStream(stream, begin, SEEK_SET) &&
         std::fwrite(region_, 1, size, stream) == size;
}
