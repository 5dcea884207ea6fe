// Known-answer vectors for the digest behind the check block.
#include <gtest/gtest.h>

#include <string>

#include "engine/sha256.h"

namespace {

std::string hex(const uint8_t* d) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < kSha256Size; ++i) {
    out.push_back(digits[d[i] >> 4]);
    out.push_back(digits[d[i] & 15]);
  }
  return out;
}

TEST(Sha256Test, KnownAnswers) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 16));
    uint8_t oneShot[kSha256Size];
    sha256(c.input.data(), c.input.size(), oneShot);
    EXPECT_EQ(hex(oneShot), c.digest);

    // Fed in uneven pieces, the digest is the same.
    Sha256 pieces;
    for (size_t at = 0, n = 1; at < c.input.size(); at += n, n = n * 3 + 1) {
      pieces.update(c.input.data() + at, std::min(n, c.input.size() - at));
    }
    uint8_t streamed[kSha256Size];
    pieces.finish(streamed);
    EXPECT_EQ(hex(streamed), c.digest);
  }
}

}  // namespace
