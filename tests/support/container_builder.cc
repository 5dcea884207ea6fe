#include "tests/support/container_builder.h"

#include <openssl/evp.h>

#include <stdexcept>

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes sha256Of(const Bytes& data) {
  Bytes digest(32);
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(),
                 nullptr) != 1 ||
      size != 32) {
    throw std::runtime_error("EVP_Digest failed");
  }
  return digest;
}

void appendLe(Bytes* out, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out->push_back((value >> (8 * i)) & 0xFF);
}

ContainerBuilder& ContainerBuilder::version(uint8_t major, uint8_t minor,
                                            uint8_t patch) {
  version_[0] = major;
  version_[1] = minor;
  version_[2] = patch;
  return *this;
}

ContainerBuilder& ContainerBuilder::magic(const Bytes& fourBytes) {
  magic_ = fourBytes;
  return *this;
}

ContainerBuilder& ContainerBuilder::reserved(uint8_t value) {
  reserved_ = value;
  return *this;
}

ContainerBuilder& ContainerBuilder::lengthField(uint64_t value) {
  lengthOverride_ = true;
  length_ = value;
  return *this;
}

ContainerBuilder& ContainerBuilder::end() {
  stream_.push_back(0x00);
  return *this;
}

ContainerBuilder& ContainerBuilder::check(uint64_t offset, uint64_t length,
                                          const Bytes& digest) {
  stream_.push_back(0x01);
  appendLe(&stream_, offset, 8);
  appendLe(&stream_, length, 8);
  stream_.insert(stream_.end(), digest.begin(), digest.end());
  return *this;
}

ContainerBuilder& ContainerBuilder::checkContent(uint64_t offset,
                                                 const Bytes& content) {
  return check(offset, content.size(), sha256Of(content));
}

ContainerBuilder& ContainerBuilder::move(uint64_t source, uint64_t destination,
                                         uint64_t length) {
  stream_.push_back(0x02);
  appendLe(&stream_, source, 8);
  appendLe(&stream_, destination, 8);
  appendLe(&stream_, length, 8);
  return *this;
}

ContainerBuilder& ContainerBuilder::fill(uint64_t offset, uint64_t length,
                                         uint8_t value) {
  stream_.push_back(0x03);
  appendLe(&stream_, offset, 8);
  appendLe(&stream_, length, 8);
  stream_.push_back(value);
  return *this;
}

ContainerBuilder& ContainerBuilder::resize(uint64_t size) {
  stream_.push_back(0x04);
  appendLe(&stream_, size, 8);
  return *this;
}

ContainerBuilder& ContainerBuilder::write(uint8_t op, uint64_t offset,
                                          const Bytes& data) {
  if (op < 0x10 || op > 0x1F || data.empty()) {
    throw std::invalid_argument("not a Write");
  }
  unsigned offsetWidth = 1u << ((op >> 1) & 3);
  unsigned lengthWidth = (op & 1) ? 2 : 1;
  if (data.size() > (lengthWidth == 1 ? 256u : 65536u)) {
    throw std::invalid_argument("Write data too long for its length field");
  }
  stream_.push_back(op);
  appendLe(&stream_, offset, offsetWidth);
  appendLe(&stream_, data.size() - 1, lengthWidth);
  stream_.insert(stream_.end(), data.begin(), data.end());
  return *this;
}

uint8_t narrowestWriteOp(bool relative, uint64_t offset, size_t dataSize) {
  unsigned w = offset <= 0xFF ? 0 : offset <= 0xFFFF ? 1 : offset <= 0xFFFFFFFF ? 2 : 3;
  return static_cast<uint8_t>(0x10 | (relative ? 0x08 : 0) | (w << 1) |
                              (dataSize > 256 ? 1 : 0));
}

ContainerBuilder& ContainerBuilder::writeAbsolute(uint64_t offset,
                                                  const Bytes& data) {
  return write(narrowestWriteOp(false, offset, data.size()), offset, data);
}

ContainerBuilder& ContainerBuilder::writeRelative(uint64_t step,
                                                  const Bytes& data) {
  return write(narrowestWriteOp(true, step, data.size()), step, data);
}

ContainerBuilder& ContainerBuilder::raw(const Bytes& bytes) {
  stream_.insert(stream_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes ContainerBuilder::build() const {
  Bytes out = magic_;
  out.push_back(version_[0]);
  out.push_back(version_[1]);
  out.push_back(version_[2]);
  out.push_back(reserved_);
  uint64_t length = 16 + stream_.size();
  appendLe(&out, lengthOverride_ ? length_ : length, 8);
  out.insert(out.end(), stream_.begin(), stream_.end());
  appendLe(&out, length + 8, 8);
  return out;
}
