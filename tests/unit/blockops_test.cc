// Move, Fill and Resize: where each leaves the target position, what each
// leaves in the target, across chunk edges and the 4 GiB line.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/blockops.h"
#include "tests/unit/engine_harness.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t k4GiB = 0x100000000ull;

class BlockOpsTest : public EngineTest {};

struct PositionCase {
  const char* name;
  uint64_t targetSize;
  ContainerBuilder commands;
  uint64_t position;  // where a following relative step-0 Write lands
};

TEST_F(BlockOpsTest, PositionAfterEachOperation) {
  auto after = [](uint64_t at, uint64_t size) {
    return ContainerBuilder().writeAbsolute(at, Bytes(size, 'w'));
  };
  const PositionCase cases[] = {
      {"move onto itself", 4 * kMiB, after(100, 2).move(7, 7, 3 * kMiB), 102},
      {"move of length 0", 4 * kMiB, after(100, 2).move(0, 50, 0), 102},
      {"move of length 2^63", 4 * kMiB, after(100, 2).move(0, 50, 1ull << 63), 102},
      {"move of length 2^64-1", 4 * kMiB, after(100, 2).move(50, 0, ~0ull), 102},
      {"forward 2.5 MiB", 4 * kMiB, after(0, 1).move(kMiB + 3, 3, 5 * kMiB / 2), 3 + 5 * kMiB / 2},
      {"backward 2.5 MiB", 4 * kMiB, after(0, 1).move(0, kMiB, 5 * kMiB / 2), kMiB + kMiB / 2},
      {"backward 2 MiB", 4 * kMiB, after(0, 1).move(0, kMiB, 2 * kMiB), 2 * kMiB},
      {"backward 1 MiB + 1", 4 * kMiB, after(0, 1).move(5, 9, kMiB + 1), 10},
      {"backward 10 bytes", 4 * kMiB, after(0, 1).move(5, 9, 10), 19},
      {"forward 10 bytes", 4 * kMiB, after(0, 1).move(9, 5, 10), 15},
      {"backward past the end", 0x4000, ContainerBuilder().move(0, 0x10000, 0x2800), 0x12800},
      {"fill 1 MiB + 1 at 256", 4 * kMiB, ContainerBuilder().fill(256, kMiB + 1, 0xAA), kMiB + 257},
      {"fill of length 0 past the end", 1000, after(10, 1).fill(5000, 0, 1), 5000},
      {"fill of length 2^63", 1000, after(10, 1).fill(77, 1ull << 63, 1), 77},
      {"resize up", 1000, after(600, 4).resize(3 * kMiB), 604},
      {"resize down past the position", 0x8000, after(0x5000, 100).resize(0x4000), 0x5064},
      {"resize to 0", 1000, after(600, 4).resize(0), 604},
  };
  for (const PositionCase& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, {});
    setFileSize(targetPath, c.targetSize);
    ContainerBuilder b = c.commands;
    ApplyOutcome outcome = apply(b.writeRelative(0, kMarker).end());
    ASSERT_TRUE(outcome.done);
    EXPECT_EQ(outcome.messages, L"");
    EXPECT_EQ(readAt(targetPath, c.position, 1), kMarker);
    EXPECT_GE(fileSize(targetPath), c.position + 1);
  }
}

