// Standard output of the Windows patcher under wine: the exact bytes that a
// file or a pipe receives, in the ANSI code page of the locale wine runs in
// (1252 for en_US.UTF-8, 936 for zh_CN.UTF-8), with CRLF line ends.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/container_builder.h"
#include "tests/support/files.h"
#include "tests/windows/wine_support.h"

namespace {

const char kEnglish[] = "LC_ALL=en_US.UTF-8";
const char kChinese[] = "LC_ALL=zh_CN.UTF-8";

std::string line(const std::string& text) { return crlf("ERROR: " + text + "\n\n"); }

enum class Sink { Pipe, File };

struct CatalogueCase {
  friend void PrintTo(const CatalogueCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Sink sink;
};

class WineCatalogueTest : public ::testing::TestWithParam<CatalogueCase> {
 protected:
  ProcessResult run(const Bytes* container, const std::string& argument) {
    if (container != nullptr) {
      makePatch(patch, *container);
    } else {
      writeFile(patch, readFile(winePrograms().stub));
    }
    std::vector<std::string> argv = {patch, argument};
    return GetParam().sink == Sink::Pipe
               ? runWindows(argv, {kEnglish})
               : runWindowsToFile(argv, dir.file("out.txt"), {kEnglish});
  }

  TempDir dir;
  std::string patch = dir.file("patch.exe");
  std::string target = dir.file("target.bin");
};

// Every line the patcher can print, byte for byte.
TEST_P(WineCatalogueTest, EveryLineArrivesWithCrlf) {
  Bytes patched = bytesOf("patched!");
  const std::string longName = dir.file(std::string(3000, 'n') + ".bin");
  const struct {
    const char* name;
    bool bareStub;
    Bytes container;
    std::string argument;
    std::string out;
    int exitCode;
  } cases[] = {
      {"target missing, backslash kept", false, ContainerBuilder().end().build(),
       windowsPath(dir.path()) + "\\no such\\file.bin",
       line("open file " + windowsPath(dir.path()) + "\\no such\\file.bin failed"), 1},
      {"target missing, relative", false, ContainerBuilder().end().build(), "sub\\x.bin",
       line("open file sub\\x.bin failed"), 1},
      {"name longer than the first format buffer", false, ContainerBuilder().end().build(),
       windowsPath(longName), line("open file " + windowsPath(longName) + " failed"), 1},
      {"empty argument", false, ContainerBuilder().end().build(), "", line("open file  failed"), 1},
      {"no container", true, {}, windowsPath(target),
       line("not support patch file " + shownSelfPath(patch)), 1},
      {"foreign magic", false, ContainerBuilder().magic({0x33, 0x50, 0x54, 0x00}).end().build(),
       windowsPath(target), line("not support patch file " + shownSelfPath(patch)), 1},
      {"version 1.2.3", false, ContainerBuilder().version(1, 2, 3).end().build(),
       windowsPath(target), line("not support patch file version 1.2.3"), 1},
      {"version 255.0.0", false, ContainerBuilder().version(255, 0, 0).end().build(),
       windowsPath(target), line("not support patch file version 255.0.0"), 1},
      {"version 1.0.1", false, ContainerBuilder().version(1, 0, 1).end().build(),
       windowsPath(target), line("not support patch file version 1.0.1"), 1},
      {"already patched", false,
       ContainerBuilder().checkContent(0, patched).writeAbsolute(0, bytesOf("X")).end().build(),
       windowsPath(target), line(windowsPath(target) + " was already patched"), 0},
      {"unknown 05", false, ContainerBuilder().raw({0x05}).end().build(), windowsPath(target),
       line("unknown patch command 05"), 1},
      {"unknown 7F", false, ContainerBuilder().raw({0x7F}).end().build(), windowsPath(target),
       line("unknown patch command 7F"), 1},
      {"unknown FF", false, ContainerBuilder().raw({0xFF}).end().build(), windowsPath(target),
       line("unknown patch command FF"), 1},
      {"truncated", false, ContainerBuilder().raw({0x11, 0x00, 0x08, 0x00, 1, 2, 3}).build(),
       windowsPath(target), line("patch file " + shownSelfPath(patch) + " is truncated"), 1},
      {"write beyond any valid position", false,
       ContainerBuilder().write(0x16, 0xFFFFFFFFFFFFFFF0u, bytesOf("x")).end().build(),
       windowsPath(target), line("write file " + windowsPath(target) + " failed"), 1},
      {"patched: nothing printed", false,
       ContainerBuilder().writeAbsolute(0, bytesOf("X")).end().build(), windowsPath(target), "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(target, patched);
    ProcessResult r = run(c.bareStub ? nullptr : &c.container, c.argument);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Sinks, WineCatalogueTest,
                         ::testing::Values(CatalogueCase{"pipe", Sink::Pipe},
                                           CatalogueCase{"file", Sink::File}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct NameCase {
  friend void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }
  const char* label;
  const char* locale;
  std::string name;   // UTF-8, as the file is named here
  std::string shown;  // the name's bytes on standard output
};

class WineCodePageTest : public ::testing::TestWithParam<NameCase> {};

// Names are opened by their wide form whatever the code page; messages show
// them in the code page, with best-fit look-alikes or "?" where it has none.
TEST_P(WineCodePageTest, NameIsOpenedAndShownInTheAnsiCodePage) {
  const NameCase& c = GetParam();
  TempDir dir;
  std::string patch = dir.file("patch.exe");
  std::string path = dir.file(c.name);
  std::string shownPath = windowsPath(dir.path()) + "\\" + c.shown;
  Bytes patched = bytesOf("patched!");
  makePatch(patch, ContainerBuilder().checkContent(0, patched).writeAbsolute(0, patched).end().build());

  ProcessResult missing = runWindows({patch, windowsPath(path)}, {c.locale});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, line("open file " + shownPath + " failed"));

  writeFile(path, bytesOf("original"));
  ProcessResult first = runWindows({patch, windowsPath(path)}, {c.locale});
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(readFile(path), patched);

  ProcessResult second = runWindows({patch, windowsPath(path)}, {c.locale});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, line(shownPath + " was already patched"));
}

// 补丁目标 is B2 B9 B6 A1 C4 BF B1 EA in GBK.
const std::string kTarget = "\xE8\xA1\xA5\xE4\xB8\x81\xE7\x9B\xAE\xE6\xA0\x87";
const std::string kTargetGbk = "\xB2\xB9\xB6\xA1\xC4\xBF\xB1\xEA";

INSTANTIATE_TEST_SUITE_P(
    Names, WineCodePageTest,
    ::testing::Values(
        NameCase{"ChineseUnder936", kChinese, kTarget + ".bin", kTargetGbk + ".bin"},
        NameCase{"ChineseUnder1252", kEnglish, kTarget + ".bin", "????.bin"},
        // U+1F600 is a surrogate pair: one "?" for each half.
        NameCase{"BeyondBmpUnder1252", kEnglish, "smile \xF0\x9F\x98\x80.bin", "smile ??.bin"},
        NameCase{"BeyondBmpUnder936", kChinese, "smile \xF0\x9F\x98\x80.bin", "smile ??.bin"},
        // é and the euro sign are in 1252; A-macron and alpha have best-fit
        // look-alikes; Zhe has none.
        NameCase{"LatinUnder1252", kEnglish,
                 "caf\xC3\xA9 \xE2\x82\xAC \xC4\x80\xCE\xB1\xD0\x96.bin",
                 "caf\xE9 \x80 Aa?.bin"},
        // Code page 936 has all of these.
        NameCase{"LatinUnder936", kChinese, "caf\xC3\xA9 \xE2\x82\xAC \xCE\xB1\xD0\x96.bin",
                 "caf\xA8\xA6 \x80 \xA6\xC1\xA7\xA8.bin"}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

}  // namespace

namespace {

// Output that cannot be written is lost; the outcome and the target stand.
TEST(WineLostOutputTest, ClosedOrBrokenStandardOutputChangesNothing) {
  TempDir dir;
  std::string patch = dir.file("patch.exe");
  std::string target = dir.file("target.bin");
  const Bytes patched = bytesOf("patched");
  for (StandardOutput mode : {StandardOutput::Closed, StandardOutput::BrokenPipe}) {
    SCOPED_TRACE(mode == StandardOutput::Closed ? "closed" : "broken pipe");
    ProcessOptions options;
    options.standardOutput = mode;
    options.environment = {kEnglish};
    auto run = [&](const Bytes& container) {
      makePatch(patch, container);
      return runProcess({winePrograms().runner, patch, windowsPath(target)}, options);
    };
    writeFile(target, bytesOf("old"));
    const Bytes container = ContainerBuilder().checkContent(0, patched).writeAbsolute(0, patched).end().build();
    ProcessResult first = run(container);
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(readFile(target), patched);
    ProcessResult second = run(container);  // prints the already-patched line
    EXPECT_EQ(second.signal, 0);
    EXPECT_EQ(second.exitCode, 0);
    ProcessResult failed = run(ContainerBuilder().raw({0x05}).end().build());
    EXPECT_EQ(failed.signal, 0);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(readFile(target), patched);
  }
}

}  // namespace
