#include "ui/win32/startup.h"

#include <cstdio>
#include <cstdlib>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*arguments*/, int show) {
  const int code = quayside::win32::runWindowProgram(instance, show);
  // Relay threads may still be running; ending here without static
  // destructors keeps them from touching torn-down globals.
  std::fflush(nullptr);
  std::_Exit(code);
}
