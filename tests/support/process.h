// Runs a program as a child process with captured output, for end-to-end
// tests of the built executables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class StandardOutput { Captured, Closed, BrokenPipe };

struct ProcessOptions {
  std::vector<std::string> environment;  // "NAME=value", added or replacing
  uint64_t fileSizeLimit = 0;            // RLIMIT_FSIZE, SIGXFSZ ignored; 0: none
  uint64_t addressSpaceLimit = 0;        // RLIMIT_AS; 0: none
  bool withTerminal = false;  // a pseudo-terminal as controlling terminal
  StandardOutput standardOutput = StandardOutput::Captured;
};

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
  std::string terminal;  // what the child wrote to its controlling terminal
};

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options = {});
