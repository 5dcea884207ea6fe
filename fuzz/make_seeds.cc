// Writes the seed corpus of container_fuzzer: the containers and targets of
// the end-to-end and unit fixtures, in the fuzzer's input layout (flags byte,
// u16 target length, target, container). Usage: make_fuzz_seeds DIR
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/container_builder.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kTop = 0x7FFFFFFFFFFFFFFFull;
std::string outDir;
int written = 0;

Bytes pattern(size_t count, uint32_t seed) {
  Bytes out(count);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

void emit(const std::string& name, const Bytes& target, const Bytes& file, bool appendTrailer) {
  Bytes input{static_cast<uint8_t>(appendTrailer ? 1 : 0)};
  appendLe(&input, target.size(), 2);
  input.insert(input.end(), target.begin(), target.end());
  input.insert(input.end(), file.begin(), file.end());
  std::string path = outDir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(input.data(), 1, input.size(), f) != input.size() ||
      std::fclose(f) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  ++written;
}

// Header and stream; the harness appends the trailer.
void seed(const std::string& name, const Bytes& target, const ContainerBuilder& b) {
  Bytes file = b.build();
  file.resize(file.size() - 8);
  emit(name, target, file, true);
}

// The whole container file as it is, trailer included.
void seedFile(const std::string& name, const Bytes& target, const Bytes& file) {
  emit(name, target, file, false);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  outDir = argv[1];
  const Bytes dots = bytesOf("........");

  // The worked example: check block, an upward Move, absolute and relative
  // Writes; once on the original and once on the patched target.
  {
    Bytes old = pattern(0x3000, 11);
    Bytes inserted = pattern(16, 12);
    Bytes patched(old.begin(), old.begin() + 0x1000);
    patched.insert(patched.end(), inserted.begin(), inserted.end());
    patched.insert(patched.end(), old.begin() + 0x1000, old.end());
    const uint8_t changes[][2] = {{0x20, 0xAA}, {0x21, 0xBB}, {0x22, 0xCC}, {0x24, 0xDD}, {0x25, 0xEE}};
    for (const auto& c : changes) patched[c[0]] = c[1];
    ContainerBuilder b;
    b.checkContent(0x20, Bytes(patched.begin() + 0x20, patched.begin() + 0x28))
        .move(0x1000, 0x1010, 0x2000)
        .write(0x12, 0x1000, inserted)
        .write(0x10, 0x20, {0xAA, 0xBB, 0xCC})
        .write(0x18, 0x01, {0xDD, 0xEE})
        .end();
    seed("worked-example", old, b);
    seed("worked-example-patched", patched, b);
    Bytes whole = pattern(64, 3);  // behind a program image
    Bytes container = b.build();
    whole.insert(whole.end(), container.begin(), container.end());
    seedFile("worked-example-behind-image", old, whole);
  }

  // The failure lines of the catalogue.
  seedFile("no-container", bytesOf("keep"), pattern(200, 5));
  seedFile("version-1.0.1", bytesOf("keep"), ContainerBuilder().version(1, 0, 1).end().build());
  seedFile("version-255.0.0", bytesOf("keep"), ContainerBuilder().version(255, 0, 0).end().build());
  seedFile("version-0.255.255", bytesOf("keep"),
           ContainerBuilder().version(0, 255, 255).writeAbsolute(0, bytesOf("v")).end().build());
  seed("unknown-05", bytesOf("keep"), ContainerBuilder().raw({0x05}).end());
  seed("unknown-7f", bytesOf("keep"), ContainerBuilder().raw({0x7F}).end());
  seed("truncated-write", bytesOf("keep"), ContainerBuilder().raw({0x11, 0x00, 0x08, 0x00, 1, 2, 3}));
  seed("header-and-end", bytesOf("keep"), ContainerBuilder().end());
  seedFile("reserved-and-length-ignored", dots,
           ContainerBuilder().reserved(0x5A).lengthField(3).writeAbsolute(2, bytesOf("r")).end().build());
  seed("unknown-after-writes", dots,
       ContainerBuilder().writeAbsolute(1, bytesOf("a")).writeRelative(1, bytesOf("b")).raw({0x05}).end());

  // Every Write form, relative ones after an absolute Write of "AB" at 3.
  for (unsigned op = 0x10; op <= 0x1F; ++op) {
    const uint64_t offsets[] = {0x7B, 0x1234, 0x12345, 0x2345};
    uint64_t offset = offsets[(op >> 1) & 3];
    ContainerBuilder b;
    if (op & 0x08) b.writeAbsolute(3, bytesOf("AB"));
    b.write(static_cast<uint8_t>(op), offset, pattern((op & 1) ? 300 : 200, op)).writeRelative(0, {0xE7}).end();
    char name[32];
    std::snprintf(name, sizeof name, "write-%02x", op);
    seed(name, Bytes(16, 0x55), b);
  }
  seed("write-65536", {}, ContainerBuilder().write(0x11, 0, pattern(65536, 7)).end());
  seed("write-one-byte-len16", {}, ContainerBuilder().write(0x11, 0, {0x42}).end());
  seed("write-past-4gib", bytesOf("head"),
       ContainerBuilder().writeAbsolute(0x100001234ull, bytesOf("far")).writeRelative(1, bytesOf("!")).end());
  seed("relative-steps", Bytes(32, '.'),
       ContainerBuilder()
           .writeRelative(2, bytesOf("a"))
           .writeRelative(0, bytesOf("bc"))
           .writeRelative(1, bytesOf("d"))
           .checkContent(0, bytesOf("nothing"))
           .writeRelative(3, bytesOf("e"))
           .writeAbsolute(20, bytesOf("f"))
           .writeRelative(0, bytesOf("g"))
           .end());
  seed("writes-at-the-top", dots,
       ContainerBuilder().write(0x16, kTop - 1, bytesOf("xy")).writeAbsolute(0, bytesOf("never")).end());
  seed("relative-step-overflows", dots,
       ContainerBuilder().writeAbsolute(4, bytesOf("x")).write(0x1E, ~0ull, bytesOf("y")).end());

  // Detection: all regions matching, one differing, empty regions, regions
  // past the end, a Check outside the check block.
  {
    Bytes target = pattern(600, 21);
    Bytes a(target.begin() + 10, target.begin() + 266), c(target.begin() + 300, target.begin() + 556);
    seed("check-all-match", target,
         ContainerBuilder().checkContent(10, a).checkContent(300, c).writeAbsolute(0, bytesOf("w")).end());
    seed("check-all-match-then-unknown", target, ContainerBuilder().checkContent(10, a).raw({0x7F}).end());
    seed("check-second-differs", target,
         ContainerBuilder().checkContent(10, a).checkContent(300, bytesOf("other")).writeRelative(0, {0xE7}).end());
    seed("check-empty-region-past-end", target,
         ContainerBuilder().check(5000, 0, sha256Of({})).writeRelative(0, {0xE7}).end());
    seed("check-empty-region-wrong-digest", target,
         ContainerBuilder().check(5000, 0, sha256Of(bytesOf("x"))).writeRelative(0, {0xE7}).end());
    seed("check-region-one-byte-too-long", target,
         ContainerBuilder().check(500, 101, sha256Of({})).writeRelative(0, {0xE7}).end());
    seed("check-region-at-the-end", target,
         ContainerBuilder().checkContent(500, Bytes(target.begin() + 500, target.end())).raw({0x02}).end());
    seed("check-offset-2-63", target, ContainerBuilder().check(1ull << 63, 4, sha256Of({})).end());
    seed("check-after-write", target,
         ContainerBuilder().writeAbsolute(0, bytesOf("w")).checkContent(0, bytesOf("w")).end());
    seed("check-block-cut", target, ContainerBuilder().checkContent(10, a).raw({0x01, 0x00}));
  }

  // Moves both ways, across chunks, degenerate and refused ones.
  {
    Bytes t = pattern(0x4000, 31);
    seed("move-up-overlapping", t, ContainerBuilder().move(0x100, 0x180, 0x1000).writeRelative(0, {0xE7}).end());
    seed("move-down-overlapping", t, ContainerBuilder().move(0x180, 0x100, 0x1000).writeRelative(0, {0xE7}).end());
    seed("move-up-past-end", t, ContainerBuilder().move(0, 0x10000, 0x2800).end());
    seed("move-source-past-end", t, ContainerBuilder().move(0x3F00, 0x10, 0x400).end());
    seed("move-up-multi-chunk", t,
         ContainerBuilder().move(0, kMiB, 2 * kMiB + kMiB / 2).writeRelative(0, {0xE7}).end());
    seed("move-down-multi-chunk", t,
         ContainerBuilder().resize(3 * kMiB).move(kMiB, 0, 2 * kMiB + 5).writeRelative(0, {0xE7}).end());
    seed("move-same-place", t,
         ContainerBuilder().writeAbsolute(7, bytesOf("p")).move(5, 5, 1000).writeRelative(0, {0xE7}).end());
    seed("move-empty-lengths", t,
         ContainerBuilder().move(0, 9, 0).move(0, 9, 1ull << 63).writeRelative(0, {0xE7}).end());
    seed("move-after-buffered-write", t,
         ContainerBuilder().writeAbsolute(0x40, bytesOf("buffered")).move(0x40, 0x2000, 8).end());
    seed("move-past-the-top", t, ContainerBuilder().move(kTop - 5, 0, 100).end());
  }

  // Fills and resizes.
  {
    Bytes t = pattern(0x800, 41);
    seed("fill-across-a-chunk", t, ContainerBuilder().fill(256, kMiB + 1, 0xAA).writeRelative(0, {0xE7}).end());
    seed("fill-past-end", t, ContainerBuilder().fill(0x1000, 0x20, 0x11).end());
    seed("fill-empty-far-away", t, ContainerBuilder().fill(0x3000, 0, 0x11).writeRelative(0, {0xE7}).end());
    seed("fill-2-63", t, ContainerBuilder().fill(0x10, 1ull << 63, 0x11).writeRelative(0, {0xE7}).end());
    seed("resize-up", t, ContainerBuilder().resize(0x1800).writeRelative(0, {0xE7}).end());
    seed("resize-zero", t, ContainerBuilder().writeAbsolute(0x10, bytesOf("z")).resize(0).writeRelative(0, {0xE7}).end());
    Bytes big = pattern(0x8000, 42);
    seed("resize-cut-below-position", big,
         ContainerBuilder().writeAbsolute(0x5000, pattern(100, 43)).resize(0x4000).writeRelative(0, {0xE7}).end());
    seed("resize-2-63", t, ContainerBuilder().resize(1ull << 63).end());
  }

  // The size-limit fault cases of the end-to-end suite (64 KiB limit there).
  {
    const uint64_t limit = 64 * 1024;
    Bytes t(limit / 2, '.');
    seed("limit-write", t, ContainerBuilder().writeAbsolute(0, bytesOf("A")).writeAbsolute(limit + 10, bytesOf("B")).end());
    seed("limit-fill", t, ContainerBuilder().writeAbsolute(0, bytesOf("A")).fill(16, 5 * kMiB, 0xF1).end());
    seed("limit-move-forward", t, ContainerBuilder().writeAbsolute(0, bytesOf("A")).move(limit / 2, limit / 4, 5 * kMiB).end());
    seed("limit-move-backward", t, ContainerBuilder().writeAbsolute(0, bytesOf("A")).move(0, 5 * kMiB, kMiB + 5).end());
    seed("limit-resize", t, ContainerBuilder().writeAbsolute(0, bytesOf("A")).resize(5 * kMiB).end());
  }

  std::printf("%d seeds written to %s\n", written, outDir.c_str());
  return 0;
}
