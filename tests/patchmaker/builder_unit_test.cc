// The builder's parts on their own: the encoder against a hand-worked
// container, and the Move ordering against a replay that tells whether any
// Move read bytes an earlier one had overwritten.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "builder/emit.h"
#include "builder/order.h"
#include "testutil.h"

namespace {

Bytes encode(const std::function<void(ContainerWriter*)>& commands) {
  FILE* f = std::tmpfile();
  ContainerWriter w;
  std::string error;
  EXPECT_TRUE(w.begin(f, &error)) << error;
  commands(&w);
  EXPECT_TRUE(w.finish());
  std::rewind(f);
  Bytes out;
  int c;
  while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return out;
}

Bytes hexBytes(const char* text) {
  Bytes out;
  for (const char* p = text; p[0] && p[1];) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

// A target of 0x3000 bytes gets 16 bytes inserted at 0x1000 and two small
// replacements near its start, guarded by one region; worked out by hand
// from the format.
TEST(ContainerWriter, EncodesTheWorkedExampleByteForByte) {
  uint8_t digest[32];
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(0xC0 + i);
  Bytes inserted(16);
  for (int i = 0; i < 16; ++i) inserted[i] = static_cast<uint8_t>(i);
  const uint8_t first[3] = {0xAA, 0xBB, 0xCC};
  const uint8_t second[2] = {0xDD, 0xEE};
  Bytes got = encode([&](ContainerWriter* w) {
    w->check(0x20, 8, digest);
    w->move(0x1000, 0x1010, 0x2000);
    w->write(0x1000, inserted.data(), inserted.size());
    w->write(0x20, first, 3);
    w->write(0x24, second, 2);
  });
  Bytes want = hexBytes("33505300 01000000 7A00000000000000");
  Bytes check = hexBytes("01 2000000000000000 0800000000000000");
  want.insert(want.end(), check.begin(), check.end());
  want.insert(want.end(), digest, digest + 32);
  Bytes move = hexBytes(
      "02 0010000000000000 1010000000000000 0020000000000000 12 0010 0F");
  want.insert(want.end(), move.begin(), move.end());
  want.insert(want.end(), inserted.begin(), inserted.end());
  Bytes rest = hexBytes("10 20 02 AABBCC 18 01 01 DDEE 00 8200000000000000");
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, want);
}

struct WriteCase {
  const char* name;
  std::vector<std::pair<uint64_t, uint64_t>> writes;  // offset, length
  const char* expectedHeads;  // op byte and fields of every Write, hex
};

// Each Write's op byte, offset and length fields, in order.
std::string writeHeads(const Bytes& c) {
  std::string out;
  char buf[8];
  size_t p = 16;
  while (c[p] != 0x00) {
    uint8_t op = c[p];
    unsigned ow = 1u << ((op >> 1) & 3);
    unsigned lw = 1u << (op & 1);
    uint64_t n = 0;
    for (unsigned i = lw; i-- > 0;) n = (n << 8) | c[p + 1 + ow + i];
    for (size_t i = 0; i < 1 + ow + lw; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", c[p + i]);
      out += buf;
    }
    out += ' ';
    p += 1 + ow + lw + n + 1;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

TEST(ContainerWriter, ChoosesTheNarrowestWriteEncodings) {
  const std::vector<WriteCase> cases = {
      {"first Write is absolute, one-byte fields", {{0x10, 1}}, "101000"},
      {"256 bytes keep a one-byte length", {{0, 256}}, "1000FF"},
      {"257 bytes need a two-byte length", {{0, 257}}, "11000001"},
      {"nearby Writes step forward", {{0x1000, 4}, {0x1005, 2}},
       "12001003 180101"},
      {"a step of zero continues directly", {{0x300, 2}, {0x302, 1}},
       "12000301 180000"},
      {"going back needs an absolute offset", {{0x500, 1}, {0x400, 1}},
       "12000500 12000400"},
      {"absolute wins when it is narrower", {{0x10000, 1}, {0x10, 1}},
       "14 00000100 00 101000"},
      {"a long step takes a wider field", {{0, 1}, {0x20001, 1}},
       "100000 1C 00000200 00"},
      {"offsets past 4 GiB take eight bytes", {{0x100000000ull, 1}},
       "16000000000100000000"},
      {"a run over 65536 bytes splits with step 0",
       {{0x40, 65536 * 2 + 3}}, "11 40 FFFF 19 00 FFFF 18 00 02"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t total = 0;
    for (const auto& w : c.writes) total = std::max(total, w.second);
    Bytes data(total, 0x5A);
    Bytes got = encode([&](ContainerWriter* w) {
      for (const auto& write : c.writes) {
        w->write(write.first, data.data(), write.second);
      }
    });
    std::string want = c.expectedHeads;
    want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
    std::string heads = writeHeads(got);
    heads.erase(std::remove(heads.begin(), heads.end(), ' '), heads.end());
    EXPECT_EQ(heads, want);
  }
}

TEST(ContainerWriter, FillAndMoveDecideWhatTheNextWriteMayCountFrom) {
  const uint8_t b = 7;
  Bytes afterFill = encode([&](ContainerWriter* w) {
    w->fill(0x2000, 0x100, 0);
    w->write(0x2101, &b, 1);
  });
  // Fill (18 bytes) then a relative Write with step 1.
  EXPECT_EQ(afterFill[16 + 18], 0x18);
  EXPECT_EQ(afterFill[16 + 19], 0x01);
  Bytes afterMove = encode([&](ContainerWriter* w) {
    w->write(0x2000, &b, 1);
    w->move(0, 0x10, 0x10);
    w->write(0x2001, &b, 1);
  });
  // The Write after the Move is absolute although it directly follows the
  // first one's end.
  size_t second = 16 + 5 + 25;
  EXPECT_EQ(afterMove[second], 0x12);
}

// Replays ordered Moves on a buffer whose byte i holds a label of original
// position i, and reports whether every destination byte a Move kept
// received the original byte from its source.
struct OrderCase {
  const char* name;
  std::vector<Copy> moves;
  bool cyclic;
  uint64_t minimalLiteral;  // fewest bytes that must become literal
};

TEST(OrderMoves, NoMoveReadsBytesAnEarlierMoveOverwrote) {
  const std::vector<OrderCase> cases = {
      {"chain shifting up", {{100, 0, 100}, {200, 100, 100}, {300, 200, 100}},
       false, 0},
      {"chain shifting down", {{0, 100, 100}, {100, 200, 100}}, false, 0},
      {"overlapping self move", {{10, 0, 500}}, false, 0},
      {"swap of equal blocks", {{0, 100, 100}, {100, 0, 100}}, true, 100},
      {"swap of unequal blocks", {{0, 30, 200}, {200, 0, 30}}, true, 30},
      {"three-cycle", {{0, 100, 100}, {100, 200, 100}, {200, 0, 100}}, true,
       100},
      {"rotation with a cheap edge",
       {{0, 40, 360}, {360, 0, 40}}, true, 40},
      {"two independent swaps",
       {{0, 50, 50}, {50, 0, 50}, {1000, 1020, 20}, {1020, 1000, 20}}, true,
       70},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Copy> ordered;
    OrderStats stats;
    orderMoves(c.moves, Scratch{}, &ordered, &stats);
    EXPECT_EQ(stats.cuts > 0, c.cyclic);
    EXPECT_EQ(stats.literalBytes, c.minimalLiteral);
    // Label every original byte with its position.
    uint64_t size = 0;
    for (const Copy& m : c.moves) {
      size = std::max({size, m.source + m.length, m.destination + m.length});
    }
    std::vector<uint64_t> target(size);
    for (uint64_t i = 0; i < size; ++i) target[i] = i;
    for (const Copy& m : ordered) {
      std::vector<uint64_t> piece(target.begin() + static_cast<long>(m.source),
                                  target.begin() +
                                      static_cast<long>(m.source + m.length));
      std::copy(piece.begin(), piece.end(),
                target.begin() + static_cast<long>(m.destination));
    }
    uint64_t kept = 0;
    for (const Copy& m : ordered) {
      for (uint64_t i = 0; i < m.length; ++i) {
        ASSERT_EQ(target[m.destination + i], m.source + i)
            << "Move to " << m.destination << " read an overwritten byte";
      }
      kept += m.length;
      // Each ordered Move is a part of one of the requested Moves.
      bool within = false;
      for (const Copy& r : c.moves) {
        within = within ||
                 (m.destination >= r.destination &&
                  m.destination + m.length <= r.destination + r.length &&
                  m.source - m.destination == r.source - r.destination);
      }
      EXPECT_TRUE(within);
    }
    uint64_t requested = 0;
    for (const Copy& m : c.moves) requested += m.length;
    EXPECT_EQ(kept + stats.literalBytes, requested);
  }
}

// With scratch space, the same cycles are broken without literal bytes for
// pieces long enough: replayed in order on labelled bytes, every requested
// destination byte ends up with its source's label, except the literal ones.
struct ScratchCase {
  const char* name;
  std::vector<Copy> moves;
  uint64_t limit;
  uint64_t literal;
  uint64_t scratched;
};

TEST(OrderMoves, CutPiecesGoThroughScratchSpaceWhileItLasts) {
  const std::vector<ScratchCase> cases = {
      {"swap of equal blocks", {{0, 100, 100}, {100, 0, 100}}, 1000, 0, 100},
      {"three-cycle", {{0, 100, 100}, {100, 200, 100}, {200, 0, 100}}, 1000,
       0, 100},
      {"rotation with a cheap edge", {{0, 40, 360}, {360, 0, 40}}, 1000, 40,
       0},
      {"two swaps, room for one",
       {{0, 300, 300}, {300, 0, 300}, {1000, 1200, 200}, {1200, 1000, 200}},
       400, 200, 300},
      {"no scratch space", {{0, 100, 100}, {100, 0, 100}}, 0, 100, 0},
  };
  for (const ScratchCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t size = 0;
    for (const Copy& m : c.moves) {
      size = std::max({size, m.source + m.length, m.destination + m.length});
    }
    Scratch scratch{size + 7, c.limit};
    std::vector<Copy> ordered;
    OrderStats stats;
    orderMoves(c.moves, scratch, &ordered, &stats);
    EXPECT_GT(stats.cuts, 0u);
    EXPECT_EQ(stats.literalBytes, c.literal);
    EXPECT_EQ(stats.scratchBytes, c.scratched);
    std::vector<uint64_t> target(scratch.base + c.limit, UINT64_MAX);
    for (uint64_t i = 0; i < size; ++i) target[i] = i;
    for (const Copy& m : ordered) {
      ASSERT_LE(m.source + m.length, target.size());
      ASSERT_LE(m.destination + m.length, target.size());
      // Only scratch space may be written past the moves' own bytes.
      if (m.destination >= size) {
        EXPECT_GE(m.destination, scratch.base);
      }
      std::vector<uint64_t> piece(
          target.begin() + static_cast<long>(m.source),
          target.begin() + static_cast<long>(m.source + m.length));
      std::copy(piece.begin(), piece.end(),
                target.begin() + static_cast<long>(m.destination));
    }
    uint64_t wrong = 0;
    for (const Copy& r : c.moves) {
      for (uint64_t i = 0; i < r.length; ++i) {
        wrong += target[r.destination + i] != r.source + i;
      }
    }
    EXPECT_EQ(wrong, stats.literalBytes);
  }
}

}  // namespace
