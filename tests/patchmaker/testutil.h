// Helpers for the patchmaker tests: scratch directories, files, and the
// real executables run as child processes.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

inline Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Runs program with arguments in a session of its own (so the patcher finds
// no terminal to show its outcome on), collecting both output streams.
inline RunResult runProcess(const std::vector<std::string>& args,
                            const std::string& scratch) {
  RunResult r;
  std::string outPath = scratch + "/.stdout";
  std::string errPath = scratch + "/.stderr";
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    r.exitCode = WEXITSTATUS(status);
  }
  r.out = readText(outPath);
  r.err = readText(errPath);
  return r;
}

class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                          "/patchmaker-test.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    path_ = mkdtemp(name.data()) != nullptr ? name.data() : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) {
      std::string command = "rm -rf '" + path_ + "'";
      if (std::system(command.c_str()) != 0) std::perror("rm");
    }
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Bytes that look a little like a program: runs of text, small integers and
// noise, so that matching has structure to find.
inline Bytes structuredBytes(std::mt19937_64& rng, size_t n) {
  Bytes out;
  out.reserve(n);
  static const char kWords[][8] = {"mov", "call", "ret", "push", "pop",
                                   "jmp", "lea", "add", "xor", "cmp"};
  while (out.size() < n) {
    switch (rng() % 4) {
      case 0: {
        const char* w = kWords[rng() % 10];
        for (const char* p = w; *p; ++p) out.push_back(static_cast<uint8_t>(*p));
        break;
      }
      case 1: {
        uint32_t v = static_cast<uint32_t>(rng() % 4096);
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        break;
      }
      default:
        for (int i = 0; i < 6; ++i) out.push_back(static_cast<uint8_t>(rng()));
        break;
    }
  }
  out.resize(n);
  return out;
}

inline Bytes randomBytes(std::mt19937_64& rng, size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}
