#include "bridge/about.h"
#include "bridge/settings.h"
#include "ui/win32/startup.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR arguments, int show) {
  // A window program has no console of its own: these answers reach a
  // console only through redirection ("quayside.exe --version > version.txt").
  const std::wstring_view given = arguments != nullptr ? arguments : L"";
  std::string text;
  if (given == L"--help" || given == L"-h") {
    text = quayside::windowHelpText(quayside::settingsPath());
  } else if (given == L"--version") {
    text = quayside::versionText("quayside");
  }
  if (!text.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
  }
  const int code = quayside::win32::runWindowProgram(instance, show);
  // Relay threads may still be running; ending here without static
  // destructors keeps them from touching torn-down globals.
  std::fflush(nullptr);
  std::_Exit(code);
}
