// POSIX side of the platform layer. Wide strings hold one character per
// wchar_t; a byte b that does not decode in the locale's encoding is kept as
// the lone surrogate U+DC00 + b (U+DC80..U+DCFF for the bytes from 0x80 up),
// so that every file name the shell can pass survives the round trip back to
// bytes.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"

static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace platform {
namespace {

constexpr wchar_t kEscapeBase = 0xDC00;

bool isEscape(wchar_t c) { return c >= 0xDC00 && c <= 0xDCFF; }

std::wstring decodeLossless(const char* text, size_t length) {
  std::wstring out;
  out.reserve(length);
  std::mbstate_t state{};
  size_t i = 0;
  while (i < length) {
    wchar_t c = 0;
    size_t n = std::mbrtowc(&c, text + i, length - i, &state);
    if (n == 0) n = 1;  // an embedded NUL, kept as it is
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) ||
        isEscape(c)) {
      // An escape value that decoded from real bytes is escaped byte by byte
      // too, so that encoding stays the exact inverse.
      out.push_back(kEscapeBase + static_cast<unsigned char>(text[i]));
      state = std::mbstate_t{};
      ++i;
      continue;
    }
    out.push_back(c);
    i += n;
  }
  return out;
}

// Exact inverse of decodeLossless; false when a character has no encoding.
bool encodeLossless(const std::wstring& text, std::string* out) {
  out->clear();
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (wchar_t c : text) {
    if (isEscape(c)) {
      out->push_back(static_cast<char>(c - kEscapeBase));
      continue;
    }
    size_t n = std::wcrtomb(bytes, c, &state);
    if (n == static_cast<size_t>(-1)) return false;
    out->append(bytes, n);
  }
  return true;
}

// Display encoding: anything without an encoding becomes '?', one per UTF-16
// code unit the character would take, as on Windows.
std::string encodeForDisplay(const wchar_t* text, size_t length) {
  std::string out;
  out.reserve(length);
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (size_t i = 0; i < length; ++i) {
    wchar_t c = text[i];
    size_t n = isEscape(c) ? static_cast<size_t>(-1)
                           : std::wcrtomb(bytes, c, &state);
    if (n == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};
      out.append(static_cast<uint32_t>(c) > 0xFFFF ? "??" : "?");
      continue;
    }
    out.append(bytes, n);
  }
  return out;
}

bool iconvToWide(const char* charset, const char* text, std::wstring* out) {
  iconv_t cd = iconv_open("WCHAR_T", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  size_t inLeft = std::strlen(text);
  char* in = const_cast<char*>(text);
  std::vector<wchar_t> buffer(inLeft + 1);
  out->clear();
  bool ok = true;
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(buffer.data());
    size_t outLeft = buffer.size() * sizeof(wchar_t);
    size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out->append(buffer.data(),
                reinterpret_cast<wchar_t*>(outPtr) - buffer.data());
    if (r != static_cast<size_t>(-1)) break;
    if (errno == EILSEQ || errno == EINVAL) {
      out->push_back(0xFFFD);  // the platform's default character
      ++in;
      --inLeft;
    } else if (errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

const bool kBackslashIsSeparator = false;

void initializeProcess() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  signal(SIGPIPE, SIG_IGN);
}

wchar_t** commandLineArguments(int argc, char** argv, int* count) {
  if (argc < 0 || argv == nullptr) return nullptr;
  auto** out = new wchar_t*[static_cast<size_t>(argc) + 1];
  for (int i = 0; i < argc; ++i) {
    std::wstring arg = decodeLossless(argv[i], std::strlen(argv[i]));
    out[i] = new wchar_t[arg.size() + 1];
    std::wmemcpy(out[i], arg.c_str(), arg.size() + 1);
  }
  out[argc] = nullptr;
  *count = argc;
  return out;
}

void freeArguments(wchar_t** arguments) {
  for (wchar_t** p = arguments; *p != nullptr; ++p) delete[] *p;
  delete[] arguments;
}

size_t moduleFileName(wchar_t* buffer, size_t capacity) {
  if (capacity == 0) return 0;
  char link[4 * PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", link, sizeof link);
  if (n <= 0) return 0;
  std::wstring path = decodeLossless(link, static_cast<size_t>(n));
  size_t kept = path.size() < capacity ? path.size() : capacity - 1;
  std::wmemcpy(buffer, path.data(), kept);
  buffer[kept] = L'\0';
  return path.size() < capacity ? kept : capacity;
}

void showMessageBox(const wchar_t* text) {
  // No window system here: the controlling terminal, if any, sees the text.
  int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  std::string line = encodeForDisplay(text, std::wcslen(text));
  line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
}

int multiByteToWideChar(unsigned codePage, const char* text, wchar_t* output,
                        int capacity) {
  const char* charset =
      codePage == kAnsiCodePage ? nl_langinfo(CODESET)
                                : (codePage == 936 ? "CP936" : nullptr);
  std::wstring wide;
  if (charset == nullptr || !iconvToWide(charset, text, &wide)) return 0;
  if (wide.size() >= static_cast<size_t>(INT_MAX)) return 0;
  int needed = static_cast<int>(wide.size()) + 1;
  if (output == nullptr) return needed;
  if (capacity < needed) return 0;
  std::wmemcpy(output, wide.c_str(), wide.size() + 1);
  return needed;
}

void writeStandardOutput(const wchar_t* text, size_t length) {
  // Encoded piece by piece on the stack, not through encodeForDisplay: a
  // diagnostic may have to be printed when no memory is left.
  char piece[256];
  size_t used = 0;
  std::mbstate_t state{};
  for (size_t i = 0; i < length; ++i) {
    if (used > sizeof piece - MB_LEN_MAX - 2) {
      std::fwrite(piece, 1, used, stdout);
      used = 0;
    }
    wchar_t c = text[i];
    size_t n = isEscape(c) ? static_cast<size_t>(-1)
                           : std::wcrtomb(piece + used, c, &state);
    if (n == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};
      piece[used++] = '?';
      if (static_cast<uint32_t>(c) > 0xFFFF) piece[used++] = '?';
      continue;
    }
    used += n;
  }
  std::fwrite(piece, 1, used, stdout);
  // A terminal sees each line at once; files and pipes keep stdio's buffer.
  if (isatty(fileno(stdout))) std::fflush(stdout);
}

FILE* openStream(const std::wstring& path, const char* mode) {
  std::string bytes;
  if (!encodeLossless(path, &bytes) || bytes.find('\0') != std::string::npos) {
    errno = ENOENT;
    return nullptr;
  }
  return std::fopen(bytes.c_str(), mode);
}

bool seekStream(FILE* stream, int64_t offset, int origin) {
  return fseeko(stream, static_cast<off_t>(offset), origin) == 0;
}

int64_t tellStream(FILE* stream) { return ftello(stream); }

int streamDescriptor(FILE* stream) { return stream ? fileno(stream) : -1; }

bool resizeDescriptor(int descriptor, int64_t size) {
  return ftruncate(descriptor, static_cast<off_t>(size)) == 0;
}

}  // namespace platform
