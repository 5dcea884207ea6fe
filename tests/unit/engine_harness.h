// Runs the engine in-process on real files: a target and a file that holds
// nothing but a container.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/patcher.h"
#include "frontend/report.h"
#include "tests/support/container_builder.h"
#include "tests/support/files.h"

struct ApplyOutcome {
  bool done = false;
  std::wstring messages;
};

class EngineTest : public ::testing::Test {
 protected:
  ApplyOutcome apply(const Bytes& containerFile) {
    writeFile(containerPath, containerFile);
    ApplyOutcome outcome;
    setReportSink(collect, &outcome.messages);
    Patcher patcher;
    patcher.setTargetPath(widen(targetPath));
    patcher.setContainerPath(widen(containerPath));
    outcome.done = patcher.apply();
    setReportSink(nullptr, nullptr);
    return outcome;
  }
  ApplyOutcome apply(const ContainerBuilder& builder) {
    return apply(builder.build());
  }

  std::wstring wide(const std::string& text) const { return widen(text); }
  std::wstring writeFailedLine() const {
    return L"ERROR: write file " + widen(targetPath) + L" failed\n\n";
  }
  std::wstring truncatedLine() const {
    return L"ERROR: patch file " + widen(containerPath) + L" is truncated\n\n";
  }

  TempDir dir;
  std::string targetPath = dir.file("target.bin");
  std::string containerPath = dir.file("patch.bin");

 private:
  static void collect(const wchar_t* text, size_t length, void* context) {
    static_cast<std::wstring*>(context)->append(text, length);
  }
};

// The byte a test writes with a relative step-0 Write to show where the
// previous command left the target position.
inline const Bytes kMarker = {0xE7};
