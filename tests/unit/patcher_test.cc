// The command loop and literal Writes: every Write form, the position that
// relative Writes count from, unknown and truncated commands, and Writes that
// cannot be carried out.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/unit/engine_harness.h"

namespace {

class PatcherTest : public EngineTest {};

// Every Write op byte, with an offset that needs the op's offset width and data
// that needs its length width. Relative Writes step from the end of an
// absolute Write of "AB" at 3, so from position 5.
TEST_F(PatcherTest, EveryWriteFormLandsWhereItsFieldsSay) {
  for (unsigned op = 0x10; op <= 0x1F; ++op) {
    SCOPED_TRACE(testing::Message() << "op 0x" << std::hex << op);
    unsigned widthCode = (op >> 1) & 3;
    bool relative = (op & 0x08) != 0;
    size_t dataSize = (op & 1) ? 300 : 200;
    const uint64_t offsets[] = {0x7B, 0x1234, 0x12345, 0x10000000F};
    uint64_t offset = offsets[widthCode];
    Bytes data = patternBytes(dataSize, op);

    writeFile(targetPath, Bytes(16, 0x55));
    ContainerBuilder b;
    if (relative) b.writeAbsolute(3, bytesOf("AB"));
    b.write(static_cast<uint8_t>(op), offset, data).writeRelative(0, kMarker).end();
    ApplyOutcome outcome = apply(b);
    ASSERT_TRUE(outcome.done);
    EXPECT_EQ(outcome.messages, L"");

    uint64_t start = relative ? 5 + offset : offset;
    EXPECT_EQ(fileSize(targetPath), start + dataSize + 1);
    EXPECT_EQ(readAt(targetPath, start, dataSize), data);
    EXPECT_EQ(readAt(targetPath, start + dataSize, 1), kMarker);
    // The gap between the old end and the Write reads as zero.
    EXPECT_EQ(readAt(targetPath, 16, 16), Bytes(16, 0));
    EXPECT_EQ(readAt(targetPath, 0, 3), Bytes(3, 0x55));
  }
}

TEST_F(PatcherTest, StoredLengthIsDataLengthMinusOne) {
  const struct {
    uint8_t op;
    size_t size;
  } cases[] = {{0x10, 1}, {0x10, 256}, {0x11, 1}, {0x11, 257}, {0x11, 65536}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "op " << int(c.op) << " size " << c.size);
    writeFile(targetPath, {});
    Bytes data = patternBytes(c.size, static_cast<uint32_t>(c.size));
    ApplyOutcome outcome = apply(ContainerBuilder().write(c.op, 0, data).end());
    EXPECT_TRUE(outcome.done);
    EXPECT_EQ(readFile(targetPath), data);
  }
}

TEST_F(PatcherTest, RelativeStepsCountFromTheEndOfThePreviousWrite) {
  writeFile(targetPath, Bytes(32, '.'));
  ApplyOutcome outcome = apply(ContainerBuilder()
                                   .writeRelative(2, bytesOf("a"))  // from 0
                                   .writeRelative(0, bytesOf("bc"))
                                   .writeRelative(1, bytesOf("d"))
                                   .checkContent(0, bytesOf("nothing"))  // passed over
                                   .writeRelative(3, bytesOf("e"))
                                   .writeAbsolute(20, bytesOf("f"))
                                   .writeRelative(0, bytesOf("g"))
                                   .end());
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(readFile(targetPath), bytesOf("..abc.d...e.........fg.........."));
}

