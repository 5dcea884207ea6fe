// Windows side of the platform layer: the Win32 and msvcrt interfaces the
// contract in platform.h is named after, called as they are. Positions and
// sizes go through the 64-bit variants, so a 32-bit build patches targets
// beyond 4 GiB.
#include <windows.h>
#include <shellapi.h>

#include <io.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

// The console behind standard output, or null when it goes to a file or a
// pipe (or nowhere).
HANDLE standardOutputConsole() {
  int descriptor = _fileno(stdout);
  if (descriptor < 0) return nullptr;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return nullptr;
  }
  return handle;
}

// Text in the ANSI code page. Flags 0 let the system pick a best-fit
// look-alike or '?' for what the code page lacks, one code unit at a time, so
// a message is never cut short by a character it cannot show.
std::string toAnsi(const wchar_t* text, size_t length) {
  std::string out;
  if (length == 0 || length > static_cast<size_t>(INT_MAX)) return out;
  int count = static_cast<int>(length);
  int needed =
      WideCharToMultiByte(CP_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return out;
  out.resize(static_cast<size_t>(needed));
  int written = WideCharToMultiByte(CP_ACP, 0, text, count, &out[0], needed,
                                    nullptr, nullptr);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

// A console shows the ANSI text as the console's own code page would have it:
// back to UTF-16 from the ANSI code page and written as such, so each
// character reads the same whatever code page the console uses.
void writeConsole(HANDLE console, const std::string& ansi) {
  if (ansi.empty() || ansi.size() > static_cast<size_t>(INT_MAX)) return;
  int count = static_cast<int>(ansi.size());
  int needed = MultiByteToWideChar(CP_ACP, 0, ansi.data(), count, nullptr, 0);
  if (needed <= 0) return;
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  needed = MultiByteToWideChar(CP_ACP, 0, ansi.data(), count, &wide[0], needed);
  const wchar_t* p = wide.data();
  DWORD left = needed > 0 ? static_cast<DWORD>(needed) : 0;
  while (left > 0) {
    DWORD done = 0;
    if (!WriteConsoleW(console, p, left, &done, nullptr) || done == 0) return;
    p += done;
    left -= done;
  }
}

}  // namespace

const bool kBackslashIsSeparator = true;

// Nothing to guard: the CRT keeps descriptors 0 to 2 for the standard
// streams even when they have no handle, so no file opened later can take
// their place, and a pipe nobody reads fails the write without a signal.
void initializeProcess() {}

wchar_t** commandLineArguments(int, char**, int* count) {
  return CommandLineToArgvW(GetCommandLineW(), count);
}

void freeArguments(wchar_t** arguments) { LocalFree(arguments); }

size_t moduleFileName(wchar_t* buffer, size_t capacity) {
  if (capacity == 0) return 0;
  DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  DWORD n = GetModuleFileNameW(nullptr, buffer, room);
  // Older systems leave a cut path unterminated.
  if (n >= room) {
    buffer[room - 1] = L'\0';
    return room;
  }
  return n;
}

void showMessageBox(const wchar_t* text) {
  MessageBoxW(nullptr, text, L"", MB_OK);
}

int multiByteToWideChar(unsigned codePage, const char* text, wchar_t* output,
                        int capacity) {
  return MultiByteToWideChar(codePage, 0, text, -1, output,
                             output == nullptr ? 0 : capacity);
}

void writeStandardOutput(const wchar_t* text, size_t length) {
  std::string ansi = toAnsi(text, length);
  if (HANDLE console = standardOutputConsole()) {
    // On screen before the call returns, so before any outcome box.
    std::fflush(stdout);
    writeConsole(console, ansi);
    return;
  }
  // A file or a pipe: stdout's text mode turns each "\n" into 0D 0A, and its
  // buffer reaches the file when it fills or the process ends.
  std::fwrite(ansi.data(), 1, ansi.size(), stdout);
}

FILE* openStream(const std::wstring& path, const char* mode) {
  if (path.find(L'\0') != std::wstring::npos) {
    errno = ENOENT;
    return nullptr;
  }
  wchar_t wideMode[8];
  size_t i = 0;
  for (; mode[i] != '\0' && i + 1 < sizeof wideMode / sizeof wideMode[0]; ++i) {
    wideMode[i] = static_cast<unsigned char>(mode[i]);
  }
  wideMode[i] = L'\0';
  // _wfopen shares the file for reading and writing with everyone.
  return _wfopen(path.c_str(), wideMode);
}

bool seekStream(FILE* stream, int64_t offset, int origin) {
  return _fseeki64(stream, offset, origin) == 0;
}

int64_t tellStream(FILE* stream) { return _ftelli64(stream); }

int streamDescriptor(FILE* stream) { return stream ? _fileno(stream) : -1; }

bool resizeDescriptor(int descriptor, int64_t size) {
  return _chsize_s(descriptor, size) == 0;
}

}  // namespace platform
