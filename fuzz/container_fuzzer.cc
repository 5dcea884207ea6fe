// One patching run per input, on real files, against an independent model of
// what the run must do.
//
// Input: byte 0 holds flags (bit 0: the harness appends a trailer that fits
// the rest, so mutations reach deep into the command stream); bytes 1-2 the
// target's length L (u16, cut to what remains); then the L target bytes; the
// rest is the container file, whole or, with bit 0, header and stream.
//
// What is checked for every input:
// - apply returns, leaves no descriptor open and never writes the container;
// - the outcome (result and its one line) is the one the model predicts:
//   true only after End or a check block whose regions all match;
// - the target's size never exceeds the largest position that an executed
//   command names, nor the initial size when it names none;
// - without a fault the target equals the model byte for byte; with a fault
//   (a position at or past the file size limit below) every byte outside the
//   faulting command's range is what the commands before it left.
//
// Huge sparse sizes are bounded here, not in the product: the process runs
// under RLIMIT_FSIZE, so writes at or past kFileSizeLimit fail like a full
// disk would, and the run must then end with one line and result false.
#include <dirent.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/patcher.h"
#include "frontend/report.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Above two transfer chunks, so that multi-piece Moves and Fills run, and
// not a multiple of one, so that the limit cuts a piece.
constexpr uint64_t kFileSizeLimit = 2 * 0x100000 + 0x1234;
constexpr uint64_t kChunk = 0x100000;
constexpr uint64_t kTop = 0x7FFFFFFFFFFFFFFFull;  // largest position

std::string workDir;
std::string targetFile;
std::string containerFile;
std::wstring messages;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

uint64_t le(const uint8_t* p, unsigned width) {
  uint64_t v = 0;
  for (unsigned i = width; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

bool writeWhole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

Bytes readWhole(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) fail("cannot stat a file");
  Bytes out(static_cast<size_t>(st.st_size));
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr || std::fread(out.data(), 1, out.size(), f) != out.size()) {
    fail("cannot read back a file");
  }
  std::fclose(f);
  return out;
}

int openDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) fail("cannot list /proc/self/fd");
  int count = 0;
  while (readdir(d) != nullptr) ++count;
  closedir(d);
  return count;
}

void collect(const wchar_t* text, size_t length, void*) { messages.append(text, length); }

bool digestMatches(const Bytes& target, uint64_t offset, uint64_t length,
                   const uint8_t* digest) {
  uint8_t got[32];
  unsigned int size = 0;
  const uint8_t* start = length == 0 ? nullptr : target.data() + offset;
  if (EVP_Digest(start, length, got, &size, EVP_sha256(), nullptr) != 1) {
    fail("EVP_Digest");
  }
  return std::memcmp(got, digest, 32) == 0;
}

// a + b + c, saturating at UINT64_MAX.
uint64_t sum(uint64_t a, uint64_t b, uint64_t c = 0) {
  uint64_t s = a + b;
  if (s < a) return UINT64_MAX;
  uint64_t t = s + c;
  return t < s ? UINT64_MAX : t;
}

enum class Outcome { NotSupported, Version, AlreadyPatched, Unknown, Truncated, Done, Faulted };

// The target as the commands leave it, with the position they leave.
struct Model {
  Bytes data;
  uint64_t position = 0;

  void writeBytes(uint64_t at, const uint8_t* bytes, uint64_t count) {
    if (data.size() < at + count) data.resize(at + count, 0);
    std::memcpy(data.data() + at, bytes, count);
  }
  uint8_t byteAt(uint64_t p) const { return p < data.size() ? data[p] : 0; }
  // count bytes from at; those past the end read as zero.
  Bytes range(uint64_t at, uint64_t count) const {
    Bytes out(count, 0);
    if (at < data.size()) {
      uint64_t held = std::min<uint64_t>(count, data.size() - at);
      std::memcpy(out.data(), data.data() + at, held);
    }
    return out;
  }
};

// What the faulting command may have done before it failed: each byte in
// [start, end) holds either its old value or newBytes[p - start].
struct Fault {
  uint64_t start = 0;
  uint64_t end = 0;
  Bytes newBytes;  // only the part below kFileSizeLimit
};

struct Prediction {
  Outcome outcome = Outcome::NotSupported;
  uint8_t unknownOp = 0;
  Model model;          // final target; with a fault, as it stood before it
  Fault fault;
  Outcome afterFault = Outcome::Done;  // how the rest of the stream ends
  uint8_t afterFaultOp = 0;
  uint64_t namedBound = 0;  // largest end position of an executed command
  std::wstring versionText;  // major.minor.patch in decimal
};

