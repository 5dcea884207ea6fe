// File access for the builder: read-only mappings of the inputs, temporary
// files, and sparse-aware copies.
#pragma once

#include <cstdint>
#include <string>

// A read-only mapping of a whole file; data is null for an empty file.
struct FileView {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

bool openView(const std::string& path, FileView* view, std::string* error);
void closeView(FileView* view);
// Drops the mapped pages of [offset, offset + length) from the process; they
// come back from the page cache when touched again. Keeps resident memory
// bounded while very large inputs are scanned.
void releaseView(const FileView& view, uint64_t offset, uint64_t length);

// The directory part of path ("." when it has none).
std::string directoryOf(const std::string& path);

// Creates an empty file named after pattern's directory with a unique name;
// returns its descriptor or -1.
int createTempFile(const std::string& directory, const std::string& stem,
                   std::string* path);

// Copies length bytes of source (from offset 0) to the start of descriptor
// out, leaving holes where the source holds whole chunks of zeros.
bool copyToDescriptor(const FileView& source, int out, std::string* error);

bool preadAll(int fd, uint8_t* buffer, uint64_t count, uint64_t offset);
bool pwriteAll(int fd, const uint8_t* buffer, uint64_t count, uint64_t offset);

// True when the two paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);
bool isReadableFile(const std::string& path, std::string* error);
