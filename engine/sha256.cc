#include "engine/sha256.h"

Sha256::Sha256() { SHA256_Init(&context); }

void Sha256::update(const void* data, size_t count) {
  if (count > 0) SHA256_Update(&context, data, count);
}

void Sha256::finish(uint8_t digest[kSha256Size]) {
  SHA256_Final(digest, &context);
}

void sha256(const void* data, size_t count, uint8_t digest[kSha256Size]) {
  Sha256 hash;
  hash.update(data, count);
  hash.finish(digest);
}
