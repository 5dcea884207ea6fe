#include "engine/blockops.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/patcher.h"
#include "platform/platform.h"

namespace {

// Copies between the page cache and memory run several times slower on
// common processors unless the destination is aligned to a cache line or both
// ends share their offset within one. The buffer is page-aligned with a line
// of slack, so that every read and write can meet one of the two.
constexpr size_t kLineSize = 64;
constexpr size_t kTransferBufferSize = kChunkSize + kLineSize;
constexpr size_t kTransferAlignment = 4096;

// One transfer buffer, obtained by a command and released when it ends.
// It comes from malloc, which answers exhaustion with null: the nothrow forms
// of operator new catch a bad_alloc inside, and unwinding it can itself need
// memory that is no longer there, which ends the process with an abort.
class TransferBuffer {
 public:
  TransferBuffer()
      : block_(std::malloc(kTransferBufferSize + kTransferAlignment - 1)) {}
  ~TransferBuffer() { std::free(block_); }
  TransferBuffer(const TransferBuffer&) = delete;
  TransferBuffer& operator=(const TransferBuffer&) = delete;

  explicit operator bool() const { return block_ != nullptr; }
  // The block's first page-aligned byte.
  uint8_t* get() const {
    uintptr_t at = reinterpret_cast<uintptr_t>(block_);
    return reinterpret_cast<uint8_t*>((at + kTransferAlignment - 1) &
                                      ~uintptr_t{kTransferAlignment - 1});
  }

 private:
  void* block_;
};

// Where a Move's pieces land in the buffer when read and start when written.
// Pieces advance by whole chunks, so one layout serves the whole command.
struct PieceLayout {
  size_t readOffset;
  size_t writeOffset;
};

PieceLayout layoutFor(uint64_t source, uint64_t destination) {
  size_t s = source % kLineSize, d = destination % kLineSize;
  return {s == d ? d : 0, d};
}

bool isEmptyLength(uint64_t length) { return static_cast<int64_t>(length) <= 0; }

// Reads count bytes at position; bytes past the end of the file read as zero,
// so a short source never leaves stale memory in the destination.
bool readPiece(FILE* stream, uint64_t position, uint8_t* buffer,
               uint32_t count) {
  if (!platform::seekStream(stream, static_cast<int64_t>(position), SEEK_SET)) {
    return false;
  }
  size_t got = std::fread(buffer, 1, count, stream);
  if (got < count) {
    if (std::ferror(stream)) return false;
    std::memset(buffer + got, 0, count - got);
  }
  return true;
}

bool writePiece(FILE* stream, const uint8_t* buffer, uint32_t count) {
  return std::fwrite(buffer, 1, count, stream) == count;
}

}  // namespace

bool seekExtending(FILE* stream, int64_t position) {
  if (std::fflush(stream) != 0) return false;
  if (platform::streamDescriptor(stream) < 0) return false;
  if (!platform::seekStream(stream, 0, SEEK_END)) return false;
  int64_t size = platform::tellStream(stream);
  if (size < 0) return false;
  if (size >= position) return platform::seekStream(stream, position, SEEK_SET);
  // One zero byte at position - 1 grows the file; the gap before it reads as
  // zero. Going through the stream keeps its idea of the position exact.
  static const uint8_t zero = 0;
  return platform::seekStream(stream, position - 1, SEEK_SET) &&
         std::fwrite(&zero, 1, 1, stream) == 1 && std::fflush(stream) == 0;
}

FillResult fillStream(FILE* stream, uint64_t length, uint8_t value) {
  TransferBuffer buffer;
  if (!buffer) return FillResult::OutOfMemory;
  std::memset(buffer.get(), value, kTransferBufferSize);
  if (isEmptyLength(length)) return FillResult::Done;
  // Every byte is value, so the pieces may start anywhere in the buffer:
  // where they share the target's offset within a line.
  int64_t here = platform::tellStream(stream);
  const uint8_t* from = buffer.get() + (here > 0 ? here % kLineSize : 0);
  for (uint64_t remaining = length; remaining > 0;) {
    uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(remaining, kChunkSize));
    if (!writePiece(stream, from, piece)) return FillResult::WriteFailed;
    remaining -= piece;
  }
  return FillResult::Done;
}

bool Patcher::moveBlock(uint64_t source, uint64_t destination,
                        uint64_t length) {
  if (source == destination) return true;
  TransferBuffer buffer;
  if (!buffer) return failOutOfMemory();
  if (isEmptyLength(length)) return true;
  // Every byte read or written must lie below 2^63; refuse before writing.
  if (source > kMaxPosition || destination > kMaxPosition ||
      length > kMaxPosition - std::max(source, destination)) {
    return failWrite();
  }
  const PieceLayout layout = layoutFor(source, destination);
  uint8_t* readAt = buffer.get() + layout.readOffset;
  uint8_t* writeFrom = buffer.get() + layout.writeOffset;
  auto realign = [&](uint32_t piece) {
    if (readAt != writeFrom) std::memmove(writeFrom, readAt, piece);
  };
  if (source > destination) {
    // Forward, lowest piece first: each source piece is read before any
    // write can reach it.
    for (uint64_t done = 0; done < length;) {
      uint32_t piece =
          static_cast<uint32_t>(std::min<uint64_t>(length - done, kChunkSize));
      if (!readPiece(target, source + done, readAt, piece)) return failWrite();
      realign(piece);
      if (!platform::seekStream(target, static_cast<int64_t>(destination + done),
                                SEEK_SET) ||
          !writePiece(target, writeFrom, piece)) {
        return failWrite();
      }
      done += piece;
    }
    return true;
  }
  // Backward, highest piece first, growing the file before each write.
  for (uint64_t remaining = length; remaining > 0;) {
    uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(remaining, kChunkSize));
    remaining -= piece;
    if (!readPiece(target, source + remaining, readAt, piece)) return failWrite();
    realign(piece);
    if (!seekExtending(target, static_cast<int64_t>(destination + remaining)) ||
        !writePiece(target, writeFrom, piece)) {
      return failWrite();
    }
  }
  return true;
}

bool Patcher::fillBlock(uint64_t offset, uint64_t length, uint8_t value) {
  if (offset > kMaxPosition ||
      (!isEmptyLength(length) && length > kMaxPosition - offset) ||
      !platform::seekStream(target, static_cast<int64_t>(offset), SEEK_SET)) {
    return failWrite();
  }
  switch (fillStream(target, length, value)) {
    case FillResult::Done:
      return true;
    case FillResult::OutOfMemory:
      return failOutOfMemory();
    case FillResult::WriteFailed:
      break;
  }
  return failWrite();
}

bool Patcher::resizeTarget(uint64_t size) {
  if (size > kMaxPosition) return failWrite();
  int64_t here = platform::tellStream(target);
  if (here < 0 || std::fflush(target) != 0) return failWrite();
  int descriptor = platform::streamDescriptor(target);
  // The stream is put back where it stood, so that read-ahead it may hold
  // never outlives the size change.
  if (descriptor < 0 ||
      !platform::resizeDescriptor(descriptor, static_cast<int64_t>(size)) ||
      !platform::seekStream(target, here, SEEK_SET)) {
    return failWrite();
  }
  return true;
}
