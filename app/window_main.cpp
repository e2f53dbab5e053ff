#include "bridge/about.h"
#include "bridge/settings.h"
#include "ui/startup.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// --help and --version are answered before Qt starts, so they need no display.
// Every other argument is left to Qt.
int answerInformationOption(std::string_view argument) {
  std::string text;
  if (argument == "--help" || argument == "-h") {
    text = quayside::windowHelpText(quayside::settingsPath());
  } else if (argument == "--version") {
    text = quayside::versionText("quayside");
  } else {
    return -1;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (const int code = answerInformationOption(argv[i]); code >= 0) {
      std::fflush(stdout);
      return code;
    }
  }
  const int code = quayside::runWindowProgram(argc, argv);
  // Relay threads may still be running; ending here without static
  // destructors keeps them from touching torn-down globals.
  std::fflush(nullptr);
  std::_Exit(code);
}
