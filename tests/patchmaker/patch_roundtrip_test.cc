// Round trips through the real executables: patchmaker builds a patch from
// OLD and NEW, the patch runs as a process on a copy of OLD and must leave
// NEW; a second run must report the file as already patched and change
// nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>

#include "rules.h"
#include "tests/support/process.h"
#include "testutil.h"

namespace {

constexpr size_t kMiB = 1u << 20;

struct Pair {
  Bytes old;
  Bytes fresh;
};

struct EditCase {
  const char* name;
  std::function<Pair()> make;
  bool expectCycleCuts;
};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<long>(from),
               b.begin() + static_cast<long>(to));
}

Bytes base(size_t n, uint64_t seed = 7) {
  std::mt19937_64 rng(seed);
  return structuredBytes(rng, n);
}

Bytes noise(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  return randomBytes(rng, n);
}

// Scattered single-byte changes, as relocated code shows.
Bytes sprinkle(Bytes b, size_t every, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (size_t i = every / 2; i < b.size(); i += every) {
    b[i] = static_cast<uint8_t>(b[i] + 1 + rng() % 200);
  }
  return b;
}

// NEW is scanned in parts of a few MiB; one stretch shifted by an insert
// near the start runs across every cut, with scattered changes on the way.
Pair shiftAcrossScanParts() {
  Bytes o = base(13 * kMiB + 123, 17);
  Bytes n = concat({slice(o, 0, kMiB), noise(3, 18), slice(o, kMiB, o.size())});
  return Pair{o, sprinkle(n, 65536, 19)};
}

const std::vector<EditCase>& editCases() {
  static const std::vector<EditCase> cases = {
      {"InsertAtStart",
       [] {
         Bytes o = base(40000);
         return Pair{o, concat({noise(300, 1), o})};
       },
       false},
      {"InsertInMiddle",
       [] {
         Bytes o = base(40000);
         return Pair{o, concat({slice(o, 0, 17000), noise(777, 2),
                                slice(o, 17000, o.size())})};
       },
       false},
      {"InsertAtEnd",
       [] {
         Bytes o = base(40000);
         return Pair{o, concat({o, noise(1234, 3)})};
       },
       false},
      {"DeleteInMiddle",
       [] {
         Bytes o = base(40000);
         return Pair{o, concat({slice(o, 0, 9000), slice(o, 12500, o.size())})};
       },
       false},
      {"DeleteAtStart",
       [] {
         Bytes o = base(40000);
         return Pair{o, slice(o, 5000, o.size())};
       },
       false},
      {"SwapTwoBlocks",
       [] {
         Bytes o = base(60000);
         return Pair{o, concat({slice(o, 0, 10000), slice(o, 30000, 50000),
                                slice(o, 10000, 30000),
                                slice(o, 50000, o.size())})};
       },
       true},
      {"SwapUnequalBlocks",
       [] {
         Bytes o = base(60000);
         return Pair{o, concat({slice(o, 0, 5000), slice(o, 8000, 40000),
                                slice(o, 5000, 8000),
                                slice(o, 40000, o.size())})};
       },
       true},
      {"RotateLeft",
       [] {
         Bytes o = base(50000);
         return Pair{o, concat({slice(o, 20000, o.size()), slice(o, 0, 20000)})};
       },
       true},
      {"ThreeBlockCycle",
       [] {
         // A B C -> C A B with equal sizes: every Move overwrites the next
         // one's source.
         Bytes o = base(3 * 16384 + 100);
         return Pair{o, concat({slice(o, 0, 50), slice(o, 50 + 2 * 16384, 50 + 3 * 16384),
                                slice(o, 50, 50 + 16384),
                                slice(o, 50 + 16384, 50 + 2 * 16384),
                                slice(o, 50 + 3 * 16384, o.size())})};
       },
       true},
      {"ManySwappedPairs",
       [] {
         Bytes o = base(64 * 2048);
         Bytes n;
         for (size_t i = 0; i < 64; i += 2) {
           n = concat({n, slice(o, (i + 1) * 2048, (i + 2) * 2048),
                       slice(o, i * 2048, (i + 1) * 2048)});
         }
         return Pair{o, n};
       },
       true},
      {"Truncate",
       [] {
         Bytes o = base(40000);
         return Pair{o, slice(o, 0, 25000)};
       },
       false},
      {"Extend",
       [] {
         Bytes o = base(40000);
         return Pair{o, concat({o, Bytes(5000, 0), noise(100, 4)})};
       },
       false},
      {"ExtendWithZeros",
       [] {
         Bytes o = base(40000);
         return Pair{o, concat({o, Bytes(70000, 0)})};
       },
       false},
      {"OldEmpty", [] { return Pair{Bytes{}, base(5000)}; }, false},
      {"NewEmpty", [] { return Pair{base(5000), Bytes{}}; }, false},
      {"BothEmpty", [] { return Pair{Bytes{}, Bytes{}}; }, false},
      {"Identical",
       [] {
         Bytes o = base(30000);
         return Pair{o, o};
       },
       false},
      {"OneByteChanged",
       [] {
         Bytes o = base(30000);
         Bytes n = o;
         n[12345] ^= 0xFF;
         return Pair{o, n};
       },
       false},
      {"ScatteredChangesAfterInsert",
       [] {
         Bytes o = base(200000);
         Bytes n = concat({slice(o, 0, 1000), noise(64, 5),
                           slice(o, 1000, o.size())});
         return Pair{o, sprinkle(n, 97, 6)};
       },
       false},
      {"LongRunsOfOneValue",
       [] {
         Bytes o = base(40000);
         Bytes n = concat({slice(o, 0, 10000), Bytes(3000, 0xAA),
                           slice(o, 13000, 30000), Bytes(500, 0x00),
                           slice(o, 30500, o.size())});
         return Pair{o, n};
       },
       false},
      {"LiteralLongerThanOneWrite",
       [] {
         Bytes o = base(20000);
         return Pair{o, concat({slice(o, 0, 7000), noise(200000, 8),
                                slice(o, 7000, o.size())})};
       },
       false},
      {"UnrelatedFiles",
       [] { return Pair{noise(30000, 9), noise(35000, 10)}; },
       false},
      {"AcrossChunkEdgesShiftUp",
       [] {
         // Stretches of several MiB that move by odd amounts, with edits
         // right at the 1 MiB chunk edges of the target.
         Bytes o = base(3 * kMiB + 4321, 11);
         Bytes n = concat({slice(o, 0, kMiB - 3), noise(5, 12),
                           slice(o, kMiB - 3, 2 * kMiB + 1), noise(1, 13),
                           slice(o, 2 * kMiB + 1, o.size())});
         n[2 * kMiB] ^= 0x5A;
         n[3 * kMiB] ^= 0xA5;
         return Pair{o, n};
       },
       false},
      {"AcrossChunkEdgesShiftDown",
       [] {
         Bytes o = base(3 * kMiB + 77, 14);
         Bytes n = concat({slice(o, 0, 1000), slice(o, kMiB / 2 + 1, o.size())});
         n[kMiB] ^= 1;
         n[kMiB - 1] ^= 1;
         return Pair{o, n};
       },
       false},
      {"MoveOfExactlyOneChunk",
       [] {
         Bytes o = base(2 * kMiB + 999, 15);
         Bytes n = concat({slice(o, 0, 500), noise(kMiB / 4, 16),
                           slice(o, 500, 500 + kMiB), slice(o, 500 + kMiB, o.size())});
         return Pair{o, n};
       },
       false},
      {"ShiftAcrossScanParts", [] { return shiftAcrossScanParts(); }, false},
  };
  return cases;
}

