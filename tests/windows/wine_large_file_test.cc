// A 32-bit Windows patcher on targets beyond 4 GiB: every position and size
// passes 64-bit through the CRT. Targets are sparse, so only the few
// megabytes a case writes take room on disk.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/container_builder.h"
#include "tests/support/files.h"
#include "tests/windows/wine_support.h"

namespace {

constexpr uint64_t kGiB4 = uint64_t{1} << 32;
constexpr uint64_t kMiB = uint64_t{1} << 20;

struct LargeCase {
  friend void PrintTo(const LargeCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  uint64_t size;  // of the sparse target, before the pattern is written
  std::function<Bytes(const Bytes& pattern)> container;
  std::string out;  // the expected line, without the target path: see below
  uint64_t sizeAfter;
  // Checks the target after the run; the pattern sat at kPatternAt.
  std::function<void(const std::string& target, const Bytes& pattern)> check;
};

constexpr uint64_t kPatternAt = kGiB4 + kMiB;
const size_t kPatternSize = 5 * kMiB / 2;

Bytes zeros(size_t n) { return Bytes(n, 0); }

class WineLargeFileTest : public ::testing::TestWithParam<LargeCase> {};

TEST_P(WineLargeFileTest, CommandsWorkBeyondFourGiB) {
  const LargeCase& c = GetParam();
  TempDir dir;
  std::string target = dir.file("large.bin");
  std::string patch = dir.file("patch.exe");
  writeFile(target, {});
  setFileSize(target, c.size);
  Bytes pattern = patternBytes(kPatternSize, 7);
  writeAt(target, kPatternAt, pattern);

  makePatch(patch, c.container(pattern));
  ProcessResult r = runWindows({patch, windowsPath(target)});
  std::string expected =
      c.out.empty() ? "" : crlf("ERROR: " + windowsPath(target) + c.out + "\n\n");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(fileSize(target), c.sizeAfter);
  c.check(target, pattern);
}

const uint64_t kSize = kGiB4 + 8 * kMiB;

INSTANTIATE_TEST_SUITE_P(
    Commands, WineLargeFileTest,
    ::testing::Values(
        LargeCase{"WritesAbsoluteAndRelative", kSize,
                  [](const Bytes&) {
                    return ContainerBuilder()
                        .writeAbsolute(kGiB4 + 16, bytesOf("above"))
                        .writeRelative(1, bytesOf("next"))
                        .end()
                        .build();
                  },
                  "", kSize,
                  [](const std::string& file, const Bytes&) {
                    EXPECT_EQ(readAt(file, kGiB4 + 15, 11), bytesOf(std::string("\0above\0next", 11)));
                  }},
        LargeCase{"WritePastTheEndGrowsWithZeros", kGiB4 + 100,
                  [](const Bytes&) {
                    return ContainerBuilder().writeAbsolute(kGiB4 + 6 * kMiB, bytesOf("tail")).end().build();
                  },
                  "", kGiB4 + 6 * kMiB + 4,
                  [](const std::string& file, const Bytes& p) {
                    EXPECT_EQ(readAt(file, kPatternAt, kPatternSize), p);
                    EXPECT_EQ(readAt(file, kPatternAt + kPatternSize, 4096), zeros(4096));
                    EXPECT_EQ(readAt(file, kGiB4 + 6 * kMiB - 2, 6), bytesOf(std::string("\0\0tail", 6)));
                  }},
        LargeCase{"ForwardMoveAcrossTheFourGiBLine", kSize,
                  [](const Bytes&) {
                    return ContainerBuilder()
                        .move(kPatternAt, kGiB4 - kMiB - 3, kPatternSize)
                        .writeRelative(0, bytesOf("R"))
                        .end()
                        .build();
                  },
                  "", kSize,
                  [](const std::string& file, const Bytes& p) {
                    EXPECT_EQ(readAt(file, kGiB4 - kMiB - 3, kPatternSize), p);
                    // A forward Move leaves the position at its end.
                    EXPECT_EQ(readAt(file, kGiB4 - kMiB - 3 + kPatternSize, 1), bytesOf("R"));
                  }},
        LargeCase{"BackwardMoveGrowsTheTarget", kGiB4 + 2 * kMiB,
                  [](const Bytes&) { return ContainerBuilder().move(kPatternAt, kGiB4 + 3 * kMiB, kPatternSize).end().build(); },
                  "", kGiB4 + 3 * kMiB + kPatternSize,
                  [](const std::string& file, const Bytes& p) {
                    EXPECT_EQ(readAt(file, kGiB4 + 3 * kMiB, kPatternSize), p);
                    // The old bytes below the destination stay as they were.
                    EXPECT_EQ(readAt(file, kPatternAt, kMiB), Bytes(p.begin(), p.begin() + kMiB));
                  }},
        LargeCase{"FillAboveFourGiB", kSize,
                  [](const Bytes&) { return ContainerBuilder().fill(kPatternAt + 100, kMiB + 7, 0xA5).end().build(); },
                  "", kSize,
                  [](const std::string& file, const Bytes& p) {
                    EXPECT_EQ(readAt(file, kPatternAt, 100), Bytes(p.begin(), p.begin() + 100));
                    EXPECT_EQ(readAt(file, kPatternAt + 100, kMiB + 7), Bytes(kMiB + 7, 0xA5));
                    EXPECT_EQ(readAt(file, kPatternAt + 107 + kMiB, 50),
                              Bytes(p.begin() + 107 + kMiB, p.begin() + 157 + kMiB));
                  }},
        LargeCase{"ResizeGrowsAboveFourGiB", kSize,
                  [](const Bytes&) { return ContainerBuilder().resize(kSize + 4099).end().build(); },
                  "", kSize + 4099,
                  [](const std::string& file, const Bytes& p) {
                    EXPECT_EQ(readAt(file, kPatternAt, kPatternSize), p);
                    EXPECT_EQ(readAt(file, kSize, 4099), zeros(4099));
                  }},
        // The position survives the cut: a relative Write after it lands
        // past the new end, with zeros in between.
        LargeCase{"ResizeCutsAboveFourGiB", kSize,
                  [](const Bytes&) {
                    return ContainerBuilder()
                        .writeAbsolute(kPatternAt + 100, bytesOf("y"))
                        .resize(kPatternAt + 10)
                        .writeRelative(0, bytesOf("x"))
                        .end()
                        .build();
                  },
                  "", kPatternAt + 102,
                  [](const std::string& file, const Bytes& p) {
                    EXPECT_EQ(readAt(file, kPatternAt, 10), Bytes(p.begin(), p.begin() + 10));
                    EXPECT_EQ(readAt(file, kPatternAt + 10, 91), zeros(91));
                    EXPECT_EQ(readAt(file, kPatternAt + 101, 1), bytesOf("x"));
                  }},
        LargeCase{"CheckBlockAboveFourGiBDetectsPatched", kSize,
                  [](const Bytes& p) {
                    return ContainerBuilder()
                        .checkContent(kPatternAt + 3, Bytes(p.begin() + 3, p.begin() + 259))
                        .fill(0, 16, 0xEE)
                        .end()
                        .build();
                  },
                  " was already patched", kSize,
                  [](const std::string& file, const Bytes&) { EXPECT_EQ(readAt(file, 0, 16), zeros(16)); }}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
