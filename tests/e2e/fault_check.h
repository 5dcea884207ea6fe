// What a run that failed part way may leave in its target: exactly what the
// commands before the failing one produced, except inside the failing
// command's own range, where each byte is either its old value or the one
// the command would have written.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "tests/support/container_builder.h"

struct FaultRange {
  uint64_t start = 0;
  Bytes bytes;  // what the failing command writes from start on
};

inline void expectOnlyFaultRangeChanged(const Bytes& after, const Bytes& before,
                                        const FaultRange& fault) {
  uint64_t faultEnd = fault.start + fault.bytes.size();
  EXPECT_GE(after.size(), before.size()) << "the failed run shrank the target";
  EXPECT_LE(after.size(), std::max<uint64_t>(before.size(), faultEnd))
      << "the failed run grew the target past the failing command's range";
  size_t wrong = 0;
  uint64_t firstWrong = 0;
  for (uint64_t p = 0; p < after.size(); ++p) {
    uint8_t old = p < before.size() ? before[p] : 0;
    if (after[p] == old) continue;
    if (p >= fault.start && p < faultEnd && after[p] == fault.bytes[p - fault.start]) continue;
    if (wrong++ == 0) firstWrong = p;
  }
  EXPECT_EQ(wrong, 0u) << "bytes no command before the fault wrote, first at " << firstWrong;
}
