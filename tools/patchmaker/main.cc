// patchmaker: builds, inspects and verifies self-applying patches.
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builder/build.h"
#include "builder/files.h"
#include "builder/inspect.h"
#include "builder/verify.h"

namespace {

constexpr const char kVersion[] = "1.0.0";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: patchmaker create OLD NEW -o PATCH [options]\n"
    "       patchmaker inspect PATCH [--list]\n"
    "       patchmaker verify PATCH OLD NEW\n"
    "       patchmaker --help | --version\n";

const char kHelp[] =
    "\n"
    "create   writes PATCH: the patcher stub with a container appended that\n"
    "         turns OLD into NEW in place. PATCH is written through a\n"
    "         temporary file beside it and verified before it is renamed.\n"
    "  -o PATCH         the patch to write (required)\n"
    "  --stub STUB      the patcher to append to; default patcher.exe, else\n"
    "                   patcher, beside this program\n"
    "  --no-verify      skip applying the patch to a copy of OLD first\n"
    "  --memory LIMIT   memory to use, e.g. 512M or 4G (default 2G); above\n"
    "                   what a suffix array needs, a block index is used\n"
    "  --index KIND     force the index: sa32, sa64 or blocks\n"
    "  --stats          print what was built on standard error\n"
    "inspect  prints the container's header, check block and command counts;\n"
    "  --list           one line per command\n"
    "verify   applies PATCH to a temporary copy of OLD with the patcher's own\n"
    "         engine and compares the result with NEW.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

int usageError(const char* message) {
  std::fprintf(stderr, "patchmaker: %s\n%s", message, kUsage);
  return kExitUsage;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "patchmaker: %s\n", message.c_str());
  return kExitFailure;
}

bool parseSize(const char* text, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || text[0] == '-') return false;
  unsigned shift = 0;
  switch (*end) {
    case '\0': break;
    case 'k': case 'K': shift = 10; ++end; break;
    case 'm': case 'M': shift = 20; ++end; break;
    case 'g': case 'G': shift = 30; ++end; break;
    case 't': case 'T': shift = 40; ++end; break;
    default: return false;
  }
  if (*end == 'i' || *end == 'B') ++end;
  if (*end == 'B') ++end;
  if (*end != '\0' || value > (UINT64_MAX >> shift) || value == 0) return false;
  *out = static_cast<uint64_t>(value) << shift;
  return true;
}

std::string selfDirectory() {
  std::vector<char> link(4096);
  ssize_t n = readlink("/proc/self/exe", link.data(), link.size() - 1);
  if (n <= 0) return ".";
  return directoryOf(std::string(link.data(), static_cast<size_t>(n)));
}

std::string defaultStub() {
  std::string dir = selfDirectory();
  std::string windows = dir + "/patcher.exe";
  if (access(windows.c_str(), F_OK) == 0) return windows;
  return dir + "/patcher";
}

const char* kPhaseNames[] = {"indexing", "matching", "ordering",
                             "replaying", "writing", "verifying"};

void showProgress(BuildPhase phase, uint64_t done, uint64_t total, void*) {
  int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
  std::fprintf(stderr, "\rpatchmaker: %-10s %3d%%",
               kPhaseNames[static_cast<int>(phase)], percent);
  std::fflush(stderr);
}

void printStats(const BuildStats& s) {
  const CommandCounts& c = s.commands;
  std::fprintf(stderr,
               "index: %s", s.index[0] != '\0' ? s.index : "none (OLD = NEW)");
  if (s.blockSize > 0) {
    std::fprintf(stderr, ", blocks of %llu bytes",
                 static_cast<unsigned long long>(s.blockSize));
  }
  if (s.estimatedShare < 65536) {
    std::fprintf(stderr, "; sampled difference %.2f%%",
                 static_cast<double>(s.estimatedShare) * 100.0 / 65536.0);
  }
  std::fprintf(stderr,
               "\ncopies: %llu covering %llu bytes\n"
               "copy-order graph: %llu edges, %llu cuts in %llu rounds, "
               "%llu bytes turned literal, %llu through scratch space\n"
               "replay: %s\n"
               "check regions: %llu\n"
               "moves: %llu (%llu bytes)  fills: %llu (%llu bytes)  "
               "resizes: %llu\n"
               "writes: %llu (%llu relative), %llu data bytes, %llu bytes "
               "encoded\n"
               "stub: %llu bytes  container: %llu bytes\n"
               "seconds: index %.2f  match %.2f  order %.2f  replay %.2f  "
               "write %.2f  verify %.2f\n",
               static_cast<unsigned long long>(s.copies),
               static_cast<unsigned long long>(s.copiedBytes),
               static_cast<unsigned long long>(s.order.edges),
               static_cast<unsigned long long>(s.order.cuts),
               static_cast<unsigned long long>(s.order.rounds),
               static_cast<unsigned long long>(s.order.literalBytes),
               static_cast<unsigned long long>(s.order.scratchBytes),
               s.replayOnFile ? "temporary file" : "memory",
               static_cast<unsigned long long>(s.checkRegions),
               static_cast<unsigned long long>(c.moves),
               static_cast<unsigned long long>(c.movedBytes),
               static_cast<unsigned long long>(c.fills),
               static_cast<unsigned long long>(c.filledBytes),
               static_cast<unsigned long long>(c.resizes),
               static_cast<unsigned long long>(c.writes),
               static_cast<unsigned long long>(c.relativeWrites),
               static_cast<unsigned long long>(c.writtenBytes),
               static_cast<unsigned long long>(c.writeBytes),
               static_cast<unsigned long long>(s.stubSize),
               static_cast<unsigned long long>(s.containerSize), s.seconds[0],
               s.seconds[1], s.seconds[2], s.seconds[3], s.seconds[4],
               s.seconds[5]);
}

