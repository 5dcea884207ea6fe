// Locating the container through the trailer, and the magic and version
// checks that guard it.
#include <gtest/gtest.h>

#include "tests/support/worked_example.h"
#include "tests/unit/engine_harness.h"

namespace {

const Bytes kTarget = bytesOf("0123456789abcdef");

class ContainerTest : public EngineTest {
 protected:
  void SetUp() override { writeFile(targetPath, kTarget); }
  std::wstring notSupportedLine() const {
    return L"ERROR: not support patch file " + wide(containerPath) + L"\n\n";
  }
};

struct VersionCase {
  uint8_t major, minor, patch;
  bool accepted;
  const wchar_t* shown;
};

TEST_F(ContainerTest, VersionWordIsComparedUnsignedAgainstOneZeroZero) {
  const VersionCase cases[] = {
      {0, 0, 0, true, nullptr},        {0, 255, 255, true, nullptr},
      {1, 0, 0, true, nullptr},        {1, 0, 1, false, L"1.0.1"},
      {1, 1, 0, false, L"1.1.0"},      {2, 0, 0, false, L"2.0.0"},
      {255, 0, 0, false, L"255.0.0"},  {255, 255, 255, false, L"255.255.255"},
      {1, 255, 0, false, L"1.255.0"},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << "."
                                    << int(c.patch));
    writeFile(targetPath, kTarget);
    ApplyOutcome outcome = apply(ContainerBuilder()
                                     .version(c.major, c.minor, c.patch)
                                     .writeAbsolute(0, bytesOf("X"))
                                     .end());
    EXPECT_EQ(outcome.done, c.accepted);
    Bytes expected = kTarget;
    if (c.accepted) {
      expected[0] = 'X';
      EXPECT_EQ(outcome.messages, L"");
    } else {
      EXPECT_EQ(outcome.messages, std::wstring(L"ERROR: not support patch file version ") +
                                      c.shown + L"\n\n");
    }
    EXPECT_EQ(readFile(targetPath), expected);
  }
}

TEST_F(ContainerTest, ReservedByteAndLengthFieldAreNeverRead) {
  ApplyOutcome outcome = apply(ContainerBuilder()
                                   .reserved(0xAB)
                                   .lengthField(0xFFFFFFFFFFFFFFFFull)
                                   .writeAbsolute(2, bytesOf("ZZ"))
                                   .end());
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.messages, L"");
  EXPECT_EQ(readFile(targetPath), bytesOf("01ZZ456789abcdef"));
}

TEST_F(ContainerTest, HeaderAndEndAloneChangeNothing) {
  Bytes container = ContainerBuilder().end().build();
  ASSERT_EQ(container.size(), 25u);
  ApplyOutcome outcome = apply(container);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.messages, L"");
  EXPECT_EQ(readFile(targetPath), kTarget);
}

TEST_F(ContainerTest, ContainerIsFoundBehindAProgramImage) {
  Bytes file = patternBytes(5000, 7);
  Bytes container = ContainerBuilder().writeAbsolute(15, bytesOf("!")).end().build();
  file.insert(file.end(), container.begin(), container.end());
  ApplyOutcome outcome = apply(file);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(readFile(targetPath), bytesOf("0123456789abcde!"));
}

TEST_F(ContainerTest, BytesBetweenEndAndTrailerAreNeverRead) {
  ApplyOutcome outcome = apply(ContainerBuilder()
                                   .writeAbsolute(0, bytesOf("Q"))
                                   .end()
                                   .raw({0x7F, 0x05, 0x10})
                                   .build());
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.messages, L"");
  EXPECT_EQ(readFile(targetPath)[0], 'Q');
}

// Everything that does not lead from the last eight bytes to the magic is a
// file without a container.
TEST_F(ContainerTest, FilesWithoutAReachableMagicAreRefused) {
  Bytes good = ContainerBuilder().writeAbsolute(0, bytesOf("X")).end().build();
  auto withTrailer = [&](uint64_t value) {
    Bytes b(good.begin(), good.end() - 8);
    appendLe(&b, value, 8);
    return b;
  };
  Bytes followed = good;
  followed.push_back(0x00);
  const struct {
    const char* name;
    Bytes file;
  } cases[] = {
      {"empty file", {}},
      {"shorter than a trailer", {0x19, 0, 0}},
      {"trailer only", withTrailer(8)},
      {"trailer zero", withTrailer(0)},
      {"trailer one past the file", withTrailer(good.size() + 1)},
      {"trailer 2^63", withTrailer(0x8000000000000000ull)},
      {"trailer 2^64-1", withTrailer(0xFFFFFFFFFFFFFFFFull)},
      {"trailer one short", withTrailer(good.size() - 1)},
      {"container followed by a byte", followed},
      {"no container at all", patternBytes(4096, 3)},
      {"magic 3PS\\1", ContainerBuilder().magic({0x33, 0x50, 0x53, 0x01}).end().build()},
      {"magic 3ps\\0", ContainerBuilder().magic({0x33, 0x70, 0x53, 0x00}).end().build()},
      {"magic \\0PS\\0", ContainerBuilder().magic({0x00, 0x50, 0x53, 0x00}).end().build()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ApplyOutcome outcome = apply(c.file);
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.messages, notSupportedLine());
    EXPECT_EQ(readFile(targetPath), kTarget);
  }
}

TEST_F(ContainerTest, WorkedExampleAppliesByteForByte) {
  const WorkedExample example = workedExample();
  const Bytes& container = example.container;
  Bytes head(container.begin(), container.begin() + 16);
  EXPECT_EQ(head, (Bytes{0x33, 0x50, 0x53, 0x00, 0x01, 0x00, 0x00, 0x00, 0x7A,
                         0, 0, 0, 0, 0, 0, 0}));
  Bytes tail(container.end() - 8, container.end());
  EXPECT_EQ(tail, (Bytes{0x82, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(container.size(), 130u);

  writeFile(targetPath, example.old);
  ApplyOutcome first = apply(container);
  EXPECT_TRUE(first.done);
  EXPECT_EQ(first.messages, L"");
  EXPECT_EQ(readFile(targetPath), example.patched);

  ApplyOutcome second = apply(container);
  EXPECT_TRUE(second.done);
  EXPECT_EQ(second.messages, L"ERROR: " + wide(targetPath) + L" was already patched\n\n");
  EXPECT_EQ(readFile(targetPath), example.patched);
}

}  // namespace
