// What the wine suites share: the programs under test, named by the
// environment, Windows paths of files on this side, and a child process that
// keeps running while a test looks at its window.
//   PATCHER_STUB         build/windows/patcher.exe
//   PATCHER_RUNNER       the command that runs a Windows program (wine-run.sh)
//   PATCHER_DIALOG_TEXT  the dialog_text.exe helper
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/container_builder.h"
#include "tests/support/process.h"

struct WinePrograms {
  std::string stub;
  std::string runner;
  std::string dialogText;
};
// Throws when a variable is missing.
const WinePrograms& winePrograms();

// The path under wine's Z: drive, with backslashes, as a user would pass it.
std::string windowsPath(const std::string& path);
// The path as the patcher shows its own container path: '/' kept.
std::string shownSelfPath(const std::string& path);
// Each "\n" as the Windows console program writes it to a file or pipe.
std::string crlf(const std::string& text);

// PATCH = stub + container.
void makePatch(const std::string& patch, const Bytes& container);

// Runs a Windows program through the runner with standard output on a pipe.
ProcessResult runWindows(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {});
// The same with standard output redirected to the file outPath, as a shell
// would; the result's out is that file's content.
ProcessResult runWindowsToFile(const std::vector<std::string>& argv,
                               const std::string& outPath,
                               const std::vector<std::string>& environment = {});

// A Windows program started through the runner and left running, its
// standard output on a file or on a pseudo-terminal.
class WineChild {
 public:
  enum class Output { File, Terminal };
  WineChild(const std::vector<std::string>& argv,
            const std::vector<std::string>& environment, Output output,
            const std::string& outPath);
  ~WineChild();  // kills the child if it still runs
  WineChild(const WineChild&) = delete;
  WineChild& operator=(const WineChild&) = delete;

  bool running();
  // Waits up to seconds for the end; the exit code, or -1 if it still runs.
  int waitFor(double seconds);
  // What the child wrote to its terminal so far.
  const std::string& terminal();

 private:
  void drainTerminal();

  pid_t pid_ = -1;
  int master_ = -1;
  int exitCode_ = -1;
  bool ended_ = false;
  std::string terminal_;
};

// Runs a program on this side and returns its standard output; throws when
// it cannot run or exits with another code than 0.
std::string capture(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment = {});
