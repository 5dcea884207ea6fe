// The diagnostic channel, text conversion and the executable's own path.
#pragma once

#include <cstddef>
#include <string>

inline constexpr unsigned kOutcomeCodePage = 936;
inline constexpr size_t kSelfPathCapacity = 4096;
inline constexpr size_t kFormatBufferSize = 0x100000;

// "完成" and "失败" as code page 936 bytes, converted only when shown.
extern const char kDoneText[];
extern const char kFailedText[];

// Prints a wide printf-style message on standard output.
int reportError(const wchar_t* format, ...);

// Where reportError's text goes instead of standard output: tools that run the
// engine (and tests) collect the messages themselves. Null restores stdout.
using ReportSink = void (*)(const wchar_t* text, size_t length, void* context);
void setReportSink(ReportSink sink, void* context);
// printf-style narrow formatting through one static buffer; output beyond
// kFormatBufferSize - 1 characters is cut.
// GCC checks against C99 formats ("%hhu"), which vsnprintf follows on every
// target; plain printf would mean the system C library's dialect.
std::string formatNarrow(const char* format, ...)
#if defined(__GNUC__) && !defined(__clang__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::wstring toWide(const std::string& text);  // from the ANSI code page
std::wstring toWideCodePage(const std::string& text, unsigned codePage);
// The executable's path with '/' separators, obtained once per process.
const std::wstring& selfPath();
