// The operating-system layer: the only code that knows which system it runs
// on. platform_windows.cc and platform_posix.cc implement the same functions;
// each is named after the Windows interface whose contract it keeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// First call of the process. POSIX: gives closed standard descriptors to
// /dev/null, so that no file opened later takes their place and receives
// diagnostics, and lets a closed pipe on standard output lose the text
// instead of ending the process.
void initializeProcess();

// GetCommandLineW + CommandLineToArgvW: the arguments as wide strings, element
// 0 the program. POSIX decodes main's argv; Windows ignores it. Null when the
// command line cannot be split.
wchar_t** commandLineArguments(int argc, char** argv, int* count);
// LocalFree of that array.
void freeArguments(wchar_t** arguments);

// GetModuleFileNameW(NULL, buffer, capacity): the running executable's path.
// Returns the characters written without the terminator, 0 on failure; a path
// that does not fit is cut to capacity - 1 characters and capacity returned.
size_t moduleFileName(wchar_t* buffer, size_t capacity);

// Whether '\' separates path components here, so that the executable's path
// may be shown with '/' without naming another file.
extern const bool kBackslashIsSeparator;

// MessageBoxW(NULL, text, L"", MB_OK): returns when the user dismisses it.
void showMessageBox(const wchar_t* text);

// MultiByteToWideChar(codePage, 0, text, -1, output, capacity). With no output
// it returns the code units needed, terminator included; 0 on failure.
inline constexpr unsigned kAnsiCodePage = 0;  // CP_ACP
int multiByteToWideChar(unsigned codePage, const char* text, wchar_t* output,
                        int capacity);

// One diagnostic, already formatted, to standard output in the encoding of
// the current locale; characters it cannot represent become '?'.
void writeStandardOutput(const wchar_t* text, size_t length);

// Buffered streams by wide path, without sharing restrictions.
FILE* openStream(const std::wstring& path, const char* mode);
bool seekStream(FILE* stream, int64_t offset, int origin);
int64_t tellStream(FILE* stream);  // -1 on failure
int streamDescriptor(FILE* stream);  // -1 when there is none
// Makes the file exactly size bytes (zeros appended or the tail dropped),
// keeping the descriptor's position.
bool resizeDescriptor(int descriptor, int64_t size);

}  // namespace platform
