#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

void drain(int* fd, std::string* into) {
  char buffer[65536];
  ssize_t n = read(*fd, buffer, sizeof buffer);
  if (n > 0) {
    into->append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    close(*fd);
    *fd = -1;
  }
}

[[noreturn]] void execChild(const std::vector<std::string>& argv,
                            const ProcessOptions& options) {
  for (const std::string& entry : options.environment) {
    std::string::size_type eq = entry.find('=');
    setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
  }
  if (options.fileSizeLimit != 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.addressSpaceLimit != 0) {
    struct rlimit limit = {options.addressSpaceLimit, options.addressSpaceLimit};
    setrlimit(RLIMIT_AS, &limit);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  int master = -1, slave = -1;
  if (options.withTerminal) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, O_NONBLOCK);
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setsid();  // no controlling terminal unless one is given below
    if (slave >= 0) ioctl(slave, TIOCSCTTY, 0);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (options.standardOutput == StandardOutput::Closed) {
      close(1);
    } else if (options.standardOutput == StandardOutput::BrokenPipe) {
      int broken[2];
      if (pipe(broken) == 0) {
        close(broken[0]);
        dup2(broken[1], 1);
        close(broken[1]);
      }
    }
    if (slave > 2) close(slave);
    execChild(argv, options);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (slave >= 0) close(slave);

  ProcessResult result;
  int out = outPipe[0], err = errPipe[0];
  while (out >= 0 || err >= 0) {
    struct pollfd fds[2];
    int count = 0;
    if (out >= 0) fds[count++] = {out, POLLIN, 0};
    if (err >= 0) fds[count++] = {err, POLLIN, 0};
    if (poll(fds, count, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == out) drain(&out, &result.out);
      else drain(&err, &result.err);
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // The terminal is read only once the child is gone: closing the master
  // earlier would hang the child up. Its few bytes fit the terminal's buffer.
  while (master >= 0) {
    std::string::size_type before = result.terminal.size();
    drain(&master, &result.terminal);
    if (master >= 0 && result.terminal.size() == before) {
      close(master);
      master = -1;
    }
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}
