#include "builder/match.h"

#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "builder/suffix.h"

namespace {

// The cost model of the scan, in container bytes. A differing byte inside a
// copy costs what a literal byte costs, so a copy saves one byte per equal
// byte; each Write it needs for its differing bytes adds an op byte, a step
// and a length. Differences at most kMergeGap bytes apart share one Write.
constexpr int64_t kWriteOverhead = 3;
constexpr uint64_t kMergeGap = 2;
constexpr int64_t kMoveCost = 25;  // op byte and three u64 fields
// How much more than the current alignment a new seed must explain before
// the scan switches to it; less for an unchanged stretch, which needs no
// Move. Low values pay on relocated code: short realignments are kept when
// their copy ends up saving more than its Move costs (see the drop below),
// and the identity fallback covers the rest.
constexpr uint64_t kSwitchGain = 8;
constexpr uint64_t kIdentityGain = 4;
// A run this long at the current alignment is taken without asking the
// index: the alignment is evidently still right.
constexpr uint64_t kTrustRun = 32;
// An extension stops looking once this far past its best point.
constexpr uint64_t kGiveUpDistance = 1u << 20;
// The longest match taken in one step. Longer runs are taken in several
// steps at the same alignment, which costs nothing but keeps every compare
// short, so that the pages behind the scan can be released on huge files.
constexpr uint64_t kMaxMatch = 1u << 20;
constexpr uint64_t kProgressStep = 1u << 22;
constexpr uint64_t kReleaseStep = 1u << 26;
// Parts of NEW scanned independently, and how far before its start each
// part's scan begins (see scanCopies).
constexpr uint64_t kPartSize = uint64_t{4} << 20;
constexpr uint64_t kMaxParts = 8;
constexpr uint64_t kLeadIn = uint64_t{1} << 18;

void scoreByte(bool same, int64_t* score, uint64_t* sinceMismatch) {
  if (same) {
    ++*score;
    ++*sinceMismatch;
    return;
  }
  *score -= *sinceMismatch > kMergeGap ? kWriteOverhead
                                       : static_cast<int64_t>(*sinceMismatch);
  *sinceMismatch = 0;
}

// The growing forward end of the current copy: how far copying from src on
// pays, examined incrementally as the scan moves on.
struct Forward {
  uint64_t destination = 0;
  uint64_t source = 0;
  uint64_t done = 0;
  int64_t score = 0;
  int64_t best = 0;
  uint64_t bestLength = 0;
  uint64_t sinceMismatch = kMergeGap + 1;
  bool frozen = false;
};

struct Candidate {
  uint64_t destination;
  uint64_t source;
  uint64_t length;
  int64_t savings;
};

// Scans NEW's bytes [begin, end) and keeps the copies' parts at or after
// keepFrom; matches never reach past end.
class Scanner {
 public:
  Scanner(const ScanInput& in, uint64_t from, uint64_t to, uint64_t keep)
      : input(in), begin(from), end(to), keepFrom(keep) {}
  void run(std::vector<Copy>* copies);

 private:
  void advance(Forward* f, uint64_t upTo) const;
  uint64_t extendBackward(uint64_t scan, uint64_t pos, uint64_t floor) const;
  bool matchesAt(uint64_t at, int64_t offset) const;
  void findMatch(uint64_t scan, int64_t offset, uint64_t* pos,
                 uint64_t* len) const;
  void addCandidate(const Forward& f, uint64_t length);

