#include "frontend/report.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <vector>

#include "platform/platform.h"

const char kDoneText[] = "\xCD\xEA\xB3\xC9";
const char kFailedText[] = "\xCA\xA7\xB0\xDC";

namespace {

char formatBuffer[kFormatBufferSize];
std::wstring selfPathCache;
ReportSink reportSink = nullptr;
void* reportSinkContext = nullptr;

// The longest message accepted; paths are at most a few thousand characters.
constexpr size_t kMaxMessageSize = size_t{1} << 22;

}  // namespace

int reportError(const wchar_t* format, ...) {
  std::vector<wchar_t> buffer(1024);
  for (;;) {
    va_list args;
    va_start(args, format);
    int n = std::vswprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    // Too small a buffer gives -1 (ISO) or the length needed (mingw).
    if (n >= 0 && static_cast<size_t>(n) < buffer.size()) {
      if (reportSink != nullptr) {
        reportSink(buffer.data(), static_cast<size_t>(n), reportSinkContext);
      } else {
        platform::writeStandardOutput(buffer.data(), static_cast<size_t>(n));
      }
      return n;
    }
    // Retry with more room.
    if (buffer.size() >= kMaxMessageSize) return -1;
    buffer.resize(buffer.size() * 2);
  }
}

void setReportSink(ReportSink sink, void* context) {
  reportSink = sink;
  reportSinkContext = context;
}

std::string formatNarrow(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(formatBuffer, kFormatBufferSize, format, args);
  va_end(args);
  return std::string(formatBuffer);
}

std::wstring toWideCodePage(const std::string& text, unsigned codePage) {
  // A conversion the platform cannot make yields an empty text.
  int n = platform::multiByteToWideChar(codePage, text.c_str(), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::unique_ptr<wchar_t[]> buffer(new wchar_t[static_cast<size_t>(n)]);
  if (platform::multiByteToWideChar(codePage, text.c_str(), buffer.get(), n) <=
      0) {
    return std::wstring();
  }
  return std::wstring(buffer.get());
}

std::wstring toWide(const std::string& text) {
  return toWideCodePage(text, platform::kAnsiCodePage);
}

const std::wstring& selfPath() {
  if (!selfPathCache.empty()) return selfPathCache;
  selfPathCache.assign(kSelfPathCapacity, L'\0');
  size_t n = platform::moduleFileName(&selfPathCache[0], kSelfPathCapacity);
  selfPathCache.resize(n);
  if (platform::kBackslashIsSeparator) {
    for (wchar_t& c : selfPathCache) {
      if (c == L'\\') c = L'/';
    }
  }
  return selfPathCache;
}
