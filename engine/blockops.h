// Stream helpers behind the Move, Fill and Resize commands.
#pragma once

#include <cstdint>
#include <cstdio>

// The most that a Move or Fill reads or writes in one piece.
inline constexpr uint32_t kChunkSize = 0x100000;

// Positions stream at position, first growing the file to position bytes
// (zeros) when it is shorter. False when the stream cannot be flushed or
// positioned, has no descriptor, or the file cannot grow.
bool seekExtending(FILE* stream, int64_t position);

enum class FillResult { Done, WriteFailed, OutOfMemory };

// Writes length copies of value from the stream's current position; a length
// that is not positive as a signed value writes nothing.
FillResult fillStream(FILE* stream, uint64_t length, uint8_t value);
