// Encodes the command stream of a container: the narrowest Write encodings,
// relative steps while the target position is known, absolute offsets where
// it is not (after the check block and after every Move), and Writes split
// into pieces of at most kWriteBufferSize bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/container.h"

struct CommandCounts {
  uint64_t checks = 0;
  uint64_t moves = 0;
  uint64_t movedBytes = 0;
  uint64_t fills = 0;
  uint64_t filledBytes = 0;
  uint64_t resizes = 0;
  uint64_t writes = 0;
  uint64_t relativeWrites = 0;
  uint64_t writtenBytes = 0;  // data bytes carried by Writes
  uint64_t writeBytes = 0;    // encoded size of all Writes
};

// Smallest field of 1, 2, 4 or 8 bytes that holds value; returns the width
// code (0 to 3) of the Write op byte.
unsigned narrowestWidthCode(uint64_t value);

class ContainerWriter {
 public:
  // Starts a container at the current end of out: writes a header whose
  // length field finish() fills in.
  bool begin(FILE* out, std::string* error);
  bool check(uint64_t offset, uint64_t length, const uint8_t digest[32]);
  bool move(uint64_t source, uint64_t destination, uint64_t length);
  bool fill(uint64_t offset, uint64_t length, uint8_t value);
  bool resize(uint64_t size);
  // Any length; pieces after the first are relative Writes with step 0.
  bool write(uint64_t offset, const uint8_t* data, uint64_t length);
  // End, trailer, and the header's length field.
  bool finish();

  uint64_t containerSize() const { return size + kTrailerSize; }
  const CommandCounts& counts() const { return tally; }

 private:
  bool writePiece(uint64_t offset, const uint8_t* data, uint32_t length);
  bool put(const uint8_t* bytes, size_t count);

  FILE* out = nullptr;
  int64_t headerAt = 0;
  uint64_t size = 0;  // header and commands so far
  bool positionKnown = false;
  uint64_t position = 0;
  bool failed = false;
  std::string* error = nullptr;
  CommandCounts tally;
};
