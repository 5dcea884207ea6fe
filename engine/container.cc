#include "engine/container.h"

#include <cstring>

PatchHeader decodeHeader(const uint8_t bytes[kHeaderSize]) {
  PatchHeader h;
  std::memcpy(h.magic, bytes, 4);
  h.versionMajor = bytes[4];
  h.versionMinor = bytes[5];
  h.versionPatch = bytes[6];
  h.reserved = bytes[7];
  h.length = decodeLe(bytes + 8, 8);
  return h;
}

void encodeHeader(const PatchHeader& header, uint8_t bytes[kHeaderSize]) {
  std::memcpy(bytes, header.magic, 4);
  bytes[4] = header.versionMajor;
  bytes[5] = header.versionMinor;
  bytes[6] = header.versionPatch;
  bytes[7] = header.reserved;
  encodeLe(bytes + 8, header.length, 8);
}

CheckRecord decodeCheckRecord(const uint8_t bytes[kCheckRecordSize]) {
  CheckRecord r;
  r.offset = decodeLe(bytes, 8);
  r.length = decodeLe(bytes + 8, 8);
  std::memcpy(r.digest, bytes + 16, kDigestSize);
  return r;
}

bool hasPatchMagic(const PatchHeader& header) {
  return std::memcmp(header.magic, kPatchMagic, 4) == 0;
}

uint32_t packVersion(const PatchHeader& header) {
  return (uint32_t{header.versionMajor} << 16) |
         (uint32_t{header.versionMinor} << 8) | header.versionPatch;
}
