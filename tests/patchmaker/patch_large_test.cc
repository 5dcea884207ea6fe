// A pair of sparse files beyond 4 GiB: data around the 4 GiB boundary, an
// insert past it that shifts the tail, edits that need 8-byte offsets. The
// patch is built with the default settings (too large for a suffix array in
// the default memory, so the block index and the replay on a temporary file
// are used) and applied by the real patcher to a sparse copy of OLD.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "testutil.h"

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kMiB = uint64_t{1} << 20;

struct Piece {
  uint64_t at;
  Bytes data;
};

bool writeSparse(const std::string& path, uint64_t size,
                 const std::vector<Piece>& pieces) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  for (const Piece& p : pieces) {
    ok = ok && pwrite(fd, p.data.data(), p.data.size(),
                      static_cast<off_t>(p.at)) ==
                   static_cast<ssize_t>(p.data.size());
  }
  return close(fd) == 0 && ok;
}

// Copies a file, leaving holes where whole pieces are zero.
bool copySparse(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) return false;
  Bytes buffer(kMiB);
  Bytes zero(kMiB, 0);
  off_t at = 0;
  bool ok = true;
  for (;;) {
    ssize_t n = pread(in, buffer.data(), buffer.size(), at);
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (std::memcmp(buffer.data(), zero.data(), static_cast<size_t>(n)) != 0 &&
        pwrite(out, buffer.data(), static_cast<size_t>(n), at) != n) {
      ok = false;
      break;
    }
    at += n;
  }
  ok = ok && ftruncate(out, at) == 0;
  close(in);
  return close(out) == 0 && ok;
}

bool sameContent(const std::string& a, const std::string& b) {
  int fa = open(a.c_str(), O_RDONLY);
  int fb = open(b.c_str(), O_RDONLY);
  bool same = fa >= 0 && fb >= 0 &&
              lseek(fa, 0, SEEK_END) == lseek(fb, 0, SEEK_END);
  Bytes x(kMiB);
  Bytes y(kMiB);
  for (off_t at = 0; same;) {
    ssize_t n = pread(fa, x.data(), x.size(), at);
    ssize_t m = pread(fb, y.data(), y.size(), at);
    if (n != m || n < 0) same = false;
    if (!same || n == 0) break;
    same = std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) == 0;
    at += n;
  }
  if (fa >= 0) close(fa);
  if (fb >= 0) close(fb);
  return same;
}

TEST(PatchLarge, SparseFilesBeyondFourGiBRoundTrip) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::mt19937_64 rng(4242);
  const uint64_t oldSize = 4 * kGiB + 3 * kMiB + 17;
  Bytes boundary = structuredBytes(rng, 2 * kMiB);
  Bytes head = structuredBytes(rng, kMiB);
  Bytes tail = structuredBytes(rng, kMiB);
  std::vector<Piece> oldPieces = {
      {0, head}, {4 * kGiB - kMiB, boundary}, {oldSize - kMiB, tail}};
  // NEW: 64 KiB inserted 100 bytes past 4 GiB, so the rest of the boundary
  // data and the tail shift up; a few bytes changed at 8-byte offsets; the
  // head changed at its start; 5 MiB more at the end.
  const uint64_t insertAt = 4 * kGiB + 100;
  const uint64_t shift = 64 * 1024;
  Bytes inserted = randomBytes(rng, shift);
  Bytes before(boundary.begin(), boundary.begin() + (insertAt - (4 * kGiB - kMiB)));
  Bytes after(boundary.begin() + static_cast<long>(before.size()), boundary.end());
  Bytes newHead = head;
  newHead[10] ^= 0x77;
  after[5000] ^= 0x01;
  Bytes newTail = tail;
  newTail[kMiB - 1] ^= 0xFF;
  const uint64_t newSize = oldSize + shift + 5 * kMiB;
  std::vector<Piece> newPieces = {
      {0, newHead},
      {4 * kGiB - kMiB, before},
      {insertAt, inserted},
      {insertAt + shift, after},
      {oldSize - kMiB + shift, newTail},
      {newSize - 8, Bytes{1, 2, 3, 4, 5, 6, 7, 8}}};
  std::string oldPath = dir.file("old");
  std::string newPath = dir.file("new");
  std::string patchPath = dir.file("patch");
  std::string target = dir.file("target");
  ASSERT_TRUE(writeSparse(oldPath, oldSize, oldPieces));
  ASSERT_TRUE(writeSparse(newPath, newSize, newPieces));

  RunResult made = runProcess({PATCHMAKER_PATH, "create", oldPath, newPath,
                               "-o", patchPath, "--stub", PATCHER_PATH,
                               "--stats"},
                              dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_NE(made.err.find("block fingerprints"), std::string::npos) << made.err;
  EXPECT_NE(made.err.find("replay: temporary file"), std::string::npos)
      << made.err;

  // The container is about the inserted bytes: everything else was matched.
  struct stat patchStat;
  struct stat stubStat;
  ASSERT_EQ(stat(patchPath.c_str(), &patchStat), 0);
  ASSERT_EQ(stat(PATCHER_PATH, &stubStat), 0);
  uint64_t container =
      static_cast<uint64_t>(patchStat.st_size - stubStat.st_size);
  EXPECT_LT(container, shift + 16 * 1024);
  RunResult listed =
      runProcess({PATCHMAKER_PATH, "inspect", patchPath, "--list"}, dir.path());
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  // Op bytes 0x16, 0x17, 0x1E and 0x1F carry 8-byte offsets or steps.
  EXPECT_TRUE(std::regex_search(listed.out, std::regex("\\(op 1[67EF]\\)")))
      << "no Write with an 8-byte offset field:\n" << listed.out;

  ASSERT_TRUE(copySparse(oldPath, target));
  RunResult first = runProcess({patchPath, target}, dir.path());
  EXPECT_EQ(first.exitCode, 0) << first.out;
  EXPECT_TRUE(sameContent(target, newPath)) << "the patched file differs from NEW";
  RunResult second = runProcess({patchPath, target}, dir.path());
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_NE(second.out.find("was already patched"), std::string::npos)
      << second.out;
}

}  // namespace
