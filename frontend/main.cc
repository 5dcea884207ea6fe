// Process entry: one argument, the file to patch; the container is the
// executable's own file.
#include <clocale>
#include <string>

#include "engine/patcher.h"
#include "frontend/report.h"
#include "platform/platform.h"

namespace {

void showOutcome(const char* text) {
  std::wstring wide = toWideCodePage(text, kOutcomeCodePage);
  platform::showMessageBox(wide.c_str());
}

}  // namespace

int runPatcher(int count, wchar_t** arguments) {
  if (count != 2) {
    showOutcome(kFailedText);
    return 1;
  }
  Patcher patcher;
  patcher.setTargetPath(arguments[1]);
  patcher.setContainerPath(selfPath());
  bool done = patcher.apply();
  showOutcome(done ? kDoneText : kFailedText);
  return done ? 0 : 1;
}

int main(int argc, char** argv) {
  platform::initializeProcess();
  std::setlocale(LC_ALL, "");
  int count = 0;
  wchar_t** arguments = platform::commandLineArguments(argc, argv, &count);
  if (arguments == nullptr) return 1;
  int code = runPatcher(count, arguments);
  platform::freeArguments(arguments);
  return code;
}
