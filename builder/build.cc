#include "builder/build.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "builder/checkblock.h"
#include "builder/files.h"
#include "builder/literals.h"
#include "builder/match.h"
#include "builder/verify.h"
#include "engine/container.h"

namespace {

// What the matching phase holds besides the index: OLD and NEW themselves.
// The replay is done in memory when it fits beside both.
uint64_t inputBytes(const FileView& old, const FileView& fresh) {
  return old.size + fresh.size;
}

// Room kept aside for the copy list, buffers and pages of huge inputs in
// flight when the block index is sized.
constexpr uint64_t kReserve = uint64_t{256} << 20;

constexpr uint64_t kScratchLimit = uint64_t{1} << 30;

// Where fingerprints are tried before a suffix array (see chooseIndex): OLD
// from this size on, and a sampled difference of at most this share of NEW,
// in 1/65536.
constexpr uint64_t kQuickMinimum = uint64_t{8} << 20;
constexpr uint64_t kQuickShare = 65536 * 3 / 100;

struct Views {
  FileView old;
  FileView fresh;
  FileView stub;
  ~Views() {
    closeView(&old);
    closeView(&fresh);
    closeView(&stub);
  }
};

struct ReleaseContext {
  const FileView* old;
  const FileView* fresh;
};

void releaseBehind(uint64_t below, void* context) {
  const ReleaseContext* c = static_cast<const ReleaseContext*>(context);
  releaseView(*c->fresh, 0, below);
  // OLD is read in no order; its pages come back from the cache as needed.
  releaseView(*c->old, 0, c->old->size);
}

struct ScanProgressContext {
  const BuildRequest* request;
};

void scanProgress(uint64_t done, uint64_t total, void* context) {
  const ScanProgressContext* c = static_cast<const ScanProgressContext*>(context);
  c->request->progress(BuildPhase::Matching, done, total,
                       c->request->progressContext);
}

std::string temporaryDirectory(const BuildRequest& request) {
  if (!request.tempDirectory.empty()) return request.tempDirectory;
  const char* env = std::getenv("TMPDIR");
  return env != nullptr && env[0] != '\0' ? std::string(env) : "/tmp";
}

class PhaseClock {
 public:
  explicit PhaseClock(double* slot)
      : out(slot), start(std::chrono::steady_clock::now()) {}
  ~PhaseClock() {
    *out += std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                          start)
                .count();
  }

 private:
  double* out;
  std::chrono::steady_clock::time_point start;
};

void report(const BuildRequest& request, BuildPhase phase, uint64_t done,
            uint64_t total) {
  if (request.progress != nullptr) {
    request.progress(phase, done, total, request.progressContext);
  }
}

