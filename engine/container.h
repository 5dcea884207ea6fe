// The patch container: header, command stream and trailer appended to the
// patcher executable.
//
// File layout (all integers little-endian, unsigned):
//
//   offset            size  item
//   0                 any   program image
//   H = size - T      16    PatchHeader
//   H + 16            var   command stream, the last command End (0x00)
//   size - 8          8     ContainerTrailer: T = 16 + stream size + 8
//
// PatchHeader:
//
//   offset  size  field         content
//   0       4     magic         33 50 53 00 ("3PS\0"), all four bytes compared
//   4       1     versionMajor
//   5       1     versionMinor
//   6       1     versionPatch
//   7       1     reserved      0; never read
//   8       8     length        16 + stream size (T - 8); never read
//
// Commands (op byte, then fields at their widths, nothing in between):
//
//   op         name      fields                                    size
//   0x00       OpEnd     -                                         1
//   0x01       OpCheck   u64 offset, u64 length, 32-byte SHA-256   49
//   0x02       OpMove    u64 source, u64 destination, u64 length   25
//   0x03       OpFill    u64 offset, u64 length, u8 value          18
//   0x04       OpResize  u64 size                                  9
//   0x10-0x1F  OpWrite   offset (1/2/4/8), stored length (1/2),    var
//                        stored length + 1 data bytes
//   other      unknown: nothing after it can be read
//
// Write op bits: bit 0 WriteLen16 (2-byte length field), bits 1-2 the offset
// width code w (1 << w bytes), bit 3 WriteRelative (offset is a forward step
// from the current target position).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t kPatchMagic[4] = {0x33, 0x50, 0x53, 0x00};
inline constexpr uint32_t kMaxSupportedVersion = 0x010000;  // 1.0.0
inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kTrailerSize = 8;
inline constexpr size_t kCheckRecordSize = 48;
inline constexpr size_t kDigestSize = 32;
inline constexpr size_t kMoveFieldsSize = 24;
inline constexpr size_t kFillFieldsSize = 17;
inline constexpr size_t kResizeFieldsSize = 8;
inline constexpr uint32_t kWriteBufferSize = 65536;  // the longest Write
// Positions in the target are signed 64-bit: nothing at or past this exists.
inline constexpr uint64_t kMaxPosition = 0x7FFFFFFFFFFFFFFFull;

enum PatchOp : uint8_t {
  OpEnd = 0x00,
  OpCheck = 0x01,
  OpMove = 0x02,
  OpFill = 0x03,
  OpResize = 0x04,
  OpWrite = 0x10,  // 0x10 to 0x1F, low bits below
};

enum WriteBits : uint8_t {
  WriteLen16 = 0x01,
  WriteOffsetWidth = 0x06,
  WriteRelative = 0x08,
};

inline bool isWriteOp(uint8_t op) { return (op & 0xF0) == OpWrite; }
inline unsigned writeOffsetWidth(uint8_t op) { return 1u << ((op >> 1) & 3); }
inline unsigned writeLengthWidth(uint8_t op) { return 1u << (op & 1); }

struct PatchHeader {
  uint8_t magic[4];
  uint8_t versionMajor;
  uint8_t versionMinor;
  uint8_t versionPatch;
  uint8_t reserved;
  uint64_t length;
};

struct ContainerTrailer {
  uint64_t length;  // header's first byte to the end of the file
};

struct CheckRecord {
  uint64_t offset;
  uint64_t length;
  uint8_t digest[kDigestSize];
};

inline uint64_t decodeLe(const uint8_t* p, unsigned width) {
  uint64_t v = 0;
  for (unsigned i = width; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

inline void encodeLe(uint8_t* p, uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

PatchHeader decodeHeader(const uint8_t bytes[kHeaderSize]);
void encodeHeader(const PatchHeader& header, uint8_t bytes[kHeaderSize]);
CheckRecord decodeCheckRecord(const uint8_t bytes[kCheckRecordSize]);
bool hasPatchMagic(const PatchHeader& header);
uint32_t packVersion(const PatchHeader& header);
