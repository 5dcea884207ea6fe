#include "tests/windows/wine_support.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/files.h"

namespace {

std::string requiredVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) + " is not set");
  }
  return value;
}

std::vector<std::string> throughRunner(const std::vector<std::string>& argv) {
  std::vector<std::string> out = {winePrograms().runner};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

}  // namespace

const WinePrograms& winePrograms() {
  static const WinePrograms programs = {requiredVariable("PATCHER_STUB"),
                                        requiredVariable("PATCHER_RUNNER"),
                                        requiredVariable("PATCHER_DIALOG_TEXT")};
  return programs;
}

std::string windowsPath(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::string shownSelfPath(const std::string& path) { return "Z:" + path; }

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

void makePatch(const std::string& patch, const Bytes& container) {
  Bytes image = readFile(winePrograms().stub);
  image.insert(image.end(), container.begin(), container.end());
  writeFile(patch, image);
}

ProcessResult runWindows(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
  ProcessOptions options;
  options.environment = environment;
  return runProcess(throughRunner(argv), options);
}

ProcessResult runWindowsToFile(const std::vector<std::string>& argv,
                               const std::string& outPath,
                               const std::vector<std::string>& environment) {
  std::vector<std::string> command = {"/bin/sh", "-c",
                                      "out=$1; shift; exec \"$@\" >\"$out\"",
                                      "sh", outPath};
  for (const std::string& a : throughRunner(argv)) command.push_back(a);
  ProcessOptions options;
  options.environment = environment;
  ProcessResult result = runProcess(command, options);
  Bytes written = readFile(outPath);
  result.out.assign(written.begin(), written.end());
  return result;
}

WineChild::WineChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& environment, Output output,
                     const std::string& outPath) {
  std::vector<std::string> command = throughRunner(argv);
  int slave = -1;
  if (output == Output::Terminal) {
    if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setsid();
    int in = open("/dev/null", O_RDONLY);
    int out = slave >= 0 ? slave
                         : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((outPath + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    if (slave >= 0) ioctl(slave, TIOCSCTTY, 0);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const std::string& entry : environment) {
      std::string::size_type eq = entry.find('=');
      setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : command) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (slave >= 0) close(slave);
}

WineChild::~WineChild() {
  if (!ended_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

bool WineChild::running() { return waitFor(0) == -1 && !ended_; }

int WineChild::waitFor(double seconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration<double>(seconds);
  for (;;) {
    drainTerminal();
    if (ended_) return exitCode_;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      ended_ = true;
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      drainTerminal();
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

const std::string& WineChild::terminal() {
  drainTerminal();
  return terminal_;
}

void WineChild::drainTerminal() {
  if (master_ < 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      terminal_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // nothing more now, or the terminal is gone
  }
}

std::string capture(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment) {
  ProcessOptions options;
  options.environment = environment;
  ProcessResult r = runProcess(argv, options);
  if (r.exitCode != 0) {
    throw std::runtime_error(argv[0] + " failed: " + r.err);
  }
  return r.out;
}