bool chooseIndex(const BuildRequest& request, const FileView& old,
                 const FileView& fresh, MatchIndex* index, BuildStats* stats,
                 std::string* error) {
  ReleaseContext release{&old, &fresh};
  IndexChoice choice = request.index;
  uint64_t inputs = inputBytes(old, fresh);
  if (choice == IndexChoice::Automatic) {
    if (old.size <= 0x7FFFFFFF &&
        suffixIndexBytes(IndexKind::SuffixArray32, old.size) + inputs <=
            request.memoryLimit) {
      choice = IndexChoice::SuffixArray32;
    } else if (suffixIndexBytes(IndexKind::SuffixArray64, old.size) +
                   inputs <= request.memoryLimit) {
      choice = IndexChoice::SuffixArray64;
    } else {
      choice = IndexChoice::Blocks;
    }
  }
  // A suffix array takes seconds per ten MiB to build, and pays where NEW
  // differs from OLD in many scattered bytes (relocated code), whose copies
  // start from short matches. Where NEW differs little, fingerprints of
  // OLD's blocks find nearly as good copies at a fraction of the cost: they
  // are built first, in the suffix array's memory, and kept when the
  // difference sampled through them is small.
  if (request.index == IndexChoice::Automatic &&
      choice != IndexChoice::Blocks && old.size >= kQuickMinimum) {
    uint64_t budget = suffixIndexBytes(choice == IndexChoice::SuffixArray32
                                           ? IndexKind::SuffixArray32
                                           : IndexKind::SuffixArray64,
                                       old.size);
    uint64_t blockSize = chooseBlockSize(old.size, budget);
    if (buildBlockIndex(old.data, old.size, blockSize, index, error)) {
      stats->estimatedShare =
          estimateDifferingShare(*index, fresh.data, fresh.size);
      if (stats->estimatedShare <= kQuickShare) {
        stats->index = "block fingerprints (NEW differs little)";
        stats->blockSize = blockSize;
        return true;
      }
    }
    error->clear();
    *index = MatchIndex{};
  }
  switch (choice) {
    case IndexChoice::SuffixArray32:
      stats->index = "suffix array (32-bit)";
      return buildSuffixIndex32(old.data, old.size, index, error);
    case IndexChoice::SuffixArray64:
      stats->index = "suffix array (64-bit)";
      return buildSuffixIndex64(old.data, old.size, index, error);
    default: {
      // The inputs are not held whole in this mode, only the pages in use.
      uint64_t budget = request.memoryLimit > 2 * kReserve
                            ? request.memoryLimit - 2 * kReserve
                            : kReserve / 4;
      stats->index = "block fingerprints";
      stats->inputsWhole = false;
      stats->blockSize = chooseBlockSize(old.size, budget);
      return buildBlockIndex(old.data, old.size, stats->blockSize, index,
                             error, releaseBehind, &release);
    }
  }
}

}  // namespace

bool carriesContainer(const uint8_t* data, uint64_t size) {
  if (size < kTrailerSize) return false;
  uint64_t t = decodeLe(data + size - kTrailerSize, kTrailerSize);
  if (t < kHeaderSize || t > size) return false;
  return std::memcmp(data + (size - t), kPatchMagic, 4) == 0;
}