struct Param {
  size_t caseIndex;
  const char* index;
};

std::vector<Param> allParams() {
  std::vector<Param> out;
  for (size_t i = 0; i < editCases().size(); ++i) {
    for (const char* index : {"sa32", "sa64", "blocks"}) out.push_back({i, index});
  }
  return out;
}

class PatchRoundTrip : public ::testing::TestWithParam<Param> {};

uint64_t statValue(const std::string& text, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(pattern))) return UINT64_MAX;
  return std::stoull(m[1].str());
}

TEST_P(PatchRoundTrip, PatchTurnsOldIntoNewAndRecognisesItsResult) {
  const EditCase& c = editCases()[GetParam().caseIndex];
  SCOPED_TRACE(std::string(c.name) + " with " + GetParam().index);
  Pair pair = c.make();
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string oldPath = dir.file("old.bin");
  std::string newPath = dir.file("new.bin");
  std::string patchPath = dir.file("patch");
  std::string targetPath = dir.file("target.bin");
  writeBytes(oldPath, pair.old);
  writeBytes(newPath, pair.fresh);

  RunResult made = runProcess({PATCHMAKER_PATH, "create", oldPath, newPath,
                               "-o", patchPath, "--stub", PATCHER_PATH,
                               "--index", GetParam().index, "--stats"},
                              dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.err;
  struct stat st;
  ASSERT_EQ(stat(patchPath.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u) << "the patch is not runnable";

  Bytes patch = readBytes(patchPath);
  Bytes stub = readBytes(PATCHER_PATH);
  ASSERT_GT(patch.size(), stub.size());
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), patch.begin()))
      << "the patch does not start with the stub";
  EXPECT_EQ(rules::check(patch, stub.size(), pair.old, pair.fresh), "");

  uint64_t cuts = statValue(made.err, "(\\d+) cuts");
  ASSERT_NE(cuts, UINT64_MAX) << made.err;
  if (c.expectCycleCuts) {
    EXPECT_GT(cuts, 0u) << "the cycle breaker was not needed";
    // The cut pieces are whole blocks: they go through scratch space, and
    // the patch stays far smaller than the bytes they would take written out.
    EXPECT_GT(statValue(made.err, "(\\d+) through scratch space"), 0u)
        << made.err;
    EXPECT_LT(patch.size() - stub.size(), pair.fresh.size() / 8) << made.err;
  }

  writeBytes(targetPath, pair.old);
  RunResult first = runProcess({patchPath, targetPath}, dir.path());
  EXPECT_EQ(first.exitCode, 0) << first.out;
  bool identical = pair.old == pair.fresh;
  if (!identical) {
    EXPECT_EQ(first.out, "");
  }
  EXPECT_TRUE(readBytes(targetPath) == pair.fresh)
      << "the patched file differs from NEW";

  RunResult second = runProcess({patchPath, targetPath}, dir.path());
  EXPECT_EQ(second.exitCode, 0) << second.out;
  EXPECT_TRUE(readBytes(targetPath) == pair.fresh)
      << "a second run changed the patched file";
  bool newIsPrefix =
      pair.fresh.size() <= pair.old.size() &&
      std::equal(pair.fresh.begin(), pair.fresh.end(), pair.old.begin());
  if (!newIsPrefix || identical) {
    EXPECT_NE(second.out.find("was already patched"), std::string::npos)
        << second.out;
  }

  RunResult verified = runProcess(
      {PATCHMAKER_PATH, "verify", patchPath, oldPath, newPath}, dir.path());
  EXPECT_EQ(verified.exitCode, 0) << verified.err;
}