// Many Writes close together, far apart, backward, overlapping, past the end:
// the target ends up as if each had been written on its own, in order.
TEST_F(PatcherTest, RunsOfWritesMatchWritingOneAtATime) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    Bytes model = patternBytes(rng() % 300000, round);
    writeFile(targetPath, model);
    uint64_t position = 0;
    ContainerBuilder b;
    for (int i = 0; i < 400; ++i) {
      size_t size = rng() % 8 == 0 ? 1 + rng() % 65536 : 1 + rng() % 40;
      Bytes data = patternBytes(size, static_cast<uint32_t>(rng()));
      uint64_t start;
      switch (rng() % 6) {
        case 0:  // anywhere, also backward and past the end
          start = rng() % (model.size() + 20000);
          b.writeAbsolute(start, data);
          break;
        case 1:  // a jump past the gap that still joins a run
          start = position + 4000 + rng() % 200;
          b.writeAbsolute(start, data);
          break;
        default: {  // the usual: a few bytes further on
          uint64_t step = rng() % 3 == 0 ? 0 : rng() % 64;
          start = position + step;
          b.writeRelative(step, data);
          if (rng() % 10 == 0) b.checkContent(0, bytesOf("passed over"));
        }
      }
      if (model.size() < start + size) model.resize(start + size, 0);
      std::copy(data.begin(), data.end(), model.begin() + start);
      position = start + size;
    }
    ApplyOutcome outcome = apply(b.end());
    ASSERT_TRUE(outcome.done);
    Bytes got = readFile(targetPath);
    ASSERT_EQ(got.size(), model.size());
    ASSERT_TRUE(got == model);
  }
}

// Writes that are still gathered when the run stops are commands before the
// failure: they are in the target.
TEST_F(PatcherTest, WritesBeforeAFailureReachTheTarget) {
  const struct {
    const char* name;
    Bytes failing;
    std::wstring line;
  } cases[] = {
      {"unknown op", {0x05}, L"ERROR: unknown patch command 05\n\n"},
      {"stream cut", {0x10, 0x00}, truncatedLine()},
      {"write at 2^63", ContainerBuilder().write(0x16, 1ull << 63, bytesOf("x")).stream(),
       writeFailedLine()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, bytesOf("................"));
    ContainerBuilder b;
    b.writeAbsolute(1, bytesOf("a")).writeRelative(2, bytesOf("bc")).writeRelative(0, bytesOf("d"));
    b.writeAbsolute(12, bytesOf("e")).raw(c.failing);
    ApplyOutcome outcome = apply(b);
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.messages, c.line);
    EXPECT_EQ(readFile(targetPath), bytesOf(".a..bcd.....e..."));
  }
}

TEST_F(PatcherTest, UnknownOpStopsAfterTheCommandsBeforeIt) {
  for (uint8_t op : {0x05, 0x0F, 0x20, 0x7F, 0xFF}) {
    SCOPED_TRACE(int(op));
    writeFile(targetPath, bytesOf("........"));
    ApplyOutcome outcome = apply(ContainerBuilder()
                                     .writeAbsolute(1, bytesOf("x"))
                                     .writeRelative(2, bytesOf("y"))
                                     .raw({op})
                                     .writeAbsolute(0, bytesOf("never"))
                                     .end());
    EXPECT_FALSE(outcome.done);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", op);
    EXPECT_EQ(outcome.messages, L"ERROR: unknown patch command " + wide(hex) + L"\n\n");
    EXPECT_EQ(readFile(targetPath), bytesOf(".x..y..."));
  }
}

// A stream cut anywhere before its End: nothing of the cut command is
// written, everything before it is, and the run fails.
TEST_F(PatcherTest, StreamWithoutEndIsTruncatedWhereverItStops) {
  const Bytes original = bytesOf("0123456789");
  struct Command {
    Bytes bytes;
    Bytes after;  // the target once this command has run
  };
  std::vector<Command> commands;
  auto add = [&](ContainerBuilder b, const char* after) {
    commands.push_back({b.stream(), bytesOf(after)});
  };
  add(ContainerBuilder().writeAbsolute(1, bytesOf("A")), "0A23456789");
  add(ContainerBuilder().checkContent(0, bytesOf("x")), "0A23456789");
  add(ContainerBuilder().write(0x1D, 1, bytesOf("BC")), "0A2BC56789");
  add(ContainerBuilder().fill(8, 2, 'F'), "0A2BC567FF");
  add(ContainerBuilder().move(0, 5, 2), "0A2BC0A7FF");
  add(ContainerBuilder().resize(4), "0A2B");
  add(ContainerBuilder().write(0x17, 2, bytesOf("Z")), "0AZB");

  Bytes stream;
  std::vector<size_t> ends;
  for (const Command& c : commands) {
    stream.insert(stream.end(), c.bytes.begin(), c.bytes.end());
    ends.push_back(stream.size());
  }
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(testing::Message() << "stream cut at " << cut);
    writeFile(targetPath, original);
    ApplyOutcome outcome =
        apply(ContainerBuilder().raw(Bytes(stream.begin(), stream.begin() + cut)));
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.messages, truncatedLine());
    Bytes expected = original;
    for (size_t i = 0; i < commands.size() && ends[i] <= cut; ++i) {
      expected = commands[i].after;
    }
    EXPECT_EQ(readFile(targetPath), expected);
  }
  // The same stream with its End applies completely.
  writeFile(targetPath, original);
  ApplyOutcome outcome = apply(ContainerBuilder().raw(stream).end());
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(readFile(targetPath), commands.back().after);
}

