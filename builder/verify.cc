#include "builder/verify.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "builder/files.h"
#include "builder/match.h"
#include "engine/patcher.h"
#include "frontend/report.h"
#include "platform/platform.h"

namespace {

void collect(const wchar_t* text, size_t length, void* context) {
  std::string* out = static_cast<std::string*>(context);
  for (size_t i = 0; i < length; ++i) {
    wchar_t c = text[i];
    out->push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c)
                   : c == L'\n'         ? '\n'
                                        : '?');
  }
}

}  // namespace

std::wstring enginePath(const std::string& path) {
  char* argv[2] = {const_cast<char*>(path.c_str()), nullptr};
  int count = 0;
  wchar_t** wide = platform::commandLineArguments(1, argv, &count);
  if (wide == nullptr || count != 1) {
    if (wide != nullptr) platform::freeArguments(wide);
    return std::wstring();
  }
  std::wstring out = wide[0];
  platform::freeArguments(wide);
  return out;
}

bool verifyPatch(const std::string& patchPath, const std::string& oldPath,
                 const std::string& newPath, const std::string& directory,
                 VerifyResult* result, std::string* error) {
  *result = VerifyResult{};
  FileView old;
  FileView fresh;
  if (!openView(oldPath, &old, error)) return false;
  if (!openView(newPath, &fresh, error)) {
    closeView(&old);
    return false;
  }
  std::string copyPath;
  int fd = createTempFile(directory, "patchmaker-verify", &copyPath);
  if (fd < 0) {
    *error = "cannot create a temporary file in " + directory;
    closeView(&old);
    closeView(&fresh);
    return false;
  }
  bool ok = copyToDescriptor(old, fd, error);
  closeView(&old);
  if (ok) {
    Patcher patcher;
    patcher.setTargetPath(enginePath(copyPath));
    patcher.setContainerPath(enginePath(patchPath));
    setReportSink(collect, &result->engineMessages);
    result->engineSucceeded = patcher.apply();
    setReportSink(nullptr, nullptr);
    result->alreadyPatched =
        result->engineMessages.find("was already patched") != std::string::npos;
    // Compare what the engine left with NEW.
    constexpr uint64_t kPiece = 1u << 20;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kPiece]);
    off_t size = lseek(fd, 0, SEEK_END);
    if (!buffer) {
      *error = "not enough memory";
      ok = false;
    } else if (size >= 0 && static_cast<uint64_t>(size) == fresh.size) {
      result->reproduced = true;
      for (uint64_t at = 0; at < fresh.size && result->reproduced;
           at += kPiece) {
        uint64_t n = std::min<uint64_t>(kPiece, fresh.size - at);
        if (!preadAll(fd, buffer.get(), n, at)) {
          *error = "cannot read a temporary file";
          ok = false;
          result->reproduced = false;
          break;
        }
        result->reproduced =
            commonPrefix(buffer.get(), fresh.data + at, n) == n;
        releaseView(fresh, at, n);
      }
    }
  }
  close(fd);
  unlink(copyPath.c_str());
  closeView(&fresh);
  return ok;
}