class StreamReader {
 public:
  StreamReader(const uint8_t* bytes, uint64_t size) : bytes_(bytes), size_(size) {}
  bool take(uint64_t count, const uint8_t** out) {
    if (count > size_ - at_) return false;
    *out = bytes_ + at_;
    at_ += count;
    return true;
  }
  void rewind() { at_ = 0; }

 private:
  const uint8_t* bytes_;
  uint64_t size_;
  uint64_t at_ = 0;
};

// Reads the rest of the stream without executing it: how the run would end.
Outcome streamEnding(StreamReader* in, uint8_t* unknownOp) {
  for (;;) {
    const uint8_t* p;
    if (!in->take(1, &p)) return Outcome::Truncated;
    uint8_t op = *p;
    uint64_t fields;
    if ((op & 0xF0) == 0x10) {
      unsigned ow = 1u << ((op >> 1) & 3), lw = 1u << (op & 1);
      const uint8_t* f;
      if (!in->take(ow + lw, &f)) return Outcome::Truncated;
      fields = le(f + ow, lw) + 1;
    } else if (op == 0x00) {
      return Outcome::Done;
    } else if (op == 0x01) {
      fields = 48;
    } else if (op == 0x02) {
      fields = 24;
    } else if (op == 0x03) {
      fields = 17;
    } else if (op == 0x04) {
      fields = 8;
    } else {
      *unknownOp = op;
      return Outcome::Unknown;
    }
    if (!in->take(fields, &p)) return Outcome::Truncated;
  }
}

