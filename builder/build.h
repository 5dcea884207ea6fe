// Building a self-applying patch: the stub with a container appended that
// turns OLD into NEW in place.
#pragma once

#include <cstdint>
#include <string>

#include "builder/emit.h"
#include "builder/order.h"

enum class IndexChoice { Automatic, SuffixArray32, SuffixArray64, Blocks };

// Phases reported to a progress callback.
enum class BuildPhase { Indexing, Matching, Ordering, Replaying, Writing,
                        Verifying };
using BuildProgress = void (*)(BuildPhase phase, uint64_t done, uint64_t total,
                               void* context);

inline constexpr uint64_t kDefaultMemoryLimit = uint64_t{2} << 30;

struct BuildRequest {
  std::string oldPath;
  std::string newPath;
  std::string stubPath;
  std::string outputPath;
  uint64_t memoryLimit = kDefaultMemoryLimit;
  bool verify = true;
  IndexChoice index = IndexChoice::Automatic;
  // Where the replay of large files and the verification copy go; empty
  // means the system's temporary directory.
  std::string tempDirectory;
  BuildProgress progress = nullptr;
  void* progressContext = nullptr;
};

struct BuildStats {
  bool identical = false;   // OLD = NEW
  uint64_t checkRegions = 0;
  const char* index = "";   // which index matched
  uint64_t blockSize = 0;
  // NEW's share, in 1/65536, that the block sample found differing; 65536
  // when not sampled.
  uint64_t estimatedShare = 65536;
  bool inputsWhole = true;  // false when pages are dropped behind the scan
  uint64_t copies = 0;      // incl. unchanged stretches
  uint64_t copiedBytes = 0;
  OrderStats order;
  bool replayOnFile = false;
  CommandCounts commands;
  uint64_t stubSize = 0;
  uint64_t containerSize = 0;
  bool verified = false;
  double seconds[6] = {};  // per BuildPhase
};

// Writes PATCH through a temporary file beside it, renamed into place only
// when complete (and, unless disabled, verified). On failure error holds one
// message and no PATCH was written.
bool buildPatch(const BuildRequest& request, BuildStats* stats,
                std::string* error);

// Whether the file's last bytes lead to a container, as the patcher finds
// one.
bool carriesContainer(const uint8_t* data, uint64_t size);
