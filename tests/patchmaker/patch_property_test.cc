// Property: for random OLD files and random edit scripts, the patch built
// from OLD and NEW turns OLD into NEW through the real patcher, follows the
// container rules, and its second run reports the file as already patched.
#include <gtest/gtest.h>

#include <algorithm>

#include "rules.h"
#include "testutil.h"

namespace {

constexpr int kScripts = 300;

Bytes editScript(std::mt19937_64& rng, const Bytes& old, std::string* log) {
  Bytes b = old;
  int edits = 1 + static_cast<int>(rng() % 8);
  for (int e = 0; e < edits; ++e) {
    size_t n = b.size();
    size_t at = n > 0 ? rng() % (n + 1) : 0;
    size_t len = 1 + rng() % (rng() % 4 == 0 ? 20000 : 300);
    switch (rng() % 8) {
      case 0: {  // insert fresh bytes
        Bytes ins = randomBytes(rng, len);
        b.insert(b.begin() + static_cast<long>(at), ins.begin(), ins.end());
        *log += " insert@" + std::to_string(at) + "+" + std::to_string(len);
        break;
      }
      case 1: {  // delete
        len = std::min(len, n - at);
        b.erase(b.begin() + static_cast<long>(at),
                b.begin() + static_cast<long>(at + len));
        *log += " delete@" + std::to_string(at) + "-" + std::to_string(len);
        break;
      }
      case 2: {  // move a block elsewhere
        len = std::min(len, n - at);
        Bytes block(b.begin() + static_cast<long>(at),
                    b.begin() + static_cast<long>(at + len));
        b.erase(b.begin() + static_cast<long>(at),
                b.begin() + static_cast<long>(at + len));
        size_t to = b.empty() ? 0 : rng() % (b.size() + 1);
        b.insert(b.begin() + static_cast<long>(to), block.begin(), block.end());
        *log += " move@" + std::to_string(at) + "->" + std::to_string(to);
        break;
      }
      case 3: {  // duplicate a block
        len = std::min(len, n - at);
        Bytes block(b.begin() + static_cast<long>(at),
                    b.begin() + static_cast<long>(at + len));
        size_t to = rng() % (b.size() + 1);
        b.insert(b.begin() + static_cast<long>(to), block.begin(), block.end());
        *log += " copy@" + std::to_string(at) + "->" + std::to_string(to);
        break;
      }
      case 4: {  // scattered byte changes
        size_t every = 5 + rng() % 200;
        for (size_t i = at; i < std::min(n, at + len * 10); i += every) {
          b[i] = static_cast<uint8_t>(rng());
        }
        *log += " sprinkle@" + std::to_string(at);
        break;
      }
      case 5: {  // a run of one value
        uint8_t v = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
        len = std::min(len, n - at);
        std::fill(b.begin() + static_cast<long>(at),
                  b.begin() + static_cast<long>(at + len), v);
        *log += " fill@" + std::to_string(at);
        break;
      }
      case 6: {  // truncate or extend
        size_t to = rng() % 2 == 0 ? at : n + len;
        b.resize(to, static_cast<uint8_t>(rng() % 2 ? 0 : 0x90));
        *log += " resize->" + std::to_string(to);
        break;
      }
      default: {  // swap two blocks
        if (n < 4) break;
        size_t a = rng() % (n / 2);
        size_t c = n / 2 + rng() % (n - n / 2);
        size_t la = std::min<size_t>(len, n / 2 - a);
        size_t lc = std::min<size_t>(1 + rng() % 3000, n - c);
        Bytes out(b.begin(), b.begin() + static_cast<long>(a));
        out.insert(out.end(), b.begin() + static_cast<long>(c),
                   b.begin() + static_cast<long>(c + lc));
        out.insert(out.end(), b.begin() + static_cast<long>(a + la),
                   b.begin() + static_cast<long>(c));
        out.insert(out.end(), b.begin() + static_cast<long>(a),
                   b.begin() + static_cast<long>(a + la));
        out.insert(out.end(), b.begin() + static_cast<long>(c + lc), b.end());
        b.swap(out);
        *log += " swap@" + std::to_string(a) + "," + std::to_string(c);
        break;
      }
    }
  }
  return b;
}

TEST(PatchProperty, RandomEditScriptsRoundTrip) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  Bytes stub = readBytes(PATCHER_PATH);
  std::mt19937_64 rng(20240611);
  const char* kIndexes[] = {"sa32", "sa64", "blocks"};
  int failures = 0;
  for (int i = 0; i < kScripts && failures < 5; ++i) {
    size_t size = rng() % 6 == 0 ? rng() % 64 : rng() % 120000;
    Bytes old = rng() % 3 == 0 ? randomBytes(rng, size)
                               : structuredBytes(rng, size);
    std::string log;
    Bytes fresh = editScript(rng, old, &log);
    const char* index = kIndexes[rng() % 3];
    SCOPED_TRACE("script " + std::to_string(i) + " (" + index + ", OLD " +
                 std::to_string(old.size()) + " bytes):" + log);
    std::string oldPath = dir.file("old");
    std::string newPath = dir.file("new");
    std::string patchPath = dir.file("patch");
    std::string target = dir.file("target");
    writeBytes(oldPath, old);
    writeBytes(newPath, fresh);
    RunResult made = runProcess({PATCHMAKER_PATH, "create", oldPath, newPath,
                                 "-o", patchPath, "--stub", PATCHER_PATH,
                                 "--index", index},
                                dir.path());
    if (made.exitCode != 0) {
      ADD_FAILURE() << "create failed: " << made.err;
      ++failures;
      continue;
    }
    Bytes patch = readBytes(patchPath);
    std::string broken = rules::check(patch, stub.size(), old, fresh);
    EXPECT_EQ(broken, "");
    writeBytes(target, old);
    RunResult first = runProcess({patchPath, target}, dir.path());
    bool ok = first.exitCode == 0 && readBytes(target) == fresh;
    EXPECT_TRUE(ok) << "first run: " << first.out;
    RunResult second = runProcess({patchPath, target}, dir.path());
    bool newIsPrefix = fresh.size() <= old.size() &&
                       std::equal(fresh.begin(), fresh.end(), old.begin());
    bool recognised =
        second.out.find("was already patched") != std::string::npos;
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(readBytes(target) == fresh) << "second run changed the file";
    if (!newIsPrefix || old == fresh) {
      EXPECT_TRUE(recognised) << second.out;
    }
    if (!ok || !broken.empty()) ++failures;
  }
}

}  // namespace
