#include "ui/startup.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const int code = quayside::runWindowProgram(argc, argv);
  // Relay threads may still be running; ending here without static
  // destructors keeps them from touching torn-down globals.
  std::fflush(nullptr);
  std::_Exit(code);
}
