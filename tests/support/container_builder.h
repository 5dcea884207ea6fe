// Byte-level writer of patch containers for tests. It knows the format only
// from its own constants, so a mistake in the engine's definitions cannot
// cancel out here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& text);
Bytes sha256Of(const Bytes& data);
void appendLe(Bytes* out, uint64_t value, unsigned width);

class ContainerBuilder {
 public:
  ContainerBuilder& version(uint8_t major, uint8_t minor, uint8_t patch);
  ContainerBuilder& magic(const Bytes& fourBytes);
  ContainerBuilder& reserved(uint8_t value);
  ContainerBuilder& lengthField(uint64_t value);

  ContainerBuilder& end();
  ContainerBuilder& check(uint64_t offset, uint64_t length, const Bytes& digest);
  // A Check whose digest is that of content, the region's patched bytes.
  ContainerBuilder& checkContent(uint64_t offset, const Bytes& content);
  ContainerBuilder& move(uint64_t source, uint64_t destination, uint64_t length);
  ContainerBuilder& fill(uint64_t offset, uint64_t length, uint8_t value);
  ContainerBuilder& resize(uint64_t size);
  // A Write with an explicit op byte 0x10-0x1F: offset and stored length at
  // the widths the op selects, stored length = data size - 1.
  ContainerBuilder& write(uint8_t op, uint64_t offset, const Bytes& data);
  // Absolute / relative Write in the narrowest encoding.
  ContainerBuilder& writeAbsolute(uint64_t offset, const Bytes& data);
  ContainerBuilder& writeRelative(uint64_t step, const Bytes& data);
  ContainerBuilder& raw(const Bytes& bytes);

  const Bytes& stream() const { return stream_; }
  // Header, stream and trailer.
  Bytes build() const;

 private:
  Bytes magic_{0x33, 0x50, 0x53, 0x00};
  uint8_t version_[3] = {1, 0, 0};
  uint8_t reserved_ = 0;
  bool lengthOverride_ = false;
  uint64_t length_ = 0;
  Bytes stream_;
};

uint8_t narrowestWriteOp(bool relative, uint64_t offset, size_t dataSize);
