// The format's worked example: a target of 0x3000 bytes that gets 16 bytes
// inserted at 0x1000, 3 bytes replaced at 0x20 and 2 at 0x24, with the region
// 0x20..0x27 guarding the patched state.
#pragma once

#include "tests/support/container_builder.h"
#include "tests/support/files.h"

struct WorkedExample {
  Bytes old;
  Bytes patched;
  Bytes container;
};

inline WorkedExample workedExample() {
  WorkedExample e;
  e.old = patternBytes(0x3000, 11);
  Bytes inserted = patternBytes(16, 12);
  e.patched.assign(e.old.begin(), e.old.begin() + 0x1000);
  e.patched.insert(e.patched.end(), inserted.begin(), inserted.end());
  e.patched.insert(e.patched.end(), e.old.begin() + 0x1000, e.old.end());
  const uint8_t changes[][2] = {{0x20, 0xAA}, {0x21, 0xBB}, {0x22, 0xCC}, {0x24, 0xDD}, {0x25, 0xEE}};
  for (const auto& c : changes) e.patched[c[0]] = c[1];
  e.container = ContainerBuilder()
                    .checkContent(0x20, Bytes(e.patched.begin() + 0x20, e.patched.begin() + 0x28))
                    .move(0x1000, 0x1010, 0x2000)
                    .write(0x12, 0x1000, inserted)
                    .write(0x10, 0x20, {0xAA, 0xBB, 0xCC})
                    .write(0x18, 0x01, {0xDD, 0xEE})
                    .end()
                    .build();
  return e;
}