Bytes slice(const Bytes& b, uint64_t from, uint64_t to) {
  return Bytes(b.begin() + from, b.begin() + to);
}
Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(BlockOpsTest, MovesCopyAsThroughATemporaryWhateverTheOverlap) {
  const Bytes m3 = patternBytes(3 * kMiB, 1);
  const Bytes m4 = patternBytes(4 * kMiB, 2);
  const Bytes k16 = patternBytes(0x4000, 3);
  const struct {
    const char* name;
    Bytes before;
    uint64_t source, destination, length;
    Bytes after;
  } cases[] = {
      {"up by 1 MiB, overlapping, grows", m3, 0, kMiB, 3 * kMiB,
       concat({slice(m3, 0, kMiB), m3})},
      {"down by 1 MiB, overlapping, keeps the tail", m4, kMiB, 0, 3 * kMiB,
       concat({slice(m4, kMiB, 4 * kMiB), slice(m4, 3 * kMiB, 4 * kMiB)})},
      {"up by 1 byte across chunk edges", m3, 0, 1, 3 * kMiB - 1,
       concat({slice(m3, 0, 1), slice(m3, 0, 3 * kMiB - 1)})},
      {"down by 1 byte across chunk edges", m3, 1, 0, 3 * kMiB - 1,
       concat({slice(m3, 1, 3 * kMiB), slice(m3, 3 * kMiB - 1, 3 * kMiB)})},
      {"up by 4 KiB, unaligned length", m3, 17, 17 + 4096, 2 * kMiB + 333,
       concat({slice(m3, 0, 17 + 4096), slice(m3, 17, 17 + 2 * kMiB + 333),
               slice(m3, 17 + 4096 + 2 * kMiB + 333, 3 * kMiB)})},
      {"past the end leaves a zero gap", k16, 0, 0x10000, 0x2800,
       concat({k16, Bytes(0x10000 - 0x4000, 0), slice(k16, 0, 0x2800)})},
      {"source past the end reads zero", k16, 0x3000, 0x100, 0x2000,
       concat({slice(k16, 0, 0x100), slice(k16, 0x3000, 0x4000), Bytes(0x1000, 0),
               slice(k16, 0x2100, 0x4000)})},
      {"down, disjoint", m3, 2 * kMiB, 5, kMiB,
       concat({slice(m3, 0, 5), slice(m3, 2 * kMiB, 3 * kMiB), slice(m3, kMiB + 5, 3 * kMiB)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, c.before);
    ApplyOutcome outcome =
        apply(ContainerBuilder().move(c.source, c.destination, c.length).end());
    ASSERT_TRUE(outcome.done);
    Bytes got = readFile(targetPath);
    ASSERT_EQ(got.size(), c.after.size());
    EXPECT_TRUE(got == c.after);
  }
}

TEST_F(BlockOpsTest, FillsAndResizes) {
  const Bytes base = patternBytes(0x8000, 4);
  Bytes hundred = patternBytes(100, 5);
  const struct {
    const char* name;
    ContainerBuilder commands;
    Bytes after;
  } cases[] = {
      {"fill inside", ContainerBuilder().fill(10, 20, 0x5A),
       concat({slice(base, 0, 10), Bytes(20, 0x5A), slice(base, 30, 0x8000)})},
      {"fill 1 MiB + 1 from 256 grows", ContainerBuilder().fill(256, kMiB + 1, 0xAA),
       concat({slice(base, 0, 256), Bytes(kMiB + 1, 0xAA)})},
      {"fill past the end", ContainerBuilder().fill(0x9000, 16, 0x11),
       concat({base, Bytes(0x1000, 0), Bytes(16, 0x11)})},
      {"empty fill past the end keeps the size", ContainerBuilder().fill(0x9000, 0, 0x11), base},
      {"resize up appends zeros", ContainerBuilder().resize(0x8010), concat({base, Bytes(16, 0)})},
      {"resize to the same size", ContainerBuilder().resize(0x8000), base},
      {"resize to 0", ContainerBuilder().resize(0), {}},
      {"buffered write kept by a resize",
       ContainerBuilder().writeAbsolute(0x5000, hundred).resize(0x5010),
       concat({slice(base, 0, 0x5000), slice(hundred, 0, 16)})},
      {"buffered write cut by a resize, relative write after it",
       ContainerBuilder().writeAbsolute(0x5000, hundred).resize(0x4000).writeRelative(0, bytesOf("z")),
       concat({slice(base, 0, 0x4000), Bytes(0x1064, 0), bytesOf("z")})},
      {"buffered write read by a move",
       ContainerBuilder().writeAbsolute(0x10, bytesOf("fresh")).move(0x10, 0x7000, 5),
       [&] {
         Bytes b = base;
         std::copy_n(bytesOf("fresh").begin(), 5, b.begin() + 0x10);
         std::copy_n(bytesOf("fresh").begin(), 5, b.begin() + 0x7000);
         return b;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, base);
    ContainerBuilder b = c.commands;
    ApplyOutcome outcome = apply(b.end());
    ASSERT_TRUE(outcome.done);
    Bytes got = readFile(targetPath);
    ASSERT_EQ(got.size(), c.after.size());
    EXPECT_TRUE(got == c.after);
  }
}

// A plain model of the commands: a byte vector, moves through a temporary.
struct TargetModel {
  Bytes data;
  uint64_t position = 0;

  void grow(uint64_t size) {
    if (data.size() < size) data.resize(size, 0);
  }
  void write(uint64_t at, const Bytes& d) {
    grow(at + d.size());
    std::copy(d.begin(), d.end(), data.begin() + at);
    position = at + d.size();
  }
  void move(uint64_t source, uint64_t destination, uint64_t length) {
    if (source == destination || length == 0) return;
    Bytes copy(length, 0);
    for (uint64_t i = 0; i < length && source + i < data.size(); ++i) copy[i] = data[source + i];
    grow(destination + length);
    std::copy(copy.begin(), copy.end(), data.begin() + destination);
    position = source > destination ? destination + length
                                    : destination + (length - 1) % kChunkSize + 1;
  }
  void fill(uint64_t offset, uint64_t length, uint8_t value) {
    position = offset;
    if (length == 0) return;
    grow(offset + length);
    std::fill_n(data.begin() + offset, length, value);
    position = offset + length;
  }
  void resize(uint64_t size) { data.resize(size, 0); }
};

// Random mixes of commands with sizes around chunk multiples, against the
// model; each command is followed by a relative Write, so positions count.
TEST_F(BlockOpsTest, RandomCommandMixesMatchAModel) {
  std::mt19937_64 rng(20261211);
  auto around = [&](uint64_t unit, int maxUnits) {
    uint64_t base = (rng() % (maxUnits + 1)) * unit;
    int64_t jitter = static_cast<int64_t>(rng() % 9) - 4;
    return static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(base) + jitter));
  };
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    TargetModel model;
    model.data = patternBytes(around(kMiB, 3) + 1, round);
    writeFile(targetPath, model.data);
    ContainerBuilder b;
    for (int step = 0; step < 6; ++step) {
      uint64_t size = model.data.size();
      switch (rng() % 4) {
        case 0: {
          uint64_t s = rng() % (size + 10), d = rng() % (size + 10);
          uint64_t len = around(kMiB / 2, 5);
          b.move(s, d, len);
          model.move(s, d, len);
          break;
        }
        case 1: {
          uint64_t off = rng() % (size + 100), len = around(kMiB / 4, 6);
          uint8_t v = static_cast<uint8_t>(rng());
          b.fill(off, len, v);
          model.fill(off, len, v);
          break;
        }
        case 2: {
          uint64_t n = around(kMiB / 2, 7);
          b.resize(n);
          model.resize(n);
          break;
        }
        default: {
          uint64_t at = rng() % (size + 100);
          Bytes d = patternBytes(1 + rng() % 300, static_cast<uint32_t>(rng()));
          b.writeAbsolute(at, d);
          model.write(at, d);
          break;
        }
      }
      Bytes mark = {static_cast<uint8_t>(step), 0xEE};
      uint64_t stepSize = rng() % 3;
      b.writeRelative(stepSize, mark);
      model.write(model.position + stepSize, mark);
    }
    ApplyOutcome outcome = apply(b.end());
    ASSERT_TRUE(outcome.done);
    Bytes got = readFile(targetPath);
    ASSERT_EQ(got.size(), model.data.size());
    ASSERT_TRUE(got == model.data);
  }
}

