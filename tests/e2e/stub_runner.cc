#include "tests/e2e/stub_runner.h"

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

StubRunner::StubRunner() {
  const char* stub = std::getenv("PATCHER_STUB");
  if (stub == nullptr || *stub == '\0') throw std::runtime_error("PATCHER_STUB is not set");
  stub_ = stub;
  if (const char* runner = std::getenv("PATCHER_RUNNER")) {
    std::istringstream words(runner);
    for (std::string w; words >> w;) runner_.push_back(w);
  }
  const char* windows = std::getenv("PATCHER_WINDOWS");
  windows_ = windows != nullptr && std::string(windows) == "1";
}

void StubRunner::makePatch(const std::string& patch, const Bytes& container) const {
  Bytes image = readFile(stub_);
  image.insert(image.end(), container.begin(), container.end());
  writeFile(patch, image);
  chmod(patch.c_str(), 0755);
}

ProcessResult StubRunner::run(const std::string& patch, const std::vector<std::string>& args,
                              ProcessOptions options) const {
  std::vector<std::string> argv = runner_;
  argv.push_back(patch);
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, options);
}

std::string StubRunner::argument(const std::string& path) const {
  if (!windows_ || path.empty() || path[0] != '/') return path;
  std::string out = "Z:" + path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::string StubRunner::shownContainerPath(const std::string& path) const {
  return windows_ && !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

std::string StubRunner::output(const std::string& text) const {
  if (!windows_) return text;
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}
