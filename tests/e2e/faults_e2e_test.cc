// The built patcher against failures of its environment: a file system that
// fills up, memory that cannot be had for a transfer buffer, a patch file
// cut short on disk. Each run must end as failed, with one line, and leave
// the target holding what the commands before the failure produced.
#include <gtest/gtest.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tests/e2e/fault_check.h"
#include "tests/e2e/stub_runner.h"

namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;

class FaultTest : public ::testing::Test {
 protected:
  ProcessResult runPatch(const Bytes& container, const std::string& target,
                         ProcessOptions options = {}) {
    stub.makePatch(patchPath, container);
    return stub.run(patchPath, {stub.argument(target)}, options);
  }
  std::string line(const std::string& text) const { return stub.output("ERROR: " + text + "\n\n"); }

  StubRunner stub;
  TempDir dir;
  std::string patchPath = dir.file("patch.exe");
  std::string targetPath = dir.file("target.bin");
};

// A tmpfs of a few pages, mounted in a mount namespace of this test process
// alone, so that nothing of it is seen outside or outlives the process.
class SmallFileSystem {
 public:
  // False, with the reason, where this machine does not let us mount one.
  bool mount(const std::string& at, uint64_t bytes, std::string* why) {
    static bool ownNamespace = false;
    if (!ownNamespace) {
      if (unshare(CLONE_NEWNS) != 0 ||
          ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("no private mount namespace: ") + std::strerror(errno);
        return false;
      }
      ownNamespace = true;
    }
    if (mkdir(at.c_str(), 0755) != 0 && errno != EEXIST) {
      *why = std::string("mkdir: ") + std::strerror(errno);
      return false;
    }
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      *why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
      return false;
    }
    at_ = at;
    return true;
  }
  ~SmallFileSystem() {
    if (!at_.empty()) umount2(at_.c_str(), MNT_DETACH);
  }

 private:
  std::string at_;
};

// Whether count more bytes fit on the file system that holds path.
bool roomFor(const std::string& path, uint64_t count) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  Bytes bytes(count, 1);
  ssize_t n = write(fd, bytes.data(), bytes.size());
  close(fd);
  unlink(path.c_str());
  return n == static_cast<ssize_t>(count);
}

// Writes of the target fail with "no space left": the run fails with the
// write-failure line, and so does a run whose last data reaches the disk
// only when the target is closed.
TEST_F(FaultTest, FullFileSystem) {
  if (stub.windows()) GTEST_SKIP() << "the emulator's file system is not this one";
  const uint64_t kCapacity = 256 * kKiB;
  const uint64_t kTargetSize = 32 * kKiB;
  const Bytes original = patternBytes(kTargetSize, 61);
  // Commands that need no new space: they run before each fault.
  auto before = [] { return ContainerBuilder().writeAbsolute(0, bytesOf("A")).fill(8, 8, 'f').move(8, 100, 8); };
  Bytes applied = original;
  applied[0] = 'A';
  for (int i = 0; i < 8; ++i) applied[8 + i] = applied[100 + i] = 'f';
  auto never = [](ContainerBuilder b) { return b.writeAbsolute(1, bytesOf("never")).end().build(); };
  const Bytes big = patternBytes(64 * kKiB, 62);
  auto source = [&](uint64_t from, uint64_t count) {
    Bytes out(count, 0);
    for (uint64_t i = 0; i < count && from + i < applied.size(); ++i) out[i] = applied[from + i];
    return out;
  };
  const struct {
    const char* name;
    uint64_t freeBytes;  // left free once the target is written
    Bytes container;
    FaultRange fault;
  } cases[] = {
      {"write larger than the free space", 16 * kKiB, never(before().write(0x15, kTargetSize, big)),
       {kTargetSize, big}},
      {"fill larger than the free space", 16 * kKiB, never(before().fill(1000, kMiB, 0xF1)),
       {1000, Bytes(kMiB, 0xF1)}},
      {"forward move into new space", 16 * kKiB, never(before().move(16 * kKiB, 8 * kKiB, 64 * kKiB)),
       {8 * kKiB, source(16 * kKiB, 64 * kKiB)}},
      {"backward move into new space", 16 * kKiB, never(before().move(0, kTargetSize, 40 * kKiB)),
       {kTargetSize, source(0, 40 * kKiB)}},
      // seekExtending's zero byte needs a page of its own: no room for it.
      {"backward move whose growing fails", 0, never(before().move(0, kMiB, 10)), {}},
      {"last data reaching the disk at close", 0,
       before().writeAbsolute(40 * kKiB, bytesOf("late")).end().build(), {40 * kKiB, bytesOf("late")}},
  };
  const std::string mountPoint = dir.file("small");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SmallFileSystem fs;
    std::string why;
    if (!fs.mount(mountPoint, kCapacity, &why)) GTEST_SKIP() << why;
    const std::string target = mountPoint + "/target.bin";
    writeFile(target, original);
    writeFile(mountPoint + "/filler", Bytes(kCapacity - kTargetSize - c.freeBytes, 0x99));
    // The file system is as full as the case says: one more page fails.
    ASSERT_FALSE(roomFor(mountPoint + "/probe", c.freeBytes + 4 * kKiB));

    ProcessResult r = runPatch(c.container, target);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, line("write file " + stub.argument(target) + " failed"));
    EXPECT_EQ(r.err, "");
    expectOnlyFaultRangeChanged(readFile(target), applied, c.fault);
  }
}