TEST_F(BlockOpsTest, OperationsAcrossTheFourGiBLine) {
  writeFile(targetPath, {});
  setFileSize(targetPath, k4GiB + 2 * kMiB);
  const Bytes piece = patternBytes(2 * kMiB + 5, 9);
  const uint64_t src = k4GiB - kMiB;
  writeAt(targetPath, src, piece);

  // Backward across the line and past the end, then forward back below it.
  const uint64_t up = k4GiB + 3 * kMiB + 7;
  ApplyOutcome outcome = apply(ContainerBuilder()
                                   .move(src, up, piece.size())
                                   .writeRelative(0, kMarker)
                                   .move(up, 1000, piece.size())
                                   .writeRelative(0, kMarker)
                                   .fill(k4GiB - 3, 6, 0x77)
                                   .writeRelative(0, kMarker)
                                   .end());
  ASSERT_TRUE(outcome.done);
  EXPECT_EQ(fileSize(targetPath), up + piece.size());
  // The lowest backward piece is 5 bytes long: the marker lands behind it.
  Bytes expectedUp = piece;
  expectedUp[5] = kMarker[0];
  EXPECT_TRUE(readAt(targetPath, up, piece.size()) == expectedUp);
  Bytes low = readAt(targetPath, 1000, piece.size() + 1);
  Bytes expectedLow = expectedUp;  // the marker travelled with the piece
  expectedLow.push_back(kMarker[0]);
  EXPECT_TRUE(low == expectedLow);
  EXPECT_EQ(readAt(targetPath, k4GiB - 3, 7), (Bytes{0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0xE7}));

  ApplyOutcome resized = apply(ContainerBuilder()
                                   .resize(5 * k4GiB / 4)
                                   .writeAbsolute(5 * k4GiB / 4 - 1, bytesOf("e"))
                                   .resize(k4GiB + 1)
                                   .end());
  ASSERT_TRUE(resized.done);
  EXPECT_EQ(fileSize(targetPath), k4GiB + 1);
}

TEST_F(BlockOpsTest, PositionsAtOrPastTwoToTheSixtyThreeFailWithoutWriting) {
  const uint64_t k2p63 = 1ull << 63;
  const struct {
    const char* name;
    ContainerBuilder command;
  } cases[] = {
      {"move source 2^63", ContainerBuilder().move(k2p63, 0, 4)},
      {"move destination 2^63", ContainerBuilder().move(0, k2p63, 4)},
      {"move destination end past 2^63", ContainerBuilder().move(0, k2p63 - 2, 4)},
      {"move source end past 2^63", ContainerBuilder().move(k2p63 - 2, 0, 4)},
      {"fill offset 2^63", ContainerBuilder().fill(k2p63, 4, 1)},
      {"fill of length 0 at 2^63", ContainerBuilder().fill(~0ull, 0, 1)},
      {"fill end past 2^63", ContainerBuilder().fill(k2p63 - 2, 4, 1)},
      {"resize to 2^63", ContainerBuilder().resize(k2p63)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, bytesOf("abcdefgh"));
    ContainerBuilder b = c.command;
    ApplyOutcome outcome = apply(b.writeAbsolute(0, bytesOf("never")).end());
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.messages, writeFailedLine());
    EXPECT_EQ(readFile(targetPath), bytesOf("abcdefgh"));
  }
}

}  // namespace
