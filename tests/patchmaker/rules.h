// An independent reading of an emitted patch that checks the rules every
// container must follow; returns "" when all hold, else the first broken one.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/sha256.h"
#include "testutil.h"

namespace rules {

inline uint64_t le(const uint8_t* p, unsigned n) {
  uint64_t v = 0;
  for (unsigned i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

inline unsigned narrowest(uint64_t v) {
  return v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFFull ? 4 : 8;
}

inline std::string at(const std::string& what, uint64_t offset) {
  return what + " (container offset " + std::to_string(offset) + ")";
}

inline std::string check(const Bytes& patch, uint64_t stubSize,
                         const Bytes& old, const Bytes& fresh) {
  const uint64_t kTop = uint64_t{1} << 63;
  uint64_t size = patch.size();
  if (size < stubSize + 25) return "patch shorter than stub + empty container";
  const uint8_t* d = patch.data();
  uint64_t t = le(d + size - 8, 8);
  if (t != size - stubSize) return "trailer does not lead to the stub's end";
  const uint8_t* h = d + stubSize;
  if (h[0] != 0x33 || h[1] != 0x50 || h[2] != 0x53 || h[3] != 0x00) {
    return "bad magic";
  }
  if (h[4] != 1 || h[5] != 0 || h[6] != 0) return "version is not 1.0.0";
  if (h[7] != 0) return "reserved byte is not 0";
  if (le(h + 8, 8) != t - 8) return "length field is not trailer - 8";
  uint64_t p = stubSize + 16;
  uint64_t end = size - 8;
  bool inCheckBlock = true;
  bool seenLiteral = false;  // a Write, Fill or Resize
  uint64_t checks = 0;
  bool known = false;  // whether the target position is determined
  uint64_t position = 0;
  bool previousWasWrite = false;
  uint64_t previousEnd = 0;
  uint64_t previousLength = 0;
  bool oldEqualsNew = old == fresh;
  for (;;) {
    if (p >= end) return "no End before the trailer";
    uint64_t here = p - stubSize;
    uint8_t op = d[p++];
    uint64_t left = end - p;
    if (op != 0x01) inCheckBlock = false;
    if (op == 0x00) {
      if (left != 0) return at("bytes between End and the trailer", here);
      break;
    }
    if ((op & 0xF0) == 0x10) {
      unsigned ow = 1u << ((op >> 1) & 3);
      unsigned lw = 1u << (op & 1);
      if (left < ow + lw) return at("Write cut short", here);
      uint64_t field = le(d + p, ow);
      uint64_t n = le(d + p + ow, lw) + 1;
      if (left - ow - lw < n) return at("Write data cut short", here);
      bool relative = (op & 0x08) != 0;
      if (relative && !known) {
        return at("relative Write where the position is not determined", here);
      }
      uint64_t start = relative ? position + field : field;
      if (start >= kTop || n > kTop - start) return at("Write past 2^63", here);
      if (ow != narrowest(field)) return at("offset field not narrowest", here);
      if ((lw == 2) != (n > 256)) return at("length field not narrowest", here);
      // The mode chosen is never wider than the other one available.
      if (!relative && known && start >= position &&
          narrowest(start - position) < ow) {
        return at("absolute Write where a narrower relative one fits", here);
      }
      if (relative && narrowest(start) < ow) {
        return at("relative Write where a narrower absolute one fits", here);
      }
      // The second and later pieces of a long run continue with step 0.
      if (previousWasWrite && previousLength == 65536 &&
          start == previousEnd && !(relative && field == 0)) {
        return at("continuation of a split Write is not relative step 0",
                  here);
      }
      p += ow + lw + n;
      known = true;
      position = start + n;
      seenLiteral = true;
      previousWasWrite = true;
      previousEnd = start + n;
      previousLength = n;
      continue;
    }
    previousWasWrite = false;
    switch (op) {
      case 0x01: {
        if (left < 48) return at("Check cut short", here);
        if (!inCheckBlock) return at("Check outside the check block", here);
        uint64_t offset = le(d + p, 8);
        uint64_t length = le(d + p + 8, 8);
        if (++checks > 4) return "more than four check regions";
        if (length > 256) return at("check region over 256 bytes", here);
        if (offset > fresh.size() || length > fresh.size() - offset) {
          return at("check region outside NEW", here);
        }
        uint8_t digest[32];
        sha256(fresh.data() + offset, static_cast<size_t>(length), digest);
        if (std::memcmp(digest, d + p + 16, 32) != 0) {
          return at("check digest is not NEW's", here);
        }
        bool oldDiffers =
            offset + length > old.size() ||
            (length > 0 && std::memcmp(old.data() + offset, fresh.data() + offset,
                                       static_cast<size_t>(length)) != 0);
        if (oldEqualsNew ? oldDiffers : !oldDiffers) {
          return at(oldEqualsNew ? "check region differs though OLD = NEW"
                                 : "check region where OLD equals NEW",
                    here);
        }
        p += 48;
        break;
      }
      case 0x02: {
        if (left < 24) return at("Move cut short", here);
        uint64_t s = le(d + p, 8);
        uint64_t dst = le(d + p + 8, 8);
        uint64_t n = le(d + p + 16, 8);
        if (seenLiteral) return at("Move after a Write, Fill or Resize", here);
        if (s >= kTop || dst >= kTop || n >= kTop || n > kTop - s ||
            n > kTop - dst) {
          return at("Move past 2^63", here);
        }
        known = false;
        p += 24;
        break;
      }
      case 0x03: {
        if (left < 17) return at("Fill cut short", here);
        uint64_t offset = le(d + p, 8);
        uint64_t n = le(d + p + 8, 8);
        if (offset >= kTop || n >= kTop || n > kTop - offset) {
          return at("Fill past 2^63", here);
        }
        known = true;
        position = offset + n;
        seenLiteral = true;
        p += 17;
        break;
      }
      case 0x04: {
        if (left < 8) return at("Resize cut short", here);
        if (le(d + p, 8) >= kTop) return at("Resize past 2^63", here);
        seenLiteral = true;
        p += 8;
        break;
      }
      default:
        return at("unknown command", here);
    }
  }
  // Unless OLD and NEW cannot be told apart by NEW's bytes, the patch
  // recognises its own result.
  bool newIsPrefix =
      fresh.size() <= old.size() &&
      (fresh.empty() ||
       std::memcmp(old.data(), fresh.data(), fresh.size()) == 0);
  if (checks == 0 && (!newIsPrefix || oldEqualsNew)) {
    return "no check block though NEW differs from OLD";
  }
  return "";
}

}  // namespace rules
