// Temporary directories and whole-file helpers for tests on real files.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/container_builder.h"

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const Bytes& data);
Bytes readFile(const std::string& path);
void appendFile(const std::string& path, const Bytes& data);
uint64_t fileSize(const std::string& path);
// Sets the file's size without writing data: sparse where the system allows.
void setFileSize(const std::string& path, uint64_t size);
void writeAt(const std::string& path, uint64_t offset, const Bytes& data);
Bytes readAt(const std::string& path, uint64_t offset, size_t count);
// A wide path for the engine, byte for byte (tests use ASCII paths).
std::wstring widen(const std::string& text);
// Deterministic pseudo-random bytes.
Bytes patternBytes(size_t count, uint32_t seed);