Prediction predict(const Bytes& target, const Bytes& file) {
  Prediction r;
  r.model.data = target;
  r.namedBound = target.size();
  uint64_t size = file.size();
  if (size < 8) return r;
  uint64_t trailer = le(file.data() + size - 8, 8);
  if (trailer > size || trailer < 16) return r;
  const uint8_t* header = file.data() + (size - trailer);
  if (std::memcmp(header, "3PS\0", 4) != 0) return r;
  uint32_t version = (uint32_t{header[4]} << 16) | (uint32_t{header[5]} << 8) | header[6];
  if (version > 0x010000) {
    r.outcome = Outcome::Version;
    r.versionText = std::to_wstring(header[4]) + L"." + std::to_wstring(header[5]) + L"." +
                    std::to_wstring(header[6]);
    return r;
  }
  uint64_t streamSize = trailer > 24 ? trailer - 24 : 0;
  StreamReader in(header + 16, streamSize);
  Model& m = r.model;

  // Detection over the check block.
  const uint8_t* p;
  if (in.take(1, &p) && *p == 0x01) {
    for (;;) {
      const uint8_t* rec;
      if (!in.take(48, &rec)) break;
      uint64_t offset = le(rec, 8), length = le(rec + 8, 8);
      if (offset > kTop) break;  // cannot be positioned: differs, stays put
      uint64_t tsize = target.size();
      if (length > 0 && (offset >= tsize || length > tsize - offset)) {
        m.position = std::max(offset, tsize);
        break;
      }
      m.position = offset + length;
      if (!digestMatches(target, offset, length, rec + 16)) break;
      if (!in.take(1, &p)) break;
      if (*p != 0x01) {
        r.outcome = Outcome::AlreadyPatched;
        return r;
      }
    }
  }

  // The command loop.
  in.rewind();
  for (;;) {
    if (!in.take(1, &p)) {
      r.outcome = Outcome::Truncated;
      return r;
    }
    uint8_t op = *p;
    const uint8_t* f;
    Fault& fault = r.fault;
    bool faulted = false;
    if ((op & 0xF0) == 0x10) {
      unsigned ow = 1u << ((op >> 1) & 3), lw = 1u << (op & 1);
      if (!in.take(ow + lw, &f)) {
        r.outcome = Outcome::Truncated;
        return r;
      }
      uint64_t offset = le(f, ow);
      uint64_t n = le(f + ow, lw) + 1;
      const uint8_t* bytes;
      if (!in.take(n, &bytes)) {
        r.outcome = Outcome::Truncated;
        return r;
      }
      uint64_t start = (op & 0x08) ? sum(m.position, offset) : offset;
      uint64_t end = sum(start, n);
      r.namedBound = std::max(r.namedBound, std::min(end, kFileSizeLimit));
      if (end > kFileSizeLimit) {
        faulted = true;
        fault.start = start;
        fault.end = end;
        if (start < kFileSizeLimit) fault.newBytes.assign(bytes, bytes + (kFileSizeLimit - start));
      } else {
        m.writeBytes(start, bytes, n);
        m.position = end;
      }
    } else if (op == 0x00) {
      r.outcome = Outcome::Done;
      return r;
    } else if (op == 0x01) {
      if (!in.take(48, &f)) {
        r.outcome = Outcome::Truncated;
        return r;
      }
    } else if (op == 0x02) {
      if (!in.take(24, &f)) {
        r.outcome = Outcome::Truncated;
        return r;
      }
      uint64_t source = le(f, 8), destination = le(f + 8, 8), length = le(f + 16, 8);
      if (source != destination && static_cast<int64_t>(length) > 0) {
        uint64_t end = sum(destination, length);
        r.namedBound = std::max(r.namedBound, std::min(end, kFileSizeLimit));
        Bytes copy = m.range(source, std::min(length, kFileSizeLimit));
        // Every byte read or written must lie below 2^63.
        if (end > kFileSizeLimit || source > kTop || length > kTop - source) {
          faulted = true;
          fault.start = destination;
          fault.end = end;
          if (destination < kFileSizeLimit) {
            uint64_t kept = std::min<uint64_t>(copy.size(), kFileSizeLimit - destination);
            fault.newBytes.assign(copy.begin(), copy.begin() + kept);
          }
        } else {
          m.writeBytes(destination, copy.data(), length);
          uint64_t lowest = (length - 1) % kChunk + 1;
          m.position = source > destination ? end : destination + lowest;
        }
      }
    } else if (op == 0x03) {
      if (!in.take(17, &f)) {
        r.outcome = Outcome::Truncated;
        return r;
      }
      uint64_t offset = le(f, 8), length = le(f + 8, 8);
      uint8_t value = f[16];
      bool empty = static_cast<int64_t>(length) <= 0;
      uint64_t end = empty ? offset : sum(offset, length);
      if (!empty) r.namedBound = std::max(r.namedBound, std::min(end, kFileSizeLimit));
      if (offset > kTop || (!empty && end > kFileSizeLimit)) {
        faulted = true;
        fault.start = offset;
        fault.end = empty ? offset : end;
        if (offset < kFileSizeLimit && !empty) {
          fault.newBytes.assign(std::min(end, kFileSizeLimit) - offset, value);
        }
      } else {
        if (!empty) {
          Bytes bytes(length, value);
          m.writeBytes(offset, bytes.data(), length);
        }
        m.position = end;
      }
    } else if (op == 0x04) {
      if (!in.take(8, &f)) {
        r.outcome = Outcome::Truncated;
        return r;
      }
      uint64_t newSize = le(f, 8);
      r.namedBound = std::max(r.namedBound, std::min(newSize, kFileSizeLimit));
      if (newSize > kFileSizeLimit) {
        faulted = true;
        fault.start = m.data.size();
        fault.end = newSize;
        fault.newBytes.assign(kFileSizeLimit - std::min<uint64_t>(m.data.size(), kFileSizeLimit), 0);
      } else {
        m.data.resize(newSize, 0);
      }
    } else {
      r.outcome = Outcome::Unknown;
      r.unknownOp = op;
      return r;
    }
    if (faulted) {
      r.outcome = Outcome::Faulted;
      r.afterFault = streamEnding(&in, &r.afterFaultOp);
      return r;
    }
  }
}

// Whether every byte of after is what before holds, or, inside the fault's
// range, what the faulting command would have put there. Kept out of the
// coverage feedback and the address checks (the sizes are checked first): a
// per-byte loop over megabytes would slow every run.
__attribute__((no_sanitize("coverage", "address"))) bool onlyFaultRangeChanged(
    const Bytes& before, const Bytes& after, const Fault& f) {
  if (before.size() != after.size()) return false;
  const uint8_t* b = before.data();
  const uint8_t* a = after.data();
  const uint8_t* n = f.newBytes.data();
  uint64_t size = after.size(), newSize = f.newBytes.size();
  for (uint64_t p = 0; p < size; ++p) {
    if (a[p] == b[p]) continue;
    bool inRange = p >= f.start && p < f.end && p - f.start < newSize;
    if (!inRange || a[p] != n[p - f.start]) return false;
  }
  return true;
}

std::wstring unknownLine(uint8_t op) {
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", op);
  return L"ERROR: unknown patch command " + widen(hex) + L"\n\n";
}

