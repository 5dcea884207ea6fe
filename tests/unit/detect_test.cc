// Detection of an already patched target over the check block, and where it
// leaves the target position for the commands that follow.
#include <gtest/gtest.h>

#include "tests/unit/engine_harness.h"

namespace {

const Bytes kTarget = patternBytes(1000, 21);
Bytes at(uint64_t offset, size_t count) {
  return Bytes(kTarget.begin() + offset, kTarget.begin() + offset + count);
}
const Bytes kEmptyDigest = sha256Of({});
const Bytes kWrongDigest(32, 0x42);

class DetectTest : public EngineTest {
 protected:
  void SetUp() override { writeFile(targetPath, kTarget); }
  std::wstring patchedLine() const {
    return L"ERROR: " + wide(targetPath) + L" was already patched\n\n";
  }
};

// Check blocks that do not match: the commands run, and a relative Write as
// the first command lands where detection left the target.
TEST_F(DetectTest, NotPatchedLeavesThePositionForTheCommands) {
  const struct {
    const char* name;
    ContainerBuilder block;
    uint64_t position;
  } cases[] = {
      {"no check block", ContainerBuilder(), 0},
      {"first differs", ContainerBuilder().check(100, 50, kWrongDigest).checkContent(0, at(0, 10)),
       150},
      {"first matches, second differs",
       ContainerBuilder().checkContent(10, at(10, 20)).check(300, 40, kWrongDigest), 340},
      {"region one byte past the end", ContainerBuilder().check(900, 101, sha256Of(at(900, 100))),
       1000},
      {"region starting at the end", ContainerBuilder().check(1000, 5, kWrongDigest), 1000},
      {"region far past the end", ContainerBuilder().check(5000, 5, kWrongDigest), 5000},
      {"region of length 2^64-1", ContainerBuilder().check(10, ~0ull, kWrongDigest), 1000},
      {"zero length with another digest", ContainerBuilder().check(123, 0, kWrongDigest), 123},
      {"zero length past the end, another digest", ContainerBuilder().check(7000, 0, kWrongDigest),
       7000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, kTarget);
    ContainerBuilder b = c.block;
    ApplyOutcome outcome = apply(b.writeRelative(0, kMarker).end());
    EXPECT_TRUE(outcome.done);
    EXPECT_EQ(outcome.messages, L"");
    EXPECT_EQ(readAt(targetPath, c.position, 1), kMarker);
  }
}

// Every region matching: already patched, whatever follows the block.
TEST_F(DetectTest, AllRegionsMatchingReportAlreadyPatched) {
  const struct {
    const char* name;
    ContainerBuilder container;
  } cases[] = {
      {"one region, then End", ContainerBuilder().checkContent(0, at(0, 256)).end()},
      {"four regions, then a Move",
       ContainerBuilder()
           .checkContent(0, at(0, 256))
           .checkContent(300, at(300, 256))
           .checkContent(744, at(744, 256))  // ends exactly at the end
           .checkContent(999, at(999, 1))
           .move(0, 10, 500)
           .end()},
      {"then an unknown op", ContainerBuilder().checkContent(5, at(5, 5)).raw({0x7F}).end()},
      {"then a Write", ContainerBuilder().checkContent(5, at(5, 5)).writeAbsolute(0, bytesOf("x"))},
      {"zero length with the empty digest", ContainerBuilder().check(77, 0, kEmptyDigest).end()},
      {"zero length past the end with the empty digest",
       ContainerBuilder().check(1ull << 40, 0, kEmptyDigest).fill(0, 1000, 0).end()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ApplyOutcome outcome = apply(c.container);
    EXPECT_TRUE(outcome.done);
    EXPECT_EQ(outcome.messages, patchedLine());
    EXPECT_EQ(readFile(targetPath), kTarget);
  }
}

TEST_F(DetectTest, ChecksAfterAnotherCommandAreNeverEvaluated) {
  ApplyOutcome outcome = apply(ContainerBuilder()
                                   .writeAbsolute(0, bytesOf("w"))
                                   .checkContent(0, bytesOf("w"))
                                   .check(50, 10, kWrongDigest)
                                   .writeRelative(0, bytesOf("v"))
                                   .end());
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.messages, L"");
  Bytes expected = kTarget;
  expected[0] = 'w';
  expected[1] = 'v';
  EXPECT_EQ(readFile(targetPath), expected);
}

TEST_F(DetectTest, OffsetThatCannotBePositionedDiffers) {
  ApplyOutcome outcome =
      apply(ContainerBuilder().check(1ull << 63, 0, kEmptyDigest).writeAbsolute(3, bytesOf("z")).end());
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.messages, L"");
  EXPECT_EQ(readFile(targetPath)[3], 'z');
}

TEST_F(DetectTest, ContainerEndingInsideTheCheckBlockIsTruncated) {
  Bytes block = ContainerBuilder().checkContent(0, at(0, 8)).checkContent(8, at(8, 8)).stream();
  for (size_t cut : {size_t{1}, size_t{30}, size_t{48}, size_t{49}, size_t{60}, block.size()}) {
    SCOPED_TRACE(cut);
    ApplyOutcome outcome = apply(ContainerBuilder().raw(Bytes(block.begin(), block.begin() + cut)));
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.messages, truncatedLine());
    EXPECT_EQ(readFile(targetPath), kTarget);
  }
}

TEST_F(DetectTest, SecondRunOfAPatchFindsItApplied) {
  Bytes patched = kTarget;
  Bytes inserted = bytesOf("inserted text");
  patched.insert(patched.begin() + 400, inserted.begin(), inserted.end());
  ContainerBuilder b;
  b.checkContent(400, inserted)
      .move(400, 400 + inserted.size(), 600)
      .writeAbsolute(400, inserted)
      .end();
  ApplyOutcome first = apply(b);
  EXPECT_TRUE(first.done);
  EXPECT_EQ(first.messages, L"");
  EXPECT_EQ(readFile(targetPath), patched);

  ApplyOutcome second = apply(b);
  EXPECT_TRUE(second.done);
  EXPECT_EQ(second.messages, patchedLine());
  EXPECT_EQ(readFile(targetPath), patched);
}

}  // namespace
