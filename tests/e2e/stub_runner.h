// Runs the built patcher stub as a process: a copy of the stub with a
// container appended, given one target. PATCHER_STUB names the stub;
// PATCHER_RUNNER, when set, is the command line of an emulator that runs it
// (blank-separated), and PATCHER_WINDOWS=1 says the stub is a Windows program.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/container_builder.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

class StubRunner {
 public:
  StubRunner();
  bool windows() const { return windows_; }
  const std::string& stub() const { return stub_; }

  // PATCH = stub + container, with its run bit set.
  void makePatch(const std::string& patch, const Bytes& container) const;
  ProcessResult run(const std::string& patch, const std::vector<std::string>& args,
                    ProcessOptions options = {}) const;

  // A file's path as an argument for the stub, and the container path as
  // the stub shows it.
  std::string argument(const std::string& path) const;
  std::string shownContainerPath(const std::string& path) const;
  // Diagnostic text as it reaches a redirected standard output.
  std::string output(const std::string& text) const;

 private:
  std::string stub_;
  std::vector<std::string> runner_;
  bool windows_ = false;
};