  const ScanInput& input;
  const uint64_t begin;
  const uint64_t end;
  const uint64_t keepFrom;
  std::vector<Candidate> candidates;
};

bool Scanner::matchesAt(uint64_t at, int64_t offset) const {
  int64_t o = static_cast<int64_t>(at) + offset;
  return o >= 0 && static_cast<uint64_t>(o) < input.oldSize &&
         input.old[o] == input.fresh[at];
}

void Scanner::advance(Forward* f, uint64_t upTo) const {
  while (!f->frozen && f->destination + f->done < upTo) {
    uint64_t s = f->source + f->done;
    if (s >= input.oldSize) {
      f->frozen = true;
      break;
    }
    uint64_t d = f->destination + f->done;
    // Equal bytes in bulk: each adds one to the score.
    uint64_t run = commonPrefix(
        input.old + s, input.fresh + d,
        std::min({upTo - d, input.oldSize - s, kMaxMatch}));
    if (run > 0) {
      f->score += static_cast<int64_t>(run);
      f->sinceMismatch += run;
      f->done += run;
      if (f->score > f->best) {
        f->best = f->score;
        f->bestLength = f->done;
      }
      continue;
    }
    scoreByte(false, &f->score, &f->sinceMismatch);
    ++f->done;
    if (f->score > f->best) {
      f->best = f->score;
      f->bestLength = f->done;
    } else if (f->done - f->bestLength > kGiveUpDistance) {
      f->frozen = true;
    }
  }
}

uint64_t Scanner::extendBackward(uint64_t scan, uint64_t pos,
                                 uint64_t floor) const {
  int64_t score = 0;
  int64_t best = 0;
  uint64_t bestLength = 0;
  uint64_t since = kMergeGap + 1;
  for (uint64_t i = 1; scan >= floor + i && pos >= i; ++i) {
    scoreByte(input.old[pos - i] == input.fresh[scan - i], &score, &since);
    if (score > best) {
      best = score;
      bestLength = i;
    } else if (i - bestLength > kGiveUpDistance) {
      break;
    }
  }
  return bestLength;
}

// The longest exact match at scan: the current alignment when it runs long,
// else the index's answer, with ties going to an unchanged stretch and then
// to the current alignment, which cost no new Move.
void Scanner::findMatch(uint64_t scan, int64_t offset, uint64_t* pos,
                        uint64_t* len) const {
  uint64_t limit = std::min(end - scan, kMaxMatch);
  const uint8_t* pattern = input.fresh + scan;
  uint64_t run = 0;
  int64_t current = static_cast<int64_t>(scan) + offset;
  if (current >= 0 && static_cast<uint64_t>(current) < input.oldSize) {
    uint64_t c = static_cast<uint64_t>(current);
    run = commonPrefix(input.old + c, pattern,
                       std::min(limit, input.oldSize - c));
    if (run >= kTrustRun) {
      *pos = c;
      *len = run;
      return;
    }
  }
  findLongest(*input.index, pattern, limit, pos, len);
  if (offset != 0 && scan < input.oldSize) {
    uint64_t same = commonPrefix(input.old + scan, pattern,
                                 std::min(limit, input.oldSize - scan));
    if (same > 0 && same >= *len) {
      *pos = scan;
      *len = same;
    }
  }
  if (run > 0 && run >= *len) {
    *pos = static_cast<uint64_t>(current);
    *len = run;
  }
}

void Scanner::addCandidate(const Forward& f, uint64_t length) {
  if (length == 0) return;
  candidates.push_back(Candidate{f.destination, f.source, length, f.best});
}

void Scanner::run(std::vector<Copy>* copies) {
  const uint64_t n = end;
  uint64_t scan = begin;
  uint64_t len = 0;
  uint64_t pos = 0;
  int64_t lastOffset = 0;
  Forward forward;  // the copy being grown, unchanged bytes at first
  forward.destination = begin;
  forward.source = begin;
  uint64_t nextProgress = kProgressStep;
  uint64_t nextRelease = kReleaseStep;
  while (scan < n) {
    int64_t oldScore = 0;  // matches of the current alignment in [scan, scsc)
    scan += len;
    uint64_t scsc = scan;
    for (; scan < n; ++scan) {
      findMatch(scan, lastOffset, &pos, &len);
      if (scsc < scan) scsc = scan;
      if (static_cast<int64_t>(pos) - static_cast<int64_t>(scan) ==
          lastOffset) {
        // A run at the current alignment matches there throughout.
        if (scan + len > scsc) {
          oldScore += static_cast<int64_t>(scan + len - scsc);
          scsc = scan + len;
        }
      }
      for (; scsc < scan + len; ++scsc) {
        if (matchesAt(scsc, lastOffset)) ++oldScore;
      }
      uint64_t gain = pos == scan ? kIdentityGain : kSwitchGain;
      if ((len == static_cast<uint64_t>(oldScore) && len != 0) ||
          len > static_cast<uint64_t>(oldScore) + gain) {
        break;
      }
      if (scsc > scan && matchesAt(scan, lastOffset)) --oldScore;
      if (scan >= nextRelease && input.release != nullptr) {
        uint64_t keep = std::min(scan, forward.destination + forward.done);
        input.release(keep > 2 * kGiveUpDistance ? keep - 2 * kGiveUpDistance
                                                 : 0,
                      input.releaseContext);
        nextRelease = scan + kReleaseStep;
      }
    }
    advance(&forward, scan);
    if (scan >= nextProgress && input.progress != nullptr) {
      input.progress(scan, input.freshSize, input.progressContext);
      nextProgress = scan + kProgressStep;
    }
    if (scan >= nextRelease && input.release != nullptr) {
      uint64_t keep = forward.destination + forward.done;
      uint64_t below = std::min(scan, keep);
      below = below > 2 * kGiveUpDistance ? below - 2 * kGiveUpDistance : 0;
      input.release(below, input.releaseContext);
      nextRelease = scan + kReleaseStep;
    }
    bool explained = len == static_cast<uint64_t>(oldScore) && scan < n;
    if (explained) {
      // The current alignment goes on. When its copy stopped growing long
      // ago, the stretch here starts a copy of its own at the same offset.
      if (forward.frozen && forward.destination + forward.bestLength < scan) {
        addCandidate(forward, forward.bestLength);
        forward = Forward{};
        forward.destination = scan;
        forward.source = static_cast<uint64_t>(static_cast<int64_t>(scan) +
                                               lastOffset);
      }
      continue;
    }
    uint64_t lenf = forward.bestLength;
    uint64_t lenb = 0;
    if (scan < n) lenb = extendBackward(scan, pos, forward.destination);
    uint64_t lastScan = forward.destination;
    uint64_t lastPos = forward.source;
    if (lastScan + lenf > scan - lenb) {
      // Both ends claim the same bytes: split where the two alignments'
      // matches balance best.
      uint64_t overlap = (lastScan + lenf) - (scan - lenb);
      int64_t s = 0;
      int64_t best = 0;
      uint64_t lens = 0;
      for (uint64_t i = 0; i < overlap; ++i) {
        uint64_t a = lastScan + lenf - overlap + i;
        if (input.fresh[a] == input.old[lastPos + lenf - overlap + i]) ++s;
        if (input.fresh[scan - lenb + i] == input.old[pos - lenb + i]) --s;
        if (s > best) {
          best = s;
          lens = i + 1;
        }
      }
      lenf = lenf + lens - overlap;
      lenb -= lens;
    }
    addCandidate(forward, lenf);
    if (scan >= n) break;
    forward = Forward{};
    forward.destination = scan - lenb;
    forward.source = pos - lenb;
    lastOffset = static_cast<int64_t>(pos) - static_cast<int64_t>(scan);
  }
  // Copies at the same offset with only literal bytes between them become
  // one: the bytes between cost the same as fix-ups, and a Move is saved.
  std::vector<Candidate> merged;
  for (const Candidate& c : candidates) {
    if (!merged.empty()) {
      Candidate& m = merged.back();
      if (m.source - m.destination == c.source - c.destination &&
          c.destination >= m.destination + m.length) {
        m.length = c.destination + c.length - m.destination;
        m.savings += c.savings;
        continue;
      }
    }
    merged.push_back(c);
  }
  copies->clear();
  for (Candidate& c : merged) {
    if (c.destination + c.length <= keepFrom) continue;
    if (c.destination < keepFrom) {
      uint64_t cut = keepFrom - c.destination;
      c.destination += cut;
      c.source += cut;
      c.length -= cut;
    }
    // A copy that saves less than its Move costs is better written out.
    if (c.source != c.destination && c.savings < kMoveCost) continue;
    copies->push_back(Copy{c.destination, c.source, c.length});
  }
}

uint64_t slotFor(uint64_t key, uint64_t mask) {
  return (key ^ (key >> 29)) & mask;
}

}  // namespace

