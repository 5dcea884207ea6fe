// The target as the Moves leave it, and the Writes and Fills that turn it
// into NEW: the Moves are replayed on a copy of OLD (in memory, or in a
// temporary file when the files are large) and the result is compared with
// NEW byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/emit.h"
#include "builder/files.h"
#include "builder/match.h"

// The target after the Moves: in memory (bytes) or in a file (fd); bytes at
// or past size read as zero, which is what the gap rule and a final Resize
// give them.
struct Replay {
  std::vector<uint8_t> bytes;
  int fd = -1;
  std::string path;  // of the temporary file, removed by closeReplay
  uint64_t size = 0;
};

bool replayInMemory(const FileView& old, const std::vector<Copy>& moves,
                    Replay* replay, std::string* error);
bool replayOnFile(const FileView& old, const std::vector<Copy>& moves,
                  const std::string& directory, Replay* replay,
                  std::string* error);
void closeReplay(Replay* replay);

// Emits Writes (and Fills for long runs of one value) for every stretch where
// the replayed target differs from NEW, in ascending order, and a Resize when
// the target's size would not end up as NEW's. Returns false only when the
// writer fails or the replay file cannot be read.
bool emitLiterals(const Replay& replay, const FileView& fresh,
                  ContainerWriter* writer, std::string* error);
