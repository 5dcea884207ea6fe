// The outcome box under wine in a real X server (Xvfb): it stays up, and the
// process with it, until it is dismissed; its text is read back from the
// dialog by a helper that runs under wine beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/container_builder.h"
#include "tests/support/files.h"
#include "tests/windows/wine_support.h"

namespace {

const std::string kDone = "\xE5\xAE\x8C\xE6\x88\x90";    // 完成
const std::string kFailed = "\xE5\xA4\xB1\xE8\xB4\xA5";  // 失败

struct BoxCase {
  friend void PrintTo(const BoxCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Bytes container;
  bool withTarget;
  WineChild::Output output;
  std::string text;     // of the box, UTF-8
  int exitCode;
  std::string message;  // what the run prints, without CRLF; {target} stands
                        // for the target's path
  Bytes targetAfter;
};

class WineBoxTest : public ::testing::TestWithParam<BoxCase> {
 protected:
  static void SetUpTestSuite() {
    // Wine's desktop process keeps the display it started with: begin with
    // a fresh one on this suite's X server.
    runProcess({winePrograms().runner, "--stop"});
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    xvfb = fork();
    if (xvfb == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display = ":" + number;
  }

  static void TearDownTestSuite() {
    // Wine's desktop process holds the display; end it with the server.
    runProcess({winePrograms().runner, "--stop"});
    if (xvfb > 0) {
      kill(xvfb, SIGTERM);
      waitpid(xvfb, nullptr, 0);
    }
  }

  // The X window of a visible top-level window whose class is the program's
  // name, once there is one.
  static std::string waitForWindow(const std::string& program, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      ProcessOptions options;
      options.environment = {"DISPLAY=" + display};
      ProcessResult r = runProcess({"xdotool", "search", "--onlyvisible", "--classname", program}, options);
      if (r.exitCode == 0 && !r.out.empty()) return r.out.substr(0, r.out.find('\n'));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return "";
  }

  static std::string xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return capture(argv, {"DISPLAY=" + display});
  }

  static pid_t xvfb;
  static std::string display;
};

pid_t WineBoxTest::xvfb = -1;
std::string WineBoxTest::display;

TEST_P(WineBoxTest, BoxShowsTheOutcomeUntilDismissed) {
  const BoxCase& c = GetParam();
  TempDir dir;
  std::string program = std::string("box-") + c.name + ".exe";
  std::string patch = dir.file(program);
  std::string target = dir.file("target.bin");
  std::string out = dir.file("out.txt");
  writeFile(target, bytesOf("original"));
  makePatch(patch, c.container);
  std::vector<std::string> argv = {patch};
  if (c.withTarget) argv.push_back(windowsPath(target));
  std::vector<std::string> environment = {"LC_ALL=en_US.UTF-8", "PATCHER_WINE_DISPLAY=" + display};

  std::string message = c.message;
  std::string::size_type at = message.find("{target}");
  if (at != std::string::npos) message.replace(at, 8, windowsPath(target));

  WineChild child(argv, environment, c.output, out);
  std::string window = waitForWindow(program, 60);
  ASSERT_FALSE(window.empty()) << "no box appeared";
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_TRUE(child.running()) << "the process ended with its box still up";

  // The caption is empty, and the only text is the outcome.
  EXPECT_EQ(xdotool({"getwindowname", window}), "\n");
  ProcessResult shown = runWindows({winePrograms().dialogText}, {"PATCHER_WINE_DISPLAY=" + display});
  EXPECT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_EQ(shown.out, "\t" + c.text + "\n");

  if (c.output == WineChild::Output::File) {
    // A file receives standard output only when the process ends.
    EXPECT_EQ(readFile(out), Bytes());
  } else {
    // A console shows each message before the box.
    EXPECT_NE(child.terminal().find(message), std::string::npos) << child.terminal();
  }

  xdotool({"key", "--window", window, "Return"});
  EXPECT_EQ(child.waitFor(60), c.exitCode);
  if (c.output == WineChild::Output::File) {
    Bytes written = readFile(out);
    EXPECT_EQ(std::string(written.begin(), written.end()), crlf(message));
  }
  EXPECT_EQ(readFile(target), c.targetAfter);
}

const Bytes kPatchX = ContainerBuilder().writeAbsolute(0, bytesOf("X")).end().build();

INSTANTIATE_TEST_SUITE_P(
    Outcomes, WineBoxTest,
    ::testing::Values(
        BoxCase{"done", kPatchX, true, WineChild::Output::File, kDone, 0, "", bytesOf("Xriginal")},
        BoxCase{"already", ContainerBuilder().checkContent(0, bytesOf("orig")).writeAbsolute(0, bytesOf("X")).end().build(),
                true, WineChild::Output::File, kDone, 0, "ERROR: {target} was already patched\n\n",
                bytesOf("original")},
        BoxCase{"unknown", ContainerBuilder().raw({0x7F}).end().build(), true, WineChild::Output::File,
                kFailed, 1, "ERROR: unknown patch command 7F\n\n", bytesOf("original")},
        BoxCase{"noargument", kPatchX, false, WineChild::Output::File, kFailed, 1, "", bytesOf("original")},
        BoxCase{"console", ContainerBuilder().raw({0x7F}).end().build(), true,
                WineChild::Output::Terminal, kFailed, 1, "ERROR: unknown patch command 7F", bytesOf("original")}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
