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
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

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

// Mounts made by this test process stay in a namespace of its own, so that
// none is seen outside or outlives the process.
bool ownMountNamespace(std::string* why) {
  static bool done = false;
  if (!done) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      *why = std::string("no private mount namespace: ") + std::strerror(errno);
      return false;
    }
    done = true;
  }
  return true;
}

// A tmpfs of a few pages.
class SmallFileSystem {
 public:
  // False, with the reason, where this machine does not let us mount one.
  bool mount(const std::string& at, uint64_t bytes, std::string* why) {
    if (!ownMountNamespace(why)) return false;
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

std::string tool(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"}) {
    std::string path = std::string(dir) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return name;
}

// One file on a loop-mounted ext2 file system whose device is then cut
// short under it: the file's blocks before cutAt, and its last block, are
// in the page cache; reading any other block fails with an I/O error, as
// from a damaged disk.
class UnreadablePastAPoint {
 public:
  // The file's path, or empty with the reason where this machine cannot
  // make one (no root, no loop devices, no e2fsprogs).
  std::string make(const std::string& work, const Bytes& content, uint64_t cutAt, std::string* why) {
    const uint64_t kBlock = 4096;
    if (cutAt % kBlock != 0 || cutAt + kBlock >= content.size()) {
      *why = "the cut must be block-aligned, before the last block";
      return "";
    }
    std::string source = work + "/source", image = work + "/fs.img";
    mountPoint_ = work + "/mnt";
    mkdir(source.c_str(), 0755);
    mkdir(mountPoint_.c_str(), 0755);
    writeFile(source + "/patch.exe", content);
    chmod((source + "/patch.exe").c_str(), 0755);
    std::string blocks = std::to_string(content.size() / kBlock + 64);
    ProcessResult made = runProcess({tool("mke2fs"), "-q", "-F", "-t", "ext2", "-b", "4096", "-d", source, image, blocks});
    if (made.exitCode != 0) {
      *why = "mke2fs failed: " + made.err;
      return "";
    }
    // The physical block where the file's unreadable part begins; the file
    // must lie in ascending blocks, as mke2fs allocates it.
    auto physical = [&](uint64_t fileBlock) {
      ProcessResult r = runProcess({tool("debugfs"), "-R", "bmap /patch.exe " + std::to_string(fileBlock), image});
      return r.exitCode == 0 ? std::strtoull(r.out.c_str(), nullptr, 10) : 0;
    };
    uint64_t cutBlock = physical(cutAt / kBlock);
    uint64_t lastBlock = physical((content.size() - 1) / kBlock);
    if (cutBlock == 0 || physical(cutAt / kBlock - 1) >= cutBlock || lastBlock <= cutBlock) {
      *why = "unexpected block layout of the file";
      return "";
    }
    ProcessResult loop = runProcess({tool("losetup"), "--show", "-f", image});
    if (loop.exitCode != 0 || loop.out.empty()) {
      *why = "no loop device: " + loop.err;
      return "";
    }
    device_ = loop.out.substr(0, loop.out.find('\n'));
    if (!ownMountNamespace(why)) return "";
    if (mount(device_.c_str(), mountPoint_.c_str(), "ext2", MS_RDONLY, nullptr) != 0) {
      *why = std::string("cannot mount ext2: ") + std::strerror(errno);
      return "";
    }
    mounted_ = true;
    std::string path = mountPoint_ + "/patch.exe";
    // Into the page cache: everything before the cut and the last block;
    // no read-ahead beyond them.
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
      *why = "cannot open the mounted file";
      return "";
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    Bytes buffer(content.size());
    uint64_t lastStart = (content.size() - 1) / kBlock * kBlock;
    bool cached = pread(fd, buffer.data(), cutAt, 0) == static_cast<ssize_t>(cutAt) &&
                  pread(fd, buffer.data(), content.size() - lastStart, static_cast<off_t>(lastStart)) ==
                      static_cast<ssize_t>(content.size() - lastStart);
    if (cached && truncate(image.c_str(), static_cast<off_t>(cutBlock * kBlock)) == 0 &&
        runProcess({tool("losetup"), "-c", device_}).exitCode == 0) {
      // The cut took: the first block behind it no longer reads.
      errno = 0;
      cached = pread(fd, buffer.data(), 1, static_cast<off_t>(cutAt)) < 0 && errno == EIO;
    } else {
      cached = false;
    }
    close(fd);
    if (!cached) {
      *why = "cannot cut the device under the file";
      return "";
    }
    return path;
  }
  ~UnreadablePastAPoint() {
    if (mounted_) umount2(mountPoint_.c_str(), 0);
    if (!device_.empty()) runProcess({tool("losetup"), "-d", device_});
  }

 private:
  std::string mountPoint_;
  std::string device_;
  bool mounted_ = false;
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
// Every limit from the smallest that the run needs up to 256 KiB above it
// is tried: the memory left over decides which allocation meets the limit.
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
  // succeeds, to 4 KiB; a sanitized stub reserves terabytes and never does.
  auto succeedsUnder = [&](uint64_t limit) {
    writeFile(targetPath, original);
    ProcessOptions options;
    options.addressSpaceLimit = limit;
    return runPatch(calibration, targetPath, options).exitCode == 0;
  };
  uint64_t low = 0, high = 1024 * kMiB;
  if (!succeedsUnder(high)) GTEST_SKIP() << "the stub cannot start under an address-space limit";
  while (high - low > 4 * kKiB) {
    uint64_t middle = low + (high - low) / 2;
    (succeedsUnder(middle) ? high : low) = middle;
  }

  const struct {
    const char* name;
    Bytes container;
  } cases[] = {
      {"fill", before().fill(100, 10, 0xF1).writeAbsolute(9, bytesOf("never")).end().build()},
      {"forward move", before().move(200, 100, 10).writeAbsolute(9, bytesOf("never")).end().build()},
      {"backward move", before().move(100, 200, 10).writeAbsolute(9, bytesOf("never")).end().build()},
  };
  // Room for the run, never for 1 MiB more.
  for (uint64_t extra = 0; extra <= 256 * kKiB; extra += 4 * kKiB) {
    const uint64_t limit = high + extra;
    ASSERT_TRUE(succeedsUnder(limit)) << "limit " << limit;
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", limit " << high << " + " << extra);
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

// The patch file cannot be read past a point: the device under it fails
// with I/O errors there. The commands wholly before that point are applied,
// the run ends as truncated.
TEST_F(FaultTest, PatchFileUnreadablePastAPoint) {
  if (stub.windows()) GTEST_SKIP() << "the emulator's file system is not this one";
  const Bytes image = readFile(stub.stub());
  // 400 Writes of 200 bytes, each 204 bytes long, side by side in the target.
  const int kWrites = 400;
  const uint64_t kCommandSize = 1 + 2 + 1 + 200;
  ContainerBuilder b;
  Bytes patched(kWrites * 200, 0);
  for (int i = 0; i < kWrites; ++i) {
    Bytes data = patternBytes(200, 100 + i);
    b.write(0x12, i * 200, data);
    std::copy(data.begin(), data.end(), patched.begin() + i * 200);
  }
  Bytes container = b.end().build();
  Bytes whole = image;
  whole.insert(whole.end(), container.begin(), container.end());
  const uint64_t streamAt = image.size() + 16;
  const uint64_t cutAt = (streamAt + 40 * kKiB) / 4096 * 4096;
  const uint64_t applied = (cutAt - streamAt) / kCommandSize;
  ASSERT_LT(applied, static_cast<uint64_t>(kWrites));

  UnreadablePastAPoint disk;
  std::string why;
  std::string patch = disk.make(dir.path(), whole, cutAt, &why);
  if (patch.empty()) GTEST_SKIP() << why;
  writeFile(targetPath, Bytes(patched.size(), 0));
  ProcessResult r = stub.run(patch, {stub.argument(targetPath)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, line("patch file " + stub.shownContainerPath(patch) + " is truncated"));
  EXPECT_EQ(r.err, "");
  Bytes expected(patched.size(), 0);
  std::copy(patched.begin(), patched.begin() + applied * 200, expected.begin());
  EXPECT_EQ(readFile(targetPath), expected) << applied << " Writes lie wholly before the cut";
}

}  // namespace