uint64_t commonPrefix(const uint8_t* a, const uint8_t* b, uint64_t limit) {
  uint64_t i = 0;
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  while (i + 8 <= limit) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + (static_cast<uint64_t>(__builtin_ctzll(x ^ y)) >> 3);
    i += 8;
  }
#endif
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

uint64_t suffixIndexBytes(IndexKind kind, uint64_t oldSize) {
  uint64_t entry = kind == IndexKind::SuffixArray64 ? 8 : 4;
  return entry * oldSize + 8 * (kBucketCount + 1);
}

uint64_t blockIndexBytes(uint64_t oldSize, uint64_t blockSize) {
  uint64_t blocks = oldSize / blockSize;
  uint64_t slots = 16;
  while (slots < 2 * blocks) slots <<= 1;
  return slots * 16;
}

uint64_t chooseBlockSize(uint64_t oldSize, uint64_t budget) {
  uint64_t size = 16;
  while (size < (1u << 20) && blockIndexBytes(oldSize, size) > budget) {
    size <<= 1;
  }
  return size;
}

bool buildBlockIndex(const uint8_t* old, uint64_t oldSize, uint64_t blockSize,
                     MatchIndex* index, std::string* error,
                     void (*release)(uint64_t below, void* context),
                     void* releaseContext) {
  index->kind = IndexKind::Blocks;
  index->old = old;
  index->oldSize = oldSize;
  index->blockSize = blockSize;
  uint64_t slots = blockIndexBytes(oldSize, blockSize) / 16;
  index->slotMask = slots - 1;
  index->slotKeys.reset(new (std::nothrow) uint64_t[slots]);
  index->slotPositions.reset(new (std::nothrow) uint64_t[slots]);
  if (!index->slotKeys || !index->slotPositions) {
    *error = "not enough memory for the block index";
    return false;
  }
  std::fill(index->slotKeys.get(), index->slotKeys.get() + slots, 0);
  uint64_t nextRelease = kReleaseStep;
  for (uint64_t at = 0; at + blockSize <= oldSize; at += blockSize) {
    if (at >= nextRelease && release != nullptr) {
      release(0, releaseContext);
      nextRelease = at + kReleaseStep;
    }
    uint64_t key = XXH3_64bits(old + at, blockSize) | 1;
    uint64_t slot = slotFor(key, index->slotMask);
    // The first of equal blocks is kept; later ones add nothing.
    while (index->slotKeys[slot] != 0 && index->slotKeys[slot] != key) {
      slot = (slot + 1) & index->slotMask;
    }
    if (index->slotKeys[slot] == 0) {
      index->slotKeys[slot] = key;
      index->slotPositions[slot] = at;
    }
  }
  return true;
}

