// One patching run: opens the target and the file carrying the container,
// detects an already patched target and otherwise executes the command stream
// on the target in place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/container.h"
#include "engine/writebatch.h"

class Patcher {
 public:
  Patcher() = default;
  Patcher(const Patcher&) = delete;
  Patcher& operator=(const Patcher&) = delete;

  void setTargetPath(const std::wstring& path);
  void setContainerPath(const std::wstring& path);
  // True when the target was patched or found already patched. Both files
  // are closed when it returns; every diagnostic has been printed.
  bool apply();

 private:
  void computeVersion();
  bool locateContainer(int64_t* headerOffset);
  bool rewindContainer(int64_t headerOffset);
  bool skipContainer(uint64_t count);
  bool runCommands();
  bool executeWrite(uint8_t op);
  bool writeAt(bool absolute, uint64_t offset, uint32_t length,
               const uint8_t* data);
  bool readContainer(void* bytes, size_t count);
  bool isAlreadyPatched();
  bool moveBlock(uint64_t source, uint64_t destination, uint64_t length);
  bool fillBlock(uint64_t offset, uint64_t length, uint8_t value);
  bool resizeTarget(uint64_t size);
  bool flushWrites();
  bool closeFiles();  // false when the target's last data did not reach it
  bool failTruncated();
  bool failWrite();
  bool failOutOfMemory();

  std::wstring targetPath;
  std::wstring containerPath;
  FILE* target = nullptr;
  FILE* container = nullptr;
  PatchHeader header{};
  uint32_t version = 0;
  // Command stream bytes not yet read: the stream ends where the trailer
  // begins, so a stream without End never reads the trailer as commands.
  uint64_t streamLeft = 0;
  uint64_t streamSize = 0;
  // Writes executed but not yet passed to the target stream.
  WriteBatch pendingWrites;

  // Carries each Write's data from the container to the target.
  static uint8_t writeBuffer[kWriteBufferSize];
};

// Opens path as a buffered stream; on failure, with reportFailure, prints the
// open-failure line.
FILE* openFile(const std::wstring& path, const char* mode, bool reportFailure);
