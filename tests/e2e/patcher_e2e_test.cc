// The built patcher as a user runs it: a copy of the stub with a container
// appended, one target, exact standard output, exit code and target bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/e2e/fault_check.h"
#include "tests/e2e/stub_runner.h"
#include "tests/support/worked_example.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;

class PatcherProcessTest : public ::testing::Test {
 protected:
  ProcessResult runPatch(const Bytes& container, const std::vector<std::string>& args,
                         ProcessOptions options = {}) {
    stub.makePatch(patchPath, container);
    return stub.run(patchPath, args, options);
  }
  ProcessResult runOnTarget(const Bytes& container, ProcessOptions options = {}) {
    return runPatch(container, {stub.argument(targetPath)}, options);
  }
  std::string line(const std::string& text) const { return stub.output("ERROR: " + text + "\n\n"); }
  std::string targetShown() const { return stub.argument(targetPath); }

  StubRunner stub;
  TempDir dir;
  std::string patchPath = dir.file("patch.exe");
  std::string targetPath = dir.file("target.bin");
};

TEST_F(PatcherProcessTest, WorkedExamplePatchesOnceThenReportsPatched) {
  const WorkedExample example = workedExample();
  const Bytes& container = example.container;
  writeFile(targetPath, example.old);

  ProcessResult first = runOnTarget(container);
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(readFile(targetPath), example.patched);

  ProcessResult second = runOnTarget(container);
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, line(targetShown() + " was already patched"));
  EXPECT_EQ(readFile(targetPath), example.patched);
}

TEST_F(PatcherProcessTest, WrongArgumentCountFailsAtOnce) {
  writeFile(targetPath, bytesOf("keep"));
  Bytes container = ContainerBuilder().writeAbsolute(0, bytesOf("X")).end().build();
  const std::vector<std::vector<std::string>> cases = {
      {}, {stub.argument(targetPath), stub.argument(targetPath)}, {"a", "b", "c"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    ProcessResult r = runPatch(container, args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(targetPath), bytesOf("keep"));
  }
}

TEST_F(PatcherProcessTest, EveryFailureLineOfTheCatalogue) {
  const std::string missing = dir.file("no such file.bin");
  const struct {
    const char* name;
    Bytes container;  // empty: the bare stub, no container appended
    std::string argument;
    std::string out;
    int exitCode;
  } cases[] = {
      {"target missing", ContainerBuilder().end().build(), stub.argument(missing),
       line("open file " + stub.argument(missing) + " failed"), 1},
      {"empty argument", ContainerBuilder().end().build(), "", line("open file  failed"), 1},
      {"no container", {}, targetShown(),
       line("not support patch file " + stub.shownContainerPath(patchPath)), 1},
      {"version 1.0.1", ContainerBuilder().version(1, 0, 1).end().build(), targetShown(),
       line("not support patch file version 1.0.1"), 1},
      {"version 255.0.0", ContainerBuilder().version(255, 0, 0).end().build(), targetShown(),
       line("not support patch file version 255.0.0"), 1},
      {"unknown 05", ContainerBuilder().raw({0x05}).end().build(), targetShown(),
       line("unknown patch command 05"), 1},
      {"unknown 7F", ContainerBuilder().raw({0x7F}).end().build(), targetShown(),
       line("unknown patch command 7F"), 1},
      {"truncated", ContainerBuilder().raw({0x11, 0x00, 0x08, 0x00, 1, 2, 3}).build(), targetShown(),
       line("patch file " + stub.shownContainerPath(patchPath) + " is truncated"), 1},
      {"header and End", ContainerBuilder().end().build(), targetShown(), "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, bytesOf("keep"));
    ProcessResult r = runPatch(c.container, {c.argument});
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(targetPath), bytesOf("keep"));
  }
}

TEST_F(PatcherProcessTest, UnknownCommandKeepsTheCommandsBeforeIt) {
  writeFile(targetPath, bytesOf("........"));
  ProcessResult r = runOnTarget(ContainerBuilder()
                                    .writeAbsolute(1, bytesOf("a"))
                                    .writeRelative(1, bytesOf("b"))
                                    .raw({0x05})
                                    .end()
                                    .build());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, line("unknown patch command 05"));
  EXPECT_EQ(readFile(targetPath), bytesOf(".a.b...."));
}

