// Reading a patch back: where its container sits, the header, the check
// block, and every command, with bounds checked at each step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/emit.h"

struct ParsedCommand {
  uint64_t at;  // offset of the op byte in the container
  uint8_t op;
  // Check: offset, length. Move: source, destination, length. Fill: offset,
  // length, value. Resize: size. Write: offset field, data length.
  uint64_t a = 0;
  uint64_t b = 0;
  uint64_t c = 0;
  uint8_t digest[32] = {};
  bool inCheckBlock = false;
};

struct PatchSummary {
  uint64_t fileSize = 0;
  uint64_t stubSize = 0;
  uint64_t containerSize = 0;  // trailer value
  uint8_t version[3] = {};
  uint8_t reserved = 0;
  uint64_t lengthField = 0;
  std::vector<ParsedCommand> checkBlock;
  CommandCounts counts;
  uint64_t commands = 0;  // End included
  uint64_t trailingBytes = 0;  // between End and the trailer
};

// commands, when not null, receives every command in stream order.
bool inspectPatch(const std::string& path, PatchSummary* summary,
                  std::vector<ParsedCommand>* commands, std::string* error);