void checkRun(const Bytes& target, const Bytes& file, bool done, const Bytes& after) {
  const Prediction r = predict(target, file);
  const std::wstring cpath = widen(containerFile), tpath = widen(targetFile);
  const std::wstring truncated = L"ERROR: patch file " + cpath + L" is truncated\n\n";
  const std::wstring writeFailed = L"ERROR: write file " + tpath + L" failed\n\n";

  check(after.size() <= r.namedBound, "target grew past every position its commands name");
  switch (r.outcome) {
    case Outcome::NotSupported:
      check(!done, "not-supported run reported done");
      check(messages == L"ERROR: not support patch file " + cpath + L"\n\n", "not-supported line");
      check(after == target, "not-supported run changed the target");
      return;
    case Outcome::Version:
      check(!done, "unsupported version reported done");
      check(messages == L"ERROR: not support patch file version " + r.versionText + L"\n\n",
            "version line");
      check(after == target, "unsupported version changed the target");
      return;
    case Outcome::AlreadyPatched:
      check(done, "already patched run reported failed");
      check(messages == L"ERROR: " + tpath + L" was already patched\n\n", "already-patched line");
      check(after == target, "already patched target was changed");
      return;
    case Outcome::Unknown:
      check(!done, "unknown command reported done");
      check(messages == unknownLine(r.unknownOp), "unknown-command line");
      break;
    case Outcome::Truncated:
      check(!done, "truncated stream reported done");
      check(messages == truncated, "truncated line");
      break;
    case Outcome::Done:
      check(done, "complete stream reported failed");
      check(messages.empty(), "complete stream printed a line");
      break;
    case Outcome::Faulted: {
      check(!done, "failed write reported done");
      bool allowed = messages == writeFailed ||
                     (r.afterFault == Outcome::Truncated && messages == truncated) ||
                     (r.afterFault == Outcome::Unknown && messages == unknownLine(r.afterFaultOp));
      check(allowed, "a failed write must end the run with one line");
      const Model& m = r.model;
      const Fault& f = r.fault;
      check(after.size() >= m.data.size(), "a failed command shrank the target");
      uint64_t reach = std::max<uint64_t>(m.data.size(), std::min(f.end, kFileSizeLimit));
      check(after.size() <= reach, "a failed command grew the target past its range");
      if (!onlyFaultRangeChanged(m.range(0, after.size()), after, f)) {
        fail("a failed run wrote a byte that no command applied before the fault names");
      }
      return;
    }
  }
  check(after == r.model.data, "target differs from the model");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One directory per process, there only while an input runs, so that
  // nothing is left behind however libFuzzer ends the process.
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  workDir = std::string(base) + "/container-fuzz-" + std::to_string(getpid());
  targetFile = workDir + "/target.bin";
  containerFile = workDir + "/patch.bin";
  struct rlimit limit = {kFileSizeLimit, kFileSizeLimit};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) fail("setrlimit");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer installs its own SIGXFSZ handler after initialisation; a write
  // past the limit must fail with EFBIG, as on a full disk, not end the run.
  signal(SIGXFSZ, SIG_IGN);
  if (size < 3) return 0;
  bool appendTrailer = (data[0] & 1) != 0;
  size_t targetSize = std::min<size_t>(le(data + 1, 2), size - 3);
  Bytes target(data + 3, data + 3 + targetSize);
  Bytes file(data + 3 + targetSize, data + size);
  if (appendTrailer) {
    uint64_t t = file.size() + 8;
    for (int i = 0; i < 8; ++i) file.push_back(static_cast<uint8_t>(t >> (8 * i)));
  }
  if ((mkdir(workDir.c_str(), 0700) != 0 && errno != EEXIST) ||
      !writeWhole(targetFile, target.data(), target.size()) ||
      !writeWhole(containerFile, file.data(), file.size())) {
    fail("cannot write the input files");
  }

  messages.clear();
  setReportSink(collect, nullptr);
  int before = openDescriptors();
  bool done;
  {
    Patcher patcher;
    patcher.setTargetPath(widen(targetFile));
    patcher.setContainerPath(widen(containerFile));
    done = patcher.apply();
  }
  check(openDescriptors() == before, "a descriptor was left open");
  setReportSink(nullptr, nullptr);

  check(readWhole(containerFile) == file, "the container file was written");
  Bytes after = readWhole(targetFile);
  unlink(targetFile.c_str());
  unlink(containerFile.c_str());
  rmdir(workDir.c_str());
  checkRun(target, file, done, after);
  return 0;
}