int runCreate(int argc, char** argv) {
  BuildRequest request;
  std::vector<std::string> inputs;
  bool haveOutput = false;
  bool haveStub = false;
  bool stats = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    if (arg == "-o" || arg == "--output") {
      const char* v = value("-o");
      if (v == nullptr) return usageError("-o needs a file name");
      request.outputPath = v;
      haveOutput = true;
    } else if (arg == "--stub") {
      const char* v = value("--stub");
      if (v == nullptr) return usageError("--stub needs a file name");
      request.stubPath = v;
      haveStub = true;
    } else if (arg == "--no-verify") {
      request.verify = false;
    } else if (arg == "--stats") {
      stats = true;
    } else if (arg == "--memory") {
      const char* v = value("--memory");
      if (v == nullptr || !parseSize(v, &request.memoryLimit)) {
        return usageError("--memory needs a size such as 512M or 4G");
      }
    } else if (arg == "--index") {
      const char* v = value("--index");
      std::string kind = v != nullptr ? v : "";
      if (kind == "sa32") {
        request.index = IndexChoice::SuffixArray32;
      } else if (kind == "sa64") {
        request.index = IndexChoice::SuffixArray64;
      } else if (kind == "blocks") {
        request.index = IndexChoice::Blocks;
      } else {
        return usageError("--index takes sa32, sa64 or blocks");
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError(("unknown option " + arg).c_str());
    } else {
      inputs.push_back(arg);
    }
  }
  if (inputs.size() != 2) return usageError("create needs OLD and NEW");
  if (!haveOutput || request.outputPath.empty()) {
    return usageError("create needs -o PATCH");
  }
  request.oldPath = inputs[0];
  request.newPath = inputs[1];
  if (!haveStub) request.stubPath = defaultStub();
  std::string error;
  if (!isReadableFile(request.oldPath, &error) ||
      !isReadableFile(request.newPath, &error)) {
    return failure(error);
  }
  if (!isReadableFile(request.stubPath, &error)) {
    return failure(error + (haveStub ? "" : " (the default stub; use --stub)"));
  }
  for (const std::string& in :
       {request.oldPath, request.newPath, request.stubPath}) {
    if (in == request.outputPath || sameFile(in, request.outputPath)) {
      return failure("the output " + request.outputPath +
                     " would overwrite an input");
    }
  }
  bool terminal = isatty(STDERR_FILENO) != 0;
  if (terminal) request.progress = showProgress;
  BuildStats result;
  bool ok = buildPatch(request, &result, &error);
  if (terminal) std::fprintf(stderr, "\r\033[K");
  if (!ok) return failure(error);
  if (result.identical) {
    std::fprintf(stderr,
                 "patchmaker: OLD and NEW are identical; the patch reports "
                 "the file as already patched\n");
  } else if (result.checkRegions == 0) {
    std::fprintf(stderr,
                 "patchmaker: NEW is a prefix of OLD, so the patch cannot "
                 "recognise a patched file; running it again does no harm\n");
  }
  if (stats) printStats(result);
  return 0;
}

std::string hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

void printCommand(const ParsedCommand& c) {
  unsigned long long a = c.a;
  unsigned long long b = c.b;
  unsigned long long cc = c.c;
  unsigned long long at = c.at;
  if (isWriteOp(c.op)) {
    std::printf("%10llu  write    %s %s0x%llx length %llu (op %02X)\n", at,
                (c.op & WriteRelative) ? "relative" : "absolute",
                (c.op & WriteRelative) ? "+" : "", a, b, c.op);
    return;
  }
  switch (c.op) {
    case OpEnd:
      std::printf("%10llu  end\n", at);
      break;
    case OpCheck:
      std::printf("%10llu  check    offset 0x%llx length %llu sha256 %s%s\n",
                  at, a, b, hex(c.digest, 32).c_str(),
                  c.inCheckBlock ? "" : " (outside the check block)");
      break;
    case OpMove:
      std::printf("%10llu  move     0x%llx -> 0x%llx length %llu\n", at, a, b,
                  cc);
      break;
    case OpFill:
      std::printf("%10llu  fill     offset 0x%llx length %llu value 0x%02llx\n",
                  at, a, b, cc);
      break;
    case OpResize:
      std::printf("%10llu  resize   %llu\n", at, a);
      break;
  }
}