void findLongest(const MatchIndex& index, const uint8_t* pattern,
                 uint64_t patternLength, uint64_t* position, uint64_t* length) {
  *position = 0;
  *length = 0;
  switch (index.kind) {
    case IndexKind::SuffixArray32:
      searchSuffixes32(index, pattern, patternLength, position, length);
      break;
    case IndexKind::SuffixArray64:
      searchSuffixes64(index, pattern, patternLength, position, length);
      break;
    case IndexKind::Blocks: {
      uint64_t b = index.blockSize;
      if (patternLength < b || index.oldSize < b) return;
      uint64_t key = XXH3_64bits(pattern, b) | 1;
      uint64_t slot = slotFor(key, index.slotMask);
      while (index.slotKeys[slot] != 0 && index.slotKeys[slot] != key) {
        slot = (slot + 1) & index.slotMask;
      }
      if (index.slotKeys[slot] != key) return;
      uint64_t at = index.slotPositions[slot];
      if (std::memcmp(index.old + at, pattern, b) != 0) return;
      *position = at;
      *length = b;
      break;
    }
  }
  // The search compares at most a bounded prefix; the match goes on.
  if (*length > 0) {
    uint64_t at = *position + *length;
    *length += commonPrefix(index.old + at, pattern + *length,
                            std::min(patternLength - *length,
                                     index.oldSize - at));
  }
}

