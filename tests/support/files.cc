#include "tests/support/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/patcher-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), data.size());
  if (!out) throw std::runtime_error("cannot write " + path);
}

void appendFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(data.data()), data.size());
  if (!out) throw std::runtime_error("cannot append to " + path);
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t fileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return static_cast<uint64_t>(st.st_size);
}

void setFileSize(const std::string& path, uint64_t size) {
  if (truncate(path.c_str(), static_cast<off_t>(size)) != 0) {
    throw std::runtime_error("cannot resize " + path);
  }
}

void writeAt(const std::string& path, uint64_t offset, const Bytes& data) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  ssize_t n = pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
  close(fd);
  if (n != static_cast<ssize_t>(data.size())) throw std::runtime_error("pwrite failed");
}

Bytes readAt(const std::string& path, uint64_t offset, size_t count) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  Bytes out(count);
  ssize_t n = pread(fd, out.data(), count, static_cast<off_t>(offset));
  close(fd);
  if (n < 0) throw std::runtime_error("pread failed");
  out.resize(static_cast<size_t>(n));
  return out;
}

std::wstring widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

Bytes patternBytes(size_t count, uint32_t seed) {
  Bytes out(count);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}