TEST_F(PatcherTest, WritesAtOrPastTheLastPositionFailWithoutWriting) {
  const uint64_t kTop = 0x7FFFFFFFFFFFFFFFull;
  const struct {
    const char* name;
    ContainerBuilder container;
  } cases[] = {
      {"absolute 2^63", ContainerBuilder().write(0x16, 0x8000000000000000ull, bytesOf("x"))},
      {"absolute 2^64-1", ContainerBuilder().write(0x16, ~0ull, bytesOf("x"))},
      {"last byte at 2^63-1", ContainerBuilder().write(0x16, kTop, bytesOf("x"))},
      {"ends past 2^63", ContainerBuilder().write(0x16, kTop - 1, bytesOf("xy"))},
      {"relative step overflows",
       ContainerBuilder().writeAbsolute(4, bytesOf("x")).write(0x1E, ~0ull, bytesOf("y"))},
      {"relative step reaches 2^63",
       ContainerBuilder().writeAbsolute(4, bytesOf("x")).write(0x1E, kTop - 5, bytesOf("y"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, bytesOf("........"));
    ContainerBuilder b = c.container;
    b.writeAbsolute(0, bytesOf("never")).end();
    ApplyOutcome outcome = apply(b);
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.messages, writeFailedLine());
    Bytes after = readFile(targetPath);
    EXPECT_EQ(after.size(), 8u);
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 4), bytesOf("...."));
  }
}

TEST_F(PatcherTest, WriteBeyondFourGiBOnASparseTarget) {
  writeFile(targetPath, bytesOf("head"));
  const uint64_t at = 0x100000000ull + 0x1234;
  ApplyOutcome outcome = apply(ContainerBuilder()
                                   .writeAbsolute(at, bytesOf("far"))
                                   .writeRelative(1, bytesOf("!"))
                                   .end());
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(fileSize(targetPath), at + 5);
  EXPECT_EQ(readAt(targetPath, at - 2, 7), (Bytes{0, 0, 'f', 'a', 'r', 0, '!'}));
  EXPECT_EQ(readAt(targetPath, 0, 4), bytesOf("head"));
}

TEST_F(PatcherTest, OpenFailuresNameTheFileAndTouchNothing) {
  writeFile(targetPath, bytesOf("keep"));
  {
    Patcher patcher;
    std::wstring messages;
    setReportSink([](const wchar_t* t, size_t n, void* c) {
      static_cast<std::wstring*>(c)->append(t, n);
    }, &messages);
    patcher.setTargetPath(widen(dir.file("missing.bin")));
    patcher.setContainerPath(widen(dir.file("also-missing")));
    EXPECT_FALSE(patcher.apply());
    EXPECT_EQ(messages, L"ERROR: open file " + widen(dir.file("missing.bin")) + L" failed\n\n");

    messages.clear();
    Patcher second;
    second.setTargetPath(widen(targetPath));
    second.setContainerPath(widen(dir.file("also-missing")));
    EXPECT_FALSE(second.apply());
    EXPECT_EQ(messages, L"ERROR: open file " + widen(dir.file("also-missing")) + L" failed\n\n");
    setReportSink(nullptr, nullptr);
  }
  EXPECT_EQ(readFile(targetPath), bytesOf("keep"));
}

}  // namespace