// Output that cannot be written is lost; the outcome stands, and no file
// opened by the run takes the place of a closed standard output.
TEST_F(PatcherProcessTest, LostStandardOutputChangesNothing) {
  if (stub.windows()) GTEST_SKIP() << "descriptors are a POSIX matter";
  const Bytes patched = bytesOf("patched");
  const Bytes container =
      ContainerBuilder().checkContent(0, patched).writeAbsolute(0, patched).end().build();
  for (StandardOutput mode : {StandardOutput::Closed, StandardOutput::BrokenPipe}) {
    SCOPED_TRACE(mode == StandardOutput::Closed ? "closed" : "broken pipe");
    writeFile(targetPath, bytesOf("old"));
    ProcessOptions options;
    options.standardOutput = mode;
    ProcessResult first = runOnTarget(container, options);
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(readFile(targetPath), patched);
    ProcessResult second = runOnTarget(container, options);  // prints a line
    EXPECT_EQ(second.signal, 0);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(readFile(targetPath), patched);
    ProcessResult failed = runPatch(ContainerBuilder().raw({0x05}).end().build(),
                                    {stub.argument(targetPath)}, options);
    EXPECT_EQ(failed.signal, 0);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(readFile(targetPath), patched);
  }
}

// A message longer than the output buffer, printed while the target is open:
// with standard output closed it must not land in the file that took its
// descriptor.
TEST_F(PatcherProcessTest, LongMessageWithClosedOutputStaysOutOfTheTarget) {
  if (stub.windows()) GTEST_SKIP() << "descriptors are a POSIX matter";
  // A patch path of 4080 bytes, as long as the system lets a path be.
  std::string deep = dir.path();
  while (deep.size() < 4080 - 6) {
    size_t room = 4080 - 6 - deep.size() - 1;
    deep += "/" + std::string(std::min<size_t>(room == 0 ? 1 : room, 200), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  const std::string patch = deep + "/patch";
  ASSERT_GE(patch.size(), 4080u);
  writeFile(targetPath, bytesOf("untouched"));
  stub.makePatch(patch, ContainerBuilder().raw({0x10, 0x00}).build());  // truncated
  ProcessOptions options;
  options.standardOutput = StandardOutput::Closed;
  ProcessResult r = stub.run(patch, {stub.argument(targetPath)}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(readFile(targetPath), bytesOf("untouched"));
}

// The outcome box of a system without windows: the controlling terminal.
TEST_F(PatcherProcessTest, OutcomeGoesToTheTerminalOnly) {
  if (stub.windows()) GTEST_SKIP() << "the Windows box is a window";
  writeFile(targetPath, bytesOf("abc"));
  ProcessOptions onTerminal;
  onTerminal.withTerminal = true;
  onTerminal.environment = {"LC_ALL=C.UTF-8"};

  ProcessResult done = runOnTarget(ContainerBuilder().writeAbsolute(0, bytesOf("x")).end().build(),
                                   onTerminal);
  EXPECT_EQ(done.exitCode, 0);
  EXPECT_EQ(done.terminal, "\xE5\xAE\x8C\xE6\x88\x90\n");  // 完成
  EXPECT_EQ(done.out, "");
  EXPECT_EQ(done.err, "");

  ProcessResult failed = runPatch(ContainerBuilder().end().build(), {}, onTerminal);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.terminal, "\xE5\xA4\xB1\xE8\xB4\xA5\n");  // 失败
  EXPECT_EQ(failed.out, "");

  ProcessResult noTerminal = runOnTarget(ContainerBuilder().end().build());
  EXPECT_EQ(noTerminal.exitCode, 0);
  EXPECT_EQ(noTerminal.terminal, "");
  EXPECT_EQ(noTerminal.out, "");
}

// File names the locale cannot show are opened all the same; in messages
// each character without an encoding is "?" (two for one beyond the BMP).
TEST_F(PatcherProcessTest, NamesOutsideTheLocaleOpenAndShowAsQuestionMarks) {
  if (stub.windows()) GTEST_SKIP() << "Windows names are wide; see the wine suite";
  const struct {
    const char* locale;
    std::string name;
    std::string shown;
  } cases[] = {
      {"C.UTF-8", "\xE7\x9B\xAE\xE6\xA0\x87 \xC3\xBC.bin", "\xE7\x9B\xAE\xE6\xA0\x87 \xC3\xBC.bin"},
      {"C", "\xE7\x9B\xAE\xE6\xA0\x87 \xC3\xBC.bin", "?????? ??.bin"},
      {"C.UTF-8", "smile \xF0\x9F\x98\x80.bin", "smile \xF0\x9F\x98\x80.bin"},
      {"C.UTF-8", "bad \xFF\xFE name", "bad ?? name"},
      {"C.UTF-8", "half \xE7\x9B.bin", "half ??.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    std::string path = dir.file(c.name);
    Bytes patched = bytesOf("patched!");
    writeFile(path, bytesOf("original"));
    Bytes container = ContainerBuilder().checkContent(0, patched).writeAbsolute(0, patched).end().build();
    ProcessOptions options;
    options.environment = {std::string("LC_ALL=") + c.locale};
    ProcessResult first = runPatch(container, {path}, options);
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(readFile(path), patched);
    ProcessResult second = runPatch(container, {path}, options);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, "ERROR: " + dir.path() + "/" + c.shown + " was already patched\n\n");
  }
}

// A file size limit makes writes fail part way: the run fails with one line,
// the commands before the failing one are in the target, nothing after it
// is, and the failing command wrote at most inside its own range.
TEST_F(PatcherProcessTest, WritesThatFailEndTheRunAsFailed) {
  if (stub.windows()) GTEST_SKIP() << "no file size limit under the emulator";
  const uint64_t kLimit = 64 * 1024;
  const Bytes original = patternBytes(kLimit / 2, 51);
  // Commands that succeed before each fault: a Write, a Fill and a Move.
  auto before = [] { return ContainerBuilder().writeAbsolute(0, bytesOf("A")).fill(8, 8, 'f').move(8, 100, 8); };
  Bytes applied = original;
  applied[0] = 'A';
  for (int i = 0; i < 8; ++i) applied[8 + i] = applied[100 + i] = 'f';
  // Applied after the fault, it would show.
  auto never = [](ContainerBuilder b) { return b.writeAbsolute(1, bytesOf("never")).end().build(); };
  auto slice = [&](uint64_t from, uint64_t count) {
    Bytes out(count, 0);
    for (uint64_t i = 0; i < count && from + i < applied.size(); ++i) out[i] = applied[from + i];
    return out;
  };
  const struct {
    const char* name;
    Bytes container;
    FaultRange fault;  // the part of the failing command below the limit
  } cases[] = {
      {"write past the limit", never(before().writeAbsolute(kLimit + 10, bytesOf("B"))), {}},
      {"write cut at the limit, still buffered at close",
       before().writeAbsolute(kLimit - 100, Bytes(200, 'w')).end().build(), {kLimit - 100, Bytes(100, 'w')}},
      {"fill across the limit", never(before().fill(16, 2 * kMiB, 0xF1)), {16, Bytes(kLimit - 16, 0xF1)}},
      {"forward move growing past the limit", never(before().move(kLimit / 4, kLimit / 8, kLimit)),
       {kLimit / 8, slice(kLimit / 4, kLimit - kLimit / 8)}},
      // The first piece's seekExtending already fails: the file does not grow.
      {"backward move growing past the limit", never(before().move(0, kLimit, kMiB + 5)), {}},
      {"resize past the limit", never(before().resize(kLimit + 1)), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, original);
    ProcessOptions options;
    options.fileSizeLimit = kLimit;
    ProcessResult r = runOnTarget(c.container, options);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, line("write file " + targetShown() + " failed"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.signal, 0);
    Bytes after = readFile(targetPath);
    EXPECT_LE(after.size(), kLimit);
    expectOnlyFaultRangeChanged(after, applied, c.fault);
  }
}

}  // namespace