int runInspect(int argc, char** argv) {
  std::string path;
  bool list = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--list") {
      list = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError(("unknown option " + arg).c_str());
    } else if (path.empty()) {
      path = arg;
    } else {
      return usageError("inspect takes one PATCH");
    }
  }
  if (path.empty()) return usageError("inspect needs PATCH");
  PatchSummary s;
  std::vector<ParsedCommand> commands;
  std::string error;
  if (!inspectPatch(path, &s, list ? &commands : nullptr, &error)) {
    return failure(error);
  }
  const CommandCounts& n = s.counts;
  auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf("file: %s, %llu bytes\n", path.c_str(), u(s.fileSize));
  std::printf("stub: %llu bytes\n", u(s.stubSize));
  std::printf("container: %llu bytes (header length field %llu)\n",
              u(s.containerSize), u(s.lengthField));
  std::printf("version: %u.%u.%u\n", s.version[0], s.version[1], s.version[2]);
  std::printf("check block: %zu region%s\n", s.checkBlock.size(),
              s.checkBlock.size() == 1 ? "" : "s");
  for (const ParsedCommand& c : s.checkBlock) {
    std::printf("  offset 0x%llx length %llu sha256 %s\n", u(c.a), u(c.b),
                hex(c.digest, 32).c_str());
  }
  std::printf("commands: %llu\n", u(s.commands));
  std::printf("  check   %10llu  %12llu bytes\n", u(n.checks),
              u(n.checks * (1 + 48)));
  std::printf("  move    %10llu  %12llu bytes, moving %llu\n", u(n.moves),
              u(n.moves * 25), u(n.movedBytes));
  std::printf("  fill    %10llu  %12llu bytes, filling %llu\n", u(n.fills),
              u(n.fills * 18), u(n.filledBytes));
  std::printf("  resize  %10llu  %12llu bytes\n", u(n.resizes),
              u(n.resizes * 9));
  std::printf("  write   %10llu  %12llu bytes, %llu relative, %llu data bytes\n",
              u(n.writes), u(n.writeBytes), u(n.relativeWrites),
              u(n.writtenBytes));
  std::printf("  end     %10d  %12d bytes\n", 1, 1);
  if (s.trailingBytes > 0) {
    std::printf("bytes between End and trailer: %llu\n", u(s.trailingBytes));
  }
  if (list) {
    std::printf("\n container  command\n");
    for (const ParsedCommand& c : commands) printCommand(c);
  }
  return 0;
}

int runVerify(int argc, char** argv) {
  std::vector<std::string> paths;
  for (int i = 0; i < argc; ++i) {
    if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return usageError((std::string("unknown option ") + argv[i]).c_str());
    }
    paths.push_back(argv[i]);
  }
  if (paths.size() != 3) return usageError("verify needs PATCH OLD NEW");
  std::string error;
  for (const std::string& p : paths) {
    if (!isReadableFile(p, &error)) return failure(error);
  }
  const char* env = std::getenv("TMPDIR");
  std::string tempDir = env != nullptr && env[0] != '\0' ? env : "/tmp";
  VerifyResult result;
  if (!verifyPatch(paths[0], paths[1], paths[2], tempDir, &result, &error)) {
    return failure(error);
  }
  if (!result.reproduced || !result.engineSucceeded) {
    std::string message = paths[0] + " does not turn " + paths[1] + " into " +
                          paths[2];
    if (!result.engineMessages.empty()) {
      message += "; the engine said: " + result.engineMessages;
      while (!message.empty() && message.back() == '\n') message.pop_back();
    }
    return failure(message);
  }
  std::printf("%s turns %s into %s%s\n", paths[0].c_str(), paths[1].c_str(),
              paths[2].c_str(),
              result.alreadyPatched ? " (it was already patched)" : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  if (argc < 2) return usageError("no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf("%s%s", kUsage, kHelp);
    return 0;
  }
  if (command == "--version") {
    std::printf("patchmaker %s\n", kVersion);
    return 0;
  }
  if (command == "create") return runCreate(argc - 2, argv + 2);
  if (command == "inspect") return runInspect(argc - 2, argv + 2);
  if (command == "verify") return runVerify(argc - 2, argv + 2);
  return usageError(("unknown command " + command).c_str());
}
