#include "frontend/report.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <iterator>
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

// Short messages are formatted here, without the heap: "out of memory" must
// be printable when there is none left.
wchar_t messageBuffer[1024];

// vswprintf's length, or -1 when the message does not fit: too small a
// buffer gives -1 (ISO) or the length needed (mingw).
int formatMessage(wchar_t* buffer, size_t size, const wchar_t* format,
                  va_list args) {
  int n = std::vswprintf(buffer, size, format, args);
  return n >= 0 && static_cast<size_t>(n) < size ? n : -1;
}

void deliver(const wchar_t* text, int n) {
  if (reportSink != nullptr) {
    reportSink(text, static_cast<size_t>(n), reportSinkContext);
  } else {
    platform::writeStandardOutput(text, static_cast<size_t>(n));
  }
}

}  // namespace

int reportError(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = formatMessage(messageBuffer, std::size(messageBuffer), format, args);
  va_end(args);
  if (n >= 0) {
    deliver(messageBuffer, n);
    return n;
  }
  // Longer messages retry with more room.
  std::vector<wchar_t> buffer(2 * std::size(messageBuffer));
  for (;;) {
    va_start(args, format);
    n = formatMessage(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (n >= 0) {
      deliver(buffer.data(), n);
      return n;
    }
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