bool buildPatch(const BuildRequest& request, BuildStats* stats,
                std::string* error) {
  *stats = BuildStats{};
  Views v;
  if (!openView(request.oldPath, &v.old, error) ||
      !openView(request.newPath, &v.fresh, error) ||
      !openView(request.stubPath, &v.stub, error)) {
    return false;
  }
  if (carriesContainer(v.stub.data, v.stub.size)) {
    *error = "the stub " + request.stubPath +
             " already carries a patch; use the plain patcher";
    return false;
  }
  stats->stubSize = v.stub.size;

  std::vector<CheckRegion> regions;
  chooseCheckRegions(v.old, v.fresh, &regions, &stats->identical);
  stats->checkRegions = regions.size();

  std::vector<Copy> moves;
  if (!stats->identical) {
    std::vector<Copy> copies;
    {
      MatchIndex index;
      {
        PhaseClock clock(&stats->seconds[static_cast<int>(BuildPhase::Indexing)]);
        report(request, BuildPhase::Indexing, 0, v.old.size);
        if (!chooseIndex(request, v.old, v.fresh, &index, stats, error)) {
          return false;
        }
      }
      PhaseClock clock(&stats->seconds[static_cast<int>(BuildPhase::Matching)]);
      ScanInput input;
      input.old = v.old.data;
      input.oldSize = v.old.size;
      input.fresh = v.fresh.data;
      input.freshSize = v.fresh.size;
      input.index = &index;
      ScanProgressContext progress{&request};
      if (request.progress != nullptr) {
        input.progress = scanProgress;
        input.progressContext = &progress;
      }
      ReleaseContext release{&v.old, &v.fresh};
      if (!stats->inputsWhole) {
        input.release = releaseBehind;
        input.releaseContext = &release;
      }
      scanCopies(input, &copies);
    }
    PhaseClock clock(&stats->seconds[static_cast<int>(BuildPhase::Ordering)]);
    report(request, BuildPhase::Ordering, 0, copies.size());
    std::vector<Copy> shifted;
    for (const Copy& c : copies) {
      ++stats->copies;
      stats->copiedBytes += c.length;
      if (c.source != c.destination) shifted.push_back(c);
    }
    // Scratch space past everything the Moves touch: while the patch runs,
    // the target grows by at most its own size, and at most 1 GiB.
    Scratch scratch;
    scratch.base = v.old.size;
    for (const Copy& c : shifted) {
      scratch.base = std::max(scratch.base, c.destination + c.length);
    }
    scratch.limit = std::min(std::max(v.old.size, v.fresh.size), kScratchLimit);
    orderMoves(shifted, scratch, &moves, &stats->order);
  }

  std::string tempDir = temporaryDirectory(request);
  Replay replay;
  {
    PhaseClock clock(&stats->seconds[static_cast<int>(BuildPhase::Replaying)]);
    report(request, BuildPhase::Replaying, 0, moves.size());
    uint64_t replaySize = v.old.size;
    for (const Copy& m : moves) {
      replaySize = std::max(replaySize, m.destination + m.length);
    }
    bool inMemory =
        replaySize + inputBytes(v.old, v.fresh) <= request.memoryLimit;
    stats->replayOnFile = !inMemory;
    bool ok = inMemory ? replayInMemory(v.old, moves, &replay, error)
                       : replayOnFile(v.old, moves, tempDir, &replay, error);
    if (!ok) {
      closeReplay(&replay);
      return false;
    }
  }

  std::string outDir = directoryOf(request.outputPath);
  std::string tempPath;
  int fd = createTempFile(outDir, "patchmaker", &tempPath);
  if (fd < 0) {
    closeReplay(&replay);
    *error = "cannot create a file in " + outDir + ": " + std::strerror(errno);
    return false;
  }
  FILE* out = fdopen(fd, "wb");
  bool ok = out != nullptr;
  if (!ok) {
    close(fd);
    *error = "cannot write " + tempPath;
  }
  ContainerWriter writer;
  if (ok) {
    PhaseClock clock(&stats->seconds[static_cast<int>(BuildPhase::Writing)]);
    report(request, BuildPhase::Writing, 0, v.fresh.size);
    ok = std::fwrite(v.stub.data, 1, static_cast<size_t>(v.stub.size), out) ==
             v.stub.size &&
         writer.begin(out, error);
    if (!ok && error->empty()) *error = "cannot write " + tempPath;
    for (const CheckRegion& r : regions) {
      ok = ok && writer.check(r.offset, r.length, r.digest);
    }
    for (const Copy& m : moves) {
      ok = ok && writer.move(m.source, m.destination, m.length);
    }
    ok = ok && emitLiterals(replay, v.fresh, &writer, error) && writer.finish();
    if (std::fclose(out) != 0 && ok) {
      ok = false;
      *error = "cannot write " + tempPath;
    }
  }
  closeReplay(&replay);
  stats->commands = writer.counts();
  stats->containerSize = writer.containerSize();
  if (ok) {
    // Runnable like the stub: rwx for whoever may read it.
    mode_t mask = umask(0);
    umask(mask);
    ok = chmod(tempPath.c_str(), 0777 & ~mask) == 0;
    if (!ok) *error = "cannot set the mode of " + tempPath;
  }
  if (ok && request.verify) {
    PhaseClock clock(&stats->seconds[static_cast<int>(BuildPhase::Verifying)]);
    report(request, BuildPhase::Verifying, 0, v.fresh.size);
    VerifyResult result;
    ok = verifyPatch(tempPath, request.oldPath, request.newPath, tempDir,
                     &result, error);
    if (ok && (!result.reproduced || !result.engineSucceeded)) {
      ok = false;
      *error = "internal error: the patch does not reproduce NEW";
      if (!result.engineMessages.empty()) {
        *error += "; the engine said: " + result.engineMessages;
      }
    }
    stats->verified = ok;
  }
  if (ok && std::rename(tempPath.c_str(), request.outputPath.c_str()) != 0) {
    ok = false;
    *error = "cannot write " + request.outputPath + ": " + std::strerror(errno);
  }
  if (!ok) unlink(tempPath.c_str());
  return ok;
}