uint64_t estimateDifferingShare(const MatchIndex& blocks, const uint8_t* fresh,
                                uint64_t freshSize) {
  constexpr uint64_t kSamples = 4096;
  constexpr uint64_t kWindow = 512;
  uint64_t b = blocks.blockSize;
  if (blocks.kind != IndexKind::Blocks || freshSize < kWindow + b) {
    return 65536;
  }
  auto sameAt = [&](uint64_t at, int64_t offset) {
    uint64_t same = 0;
    for (uint64_t i = 0; i < kWindow; ++i) {
      int64_t o = static_cast<int64_t>(at + i) + offset;
      same += o >= 0 && static_cast<uint64_t>(o) < blocks.oldSize &&
              blocks.old[o] == fresh[at + i];
    }
    return same;
  };
  uint64_t last = freshSize - kWindow - b;
  uint64_t step = std::max<uint64_t>(1, last / kSamples);
  uint64_t differing = 0;
  uint64_t seen = 0;
  // Candidates per window: OLD at the same offset, the alignment that did
  // best in the window before (stretches of NEW keep theirs), and every
  // alignment a block of the window's first ones finds in OLD.
  int64_t previous = 0;
  for (uint64_t at = 0; at <= last; at += step) {
    int64_t best = 0;
    uint64_t same = sameAt(at, 0);
    auto consider = [&](int64_t offset) {
      uint64_t n = sameAt(at, offset);
      if (n > same) {
        same = n;
        best = offset;
      }
    };
    consider(previous);
    for (uint64_t a = 0; a < b; ++a) {
      uint64_t position;
      uint64_t length;
      findLongest(blocks, fresh + at + a, b, &position, &length);
      if (length == b) {
        consider(static_cast<int64_t>(position) - static_cast<int64_t>(at + a));
      }
    }
    previous = best;
    differing += kWindow - same;
    seen += kWindow;
  }
  return differing * 65536 / seen;
}

void scanCopies(const ScanInput& input, std::vector<Copy>* copies) {
  // NEW is cut into a number of parts that depends on its size alone, so
  // that the patch does not depend on the machine's cores. Each part but the
  // first is scanned from a little before its start, so that it meets its
  // first bytes with the alignment found there rather than none. Parts are
  // scanned in parallel only when the inputs are held whole: releasing pages
  // behind one part would drop those another still reads.
  uint64_t parts = 1;
  if (input.release == nullptr) {
    parts = std::clamp<uint64_t>(input.freshSize / kPartSize, 1, kMaxParts);
  }
  std::vector<std::vector<Copy>> found(parts);
  std::atomic<uint64_t> next{0};
  auto work = [&](bool reports) {
    for (uint64_t k = next++; k < parts; k = next++) {
      uint64_t from = input.freshSize / parts * k;
      uint64_t to = k + 1 == parts ? input.freshSize
                                   : input.freshSize / parts * (k + 1);
      ScanInput part = input;
      // One worker tells the progress, of the parts it takes.
      if (!reports) part.progress = nullptr;
      Scanner scanner(part, from > kLeadIn ? from - kLeadIn : 0, to, from);
      scanner.run(&found[k]);
    }
  };
  uint64_t workers = std::min<uint64_t>(
      parts, std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> threads;
  for (uint64_t w = 1; w < workers; ++w) {
    // Without another thread this one takes every part.
    try {
      threads.emplace_back(work, false);
    } catch (const std::system_error&) {
      break;
    }
  }
  work(true);
  for (std::thread& t : threads) t.join();
  copies->clear();
  for (const std::vector<Copy>& f : found) {
    for (const Copy& c : f) {
      // A copy that goes on across a cut is one again.
      if (!copies->empty()) {
        Copy& last = copies->back();
        if (last.destination + last.length == c.destination &&
            last.source + last.length == c.source) {
          last.length += c.length;
          continue;
        }
      }
      copies->push_back(c);
    }
  }
}
