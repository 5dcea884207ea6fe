#include "builder/emit.h"

#include <cstring>

unsigned narrowestWidthCode(uint64_t value) {
  if (value <= 0xFF) return 0;
  if (value <= 0xFFFF) return 1;
  if (value <= 0xFFFFFFFFull) return 2;
  return 3;
}

bool ContainerWriter::put(const uint8_t* bytes, size_t count) {
  if (failed) return false;
  if (std::fwrite(bytes, 1, count, out) != count) {
    failed = true;
    if (error != nullptr) *error = "cannot write the patch file";
    return false;
  }
  size += count;
  return true;
}

bool ContainerWriter::begin(FILE* stream, std::string* message) {
  out = stream;
  error = message;
  size = 0;
  positionKnown = false;  // the check block leaves it to the target's content
  tally = CommandCounts{};
  headerAt = ftello(out);
  if (headerAt < 0) {
    failed = true;
    if (error != nullptr) *error = "cannot write the patch file";
    return false;
  }
  uint8_t bytes[kHeaderSize] = {};
  return put(bytes, kHeaderSize);
}

bool ContainerWriter::check(uint64_t offset, uint64_t length,
                            const uint8_t digest[32]) {
  uint8_t bytes[1 + kCheckRecordSize];
  bytes[0] = OpCheck;
  encodeLe(bytes + 1, offset, 8);
  encodeLe(bytes + 9, length, 8);
  std::memcpy(bytes + 17, digest, kDigestSize);
  ++tally.checks;
  return put(bytes, sizeof bytes);
}

bool ContainerWriter::move(uint64_t source, uint64_t destination,
                           uint64_t length) {
  uint8_t bytes[1 + kMoveFieldsSize];
  bytes[0] = OpMove;
  encodeLe(bytes + 1, source, 8);
  encodeLe(bytes + 9, destination, 8);
  encodeLe(bytes + 17, length, 8);
  // Where a Move leaves the target depends on its chunking.
  positionKnown = false;
  ++tally.moves;
  tally.movedBytes += length;
  return put(bytes, sizeof bytes);
}

bool ContainerWriter::fill(uint64_t offset, uint64_t length, uint8_t value) {
  uint8_t bytes[1 + kFillFieldsSize];
  bytes[0] = OpFill;
  encodeLe(bytes + 1, offset, 8);
  encodeLe(bytes + 9, length, 8);
  bytes[17] = value;
  positionKnown = true;
  position = offset + length;
  ++tally.fills;
  tally.filledBytes += length;
  return put(bytes, sizeof bytes);
}

bool ContainerWriter::resize(uint64_t newSize) {
  uint8_t bytes[1 + kResizeFieldsSize];
  bytes[0] = OpResize;
  encodeLe(bytes + 1, newSize, 8);
  ++tally.resizes;  // the position stays where it was
  return put(bytes, sizeof bytes);
}

bool ContainerWriter::writePiece(uint64_t offset, const uint8_t* data,
                                 uint32_t length) {
  unsigned absoluteCode = narrowestWidthCode(offset);
  bool relative = false;
  unsigned code = absoluteCode;
  uint64_t field = offset;
  // A relative step only goes forward; it wins ties, which keeps runs of
  // nearby changes on one-byte steps.
  if (positionKnown && offset >= position) {
    unsigned relativeCode = narrowestWidthCode(offset - position);
    if (relativeCode <= absoluteCode) {
      relative = true;
      code = relativeCode;
      field = offset - position;
    }
  }
  unsigned offsetWidth = 1u << code;
  bool len16 = length > 256;
  uint8_t head[1 + 8 + 2];
  head[0] = static_cast<uint8_t>(OpWrite | (relative ? WriteRelative : 0) |
                                 (code << 1) | (len16 ? WriteLen16 : 0));
  encodeLe(head + 1, field, offsetWidth);
  encodeLe(head + 1 + offsetWidth, length - 1, len16 ? 2 : 1);
  size_t headSize = 1 + offsetWidth + (len16 ? 2 : 1);
  positionKnown = true;
  position = offset + length;
  ++tally.writes;
  if (relative) ++tally.relativeWrites;
  tally.writtenBytes += length;
  tally.writeBytes += headSize + length;
  return put(head, headSize) && put(data, length);
}

bool ContainerWriter::write(uint64_t offset, const uint8_t* data,
                            uint64_t length) {
  while (length > 0) {
    uint32_t piece = length > kWriteBufferSize
                         ? kWriteBufferSize
                         : static_cast<uint32_t>(length);
    if (!writePiece(offset, data, piece)) return false;
    offset += piece;
    data += piece;
    length -= piece;
  }
  return true;
}

bool ContainerWriter::finish() {
  uint8_t end = OpEnd;
  if (!put(&end, 1)) return false;
  uint8_t trailer[kTrailerSize];
  encodeLe(trailer, size + kTrailerSize, kTrailerSize);
  if (std::fwrite(trailer, 1, kTrailerSize, out) != kTrailerSize) {
    failed = true;
    if (error != nullptr) *error = "cannot write the patch file";
    return false;
  }
  PatchHeader header{};
  std::memcpy(header.magic, kPatchMagic, 4);
  header.versionMajor = 1;
  header.length = size;
  uint8_t bytes[kHeaderSize];
  encodeHeader(header, bytes);
  int64_t endAt = ftello(out);
  if (endAt < 0 || fseeko(out, headerAt, SEEK_SET) != 0 ||
      std::fwrite(bytes, 1, kHeaderSize, out) != kHeaderSize ||
      fseeko(out, endAt, SEEK_SET) != 0 || std::fflush(out) != 0) {
    failed = true;
    if (error != nullptr) *error = "cannot write the patch file";
    return false;
  }
  return true;
}
