#include "bridge/daemon.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
  }
  // Kept alive to the end: relay threads report to it until the process ends.
  static quayside::DaemonLog log(quayside::standardErrorSink());
  const int code = quayside::daemonMain(arguments, log);
  std::fflush(stdout);
  std::fflush(stderr);
  // Running relays are not waited for; skipping static destructors keeps
  // them from touching torn-down state while the process ends.
  std::_Exit(code);
}
