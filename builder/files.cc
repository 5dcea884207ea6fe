#include "builder/files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool isZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

}  // namespace

bool openView(const std::string& path, FileView* view, std::string* error) {
  *view = FileView{};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = systemError("cannot open", path);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = systemError("cannot read", path);
    close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "not a regular file: " + path;
    close(fd);
    return false;
  }
  view->size = static_cast<uint64_t>(st.st_size);
  if (view->size > 0) {
    void* p = mmap(nullptr, static_cast<size_t>(view->size), PROT_READ,
                   MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      *error = systemError("cannot read", path);
      close(fd);
      *view = FileView{};
      return false;
    }
    view->data = static_cast<const uint8_t*>(p);
  }
  close(fd);
  return true;
}

void closeView(FileView* view) {
  if (view->data != nullptr) {
    munmap(const_cast<uint8_t*>(view->data), static_cast<size_t>(view->size));
  }
  *view = FileView{};
}

void releaseView(const FileView& view, uint64_t offset, uint64_t length) {
  if (view.data == nullptr || offset >= view.size) return;
  long page = sysconf(_SC_PAGESIZE);
  uint64_t pageSize = page > 0 ? static_cast<uint64_t>(page) : 4096;
  uint64_t start = (offset + pageSize - 1) / pageSize * pageSize;
  uint64_t end = length > view.size - offset ? view.size : offset + length;
  end = end / pageSize * pageSize;
  if (end <= start) return;
  madvise(const_cast<uint8_t*>(view.data) + start,
          static_cast<size_t>(end - start), MADV_DONTNEED);
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int createTempFile(const std::string& directory, const std::string& stem,
                   std::string* path) {
  std::string pattern = directory + "/." + stem + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return -1;
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  *path = name.data();
  return fd;
}

bool preadAll(int fd, uint8_t* buffer, uint64_t count, uint64_t offset) {
  while (count > 0) {
    ssize_t n = pread(fd, buffer, static_cast<size_t>(count),
                      static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    count -= static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool pwriteAll(int fd, const uint8_t* buffer, uint64_t count,
               uint64_t offset) {
  while (count > 0) {
    ssize_t n = pwrite(fd, buffer, static_cast<size_t>(count),
                       static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    count -= static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool copyToDescriptor(const FileView& source, int out, std::string* error) {
  constexpr uint64_t kPiece = 1u << 20;
  for (uint64_t at = 0; at < source.size; at += kPiece) {
    uint64_t n = source.size - at < kPiece ? source.size - at : kPiece;
    const uint8_t* p = source.data + at;
    if (!isZero(p, static_cast<size_t>(n)) && !pwriteAll(out, p, n, at)) {
      *error = std::string("cannot write a temporary file: ") +
               std::strerror(errno);
      return false;
    }
    releaseView(source, at, n);
  }
  if (ftruncate(out, static_cast<off_t>(source.size)) != 0) {
    *error =
        std::string("cannot write a temporary file: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool isReadableFile(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = systemError("cannot open", path);
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) *error = "not a regular file: " + path;
  close(fd);
  return ok;
}
