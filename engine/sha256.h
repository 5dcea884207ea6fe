// SHA-256 through libcrypto's low-level interface: it links a few kilobytes,
// where the one-shot EVP path pulls in the provider machinery.
#pragma once

#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED
#endif
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t kSha256Size = 32;

class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t count);
  void finish(uint8_t digest[kSha256Size]);

 private:
  SHA256_CTX context;
};

void sha256(const void* data, size_t count, uint8_t digest[kSha256Size]);