// Writes OLD and NEW into dir and makes dir/patch of them with --stats and
// the extra arguments; patchmaker's result holds the statistics.
RunResult makePatch(const ScratchDir& dir, const Pair& pair,
                    const std::vector<std::string>& extra = {}) {
  writeBytes(dir.file("old.bin"), pair.old);
  writeBytes(dir.file("new.bin"), pair.fresh);
  std::vector<std::string> args = {
      PATCHMAKER_PATH, "create", dir.file("old.bin"), dir.file("new.bin"),
      "-o", dir.file("patch"), "--stub", PATCHER_PATH, "--stats"};
  args.insert(args.end(), extra.begin(), extra.end());
  return runProcess(args, dir.path());
}

TEST(PatchRoundTrip, StretchAcrossScanPartsIsOneMove) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  RunResult made = makePatch(dir, shiftAcrossScanParts(), {"--index", "sa32"});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_EQ(statValue(made.err, "moves: (\\d+)"), 1u) << made.err;
}

// The automatic index: fingerprints where NEW differs little from a large
// OLD, a suffix array where many scattered bytes differ.
TEST(PatchRoundTrip, AutomaticIndexFollowsHowMuchNewDiffers) {
  struct Case {
    const char* name;
    size_t every;  // one changed byte per this many
    const char* index;
  };
  const Case cases[] = {
      {"an insert and rare changes", 65536, "index: block fingerprints"},
      {"a changed byte in every eight", 8, "index: suffix array"},
  };
  Bytes o = base(8 * kMiB + 4096, 29);  // just past the size fingerprints are tried from
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes n = sprinkle(
        concat({slice(o, 0, kMiB), noise(1000, 30), slice(o, kMiB, o.size())}),
        c.every, 31);
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    RunResult made = makePatch(dir, Pair{o, n});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_NE(made.err.find(c.index), std::string::npos) << made.err;
    std::string targetPath = dir.file("target.bin");
    writeBytes(targetPath, o);
    RunResult applied = runProcess({dir.file("patch"), targetPath}, dir.path());
    EXPECT_EQ(applied.exitCode, 0) << applied.out;
    EXPECT_TRUE(readBytes(targetPath) == n) << "the patched file differs from NEW";
  }
}

// A patch that breaks a cycle through scratch space first copies there,
// before any byte of the file changes: when the disk cannot take the extra
// bytes, the run fails with the file's own bytes untouched, and it succeeds
// once there is room.
TEST(PatchRoundTrip, NoRoomForScratchSpaceFailsBeforeTheFileChanges) {
  Bytes o = base(60000, 23);
  Bytes n = concat({slice(o, 0, 10000), slice(o, 30000, 50000),
                    slice(o, 10000, 30000), slice(o, 50000, o.size())});
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  RunResult made = makePatch(dir, Pair{o, n});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ASSERT_GT(statValue(made.err, "(\\d+) through scratch space"), 0u)
      << made.err;

  std::string patchPath = dir.file("patch");
  std::string targetPath = dir.file("target.bin");
  writeBytes(targetPath, o);
  ProcessOptions noRoom;
  noRoom.fileSizeLimit = o.size();
  ProcessResult failed = ::runProcess({patchPath, targetPath}, noRoom);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.out, "ERROR: write file " + targetPath + " failed\n\n");
  EXPECT_TRUE(readBytes(targetPath) == o) << "the file changed";

  RunResult retried = runProcess({patchPath, targetPath}, dir.path());
  EXPECT_EQ(retried.exitCode, 0) << retried.out;
  EXPECT_TRUE(readBytes(targetPath) == n) << "the patched file differs from NEW";
}

INSTANTIATE_TEST_SUITE_P(
    Edits, PatchRoundTrip, ::testing::ValuesIn(allParams()),
    [](const ::testing::TestParamInfo<Param>& p) {
      return std::string(editCases()[p.param.caseIndex].name) + "_" +
             p.param.index;
    });

}  // namespace
