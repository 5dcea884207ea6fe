// Test helper, run under wine beside a patcher that shows its outcome box:
// prints every visible dialog box on the desktop as one line, its caption
// and the texts of its static controls, tab-separated, in UTF-8. The box's
// text lives in a child control, which the X server knows nothing about.
#include <windows.h>

#include <string>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                              static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                        &out[0], n, nullptr, nullptr);
  }
  return out;
}

std::wstring windowText(HWND window) {
  wchar_t buffer[1024];
  int n = GetWindowTextW(window, buffer, 1024);
  return std::wstring(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

std::wstring className(HWND window) {
  wchar_t buffer[256];
  int n = GetClassNameW(window, buffer, 256);
  return std::wstring(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

BOOL CALLBACK collectStatic(HWND child, LPARAM line) {
  if (_wcsicmp(className(child).c_str(), L"Static") == 0) {
    std::wstring text = windowText(child);
    if (!text.empty()) {
      *reinterpret_cast<std::string*>(line) += "\t" + utf8(text);
    }
  }
  return TRUE;
}

BOOL CALLBACK collectDialog(HWND window, LPARAM lines) {
  if (IsWindowVisible(window) && className(window) == L"#32770") {
    std::string line = utf8(windowText(window));
    EnumChildWindows(window, collectStatic, reinterpret_cast<LPARAM>(&line));
    *reinterpret_cast<std::string*>(lines) += line + "\n";
  }
  return TRUE;
}

}  // namespace

int main() {
  std::string lines;
  EnumWindows(collectDialog, reinterpret_cast<LPARAM>(&lines));
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), lines.data(),
            static_cast<DWORD>(lines.size()), &written, nullptr);
  return 0;
}