// Under an address-space limit that leaves room for the run but not for a
// 1 MiB transfer buffer, a Fill or a Move ends the run with the
// out-of-memory line; the commands before it are applied, none after it.
TEST_F(FaultTest, TransferBufferCannotBeObtained) {
  if (stub.windows()) GTEST_SKIP() << "no address-space limit under the emulator";
  const Bytes original = patternBytes(4096, 71);
  auto before = [] { return ContainerBuilder().writeAbsolute(0, bytesOf("AB")).writeRelative(2, bytesOf("C")); };
  Bytes applied = original;
  applied[0] = 'A';
  applied[1] = 'B';
  applied[4] = 'C';
  const Bytes calibration = before().writeAbsolute(9, bytesOf("after")).end().build();

  // The smallest limit under which the run without any transfer buffer
  // succeeds, to 64 KiB; a sanitized stub reserves terabytes and never does.
  auto succeedsUnder = [&](uint64_t limit) {
    writeFile(targetPath, original);
    ProcessOptions options;
    options.addressSpaceLimit = limit;
    return runPatch(calibration, targetPath, options).exitCode == 0;
  };
  uint64_t low = 0, high = 1024 * kMiB;
  if (!succeedsUnder(high)) GTEST_SKIP() << "the stub cannot start under an address-space limit";
  while (high - low > 64 * kKiB) {
    uint64_t middle = low + (high - low) / 2;
    (succeedsUnder(middle) ? high : low) = middle;
  }
  const uint64_t limit = high + 128 * kKiB;  // room for the run, not for 1 MiB more
  ASSERT_TRUE(succeedsUnder(limit));

  const struct {
    const char* name;
    Bytes container;
  } cases[] = {
      {"fill", before().fill(100, 10, 0xF1).writeAbsolute(9, bytesOf("never")).end().build()},
      {"forward move", before().move(200, 100, 10).writeAbsolute(9, bytesOf("never")).end().build()},
      {"backward move", before().move(100, 200, 10).writeAbsolute(9, bytesOf("never")).end().build()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, original);
    ProcessOptions options;
    options.addressSpaceLimit = limit;
    ProcessResult r = runPatch(c.container, targetPath, options);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, line("out of memory"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(targetPath), applied);
  }
}

// A patch file cut short on disk (an interrupted download): wherever the cut
// falls, the run fails with one line and the target is untouched; where the
// bytes before the cut happen to read as a trailer that leads to the header,
// the stream ends at that false trailer: "truncated", with the commands
// before it applied.
TEST_F(FaultTest, PatchFileCutShortOnDisk) {
  const Bytes original = bytesOf("0123456789abcdef");
  const Bytes image = readFile(stub.stub());
  // Commands: Write "A" at 0; a Write at 4 whose 8 data bytes equal the
  // distance from the header to the end of those bytes; Write "Z" at 1.
  ContainerBuilder first;
  first.writeAbsolute(0, bytesOf("A"));
  const uint64_t falseTrailer = 16 + first.stream().size() + 3 + 8;
  Bytes trailerBytes;
  appendLe(&trailerBytes, falseTrailer, 8);
  Bytes container = ContainerBuilder(first).writeAbsolute(4, trailerBytes).writeAbsolute(1, bytesOf("Z")).end().build();
  Bytes whole = image;
  whole.insert(whole.end(), container.begin(), container.end());
  const uint64_t headerAt = image.size();

  const struct {
    const char* name;
    uint64_t keep;  // bytes of the patch file left on disk
    std::string out;
    Bytes target;
  } cases[] = {
      {"inside the header", headerAt + 10, line("not support patch file " + stub.shownContainerPath(patchPath)), original},
      {"one byte short", whole.size() - 1, line("not support patch file " + stub.shownContainerPath(patchPath)), original},
      {"inside the trailer", whole.size() - 5, line("not support patch file " + stub.shownContainerPath(patchPath)), original},
      {"after the false trailer", headerAt + falseTrailer,
       line("patch file " + stub.shownContainerPath(patchPath) + " is truncated"), bytesOf("A123456789abcdef")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(targetPath, original);
    stub.makePatch(patchPath, {});
    writeFile(patchPath, Bytes(whole.begin(), whole.begin() + c.keep));
    ProcessResult r = stub.run(patchPath, {stub.argument(targetPath)});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(targetPath), c.target);
  }
  // The whole file applies completely.
  writeFile(targetPath, original);
  writeFile(patchPath, whole);
  ProcessResult r = stub.run(patchPath, {stub.argument(targetPath)});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  Bytes patched = original;
  patched[0] = 'A';
  patched[1] = 'Z';
  for (int i = 0; i < 8; ++i) patched[4 + i] = trailerBytes[i];
  EXPECT_EQ(readFile(targetPath), patched);
}

}  // namespace
