#pragma once

#include <string>
#include <string_view>

namespace quayside {

// "PROGRAM VERSION" and the TLS library's version, one per line: what
// --version prints.
std::string versionText(std::string_view program);

// The daemon's short usage, with every Bridge option's KEY=VALUE form:
// what bad arguments are answered with, and how --help begins.
std::string daemonUsageText();

// What `quayside-daemon --help` prints: the usage, every option and the
// Bridge option table, the settings file `settingsFile` it would read,
// exit codes and signals.
std::string daemonHelpText(std::string_view settingsFile);

// What `quayside --help` prints: the window's options and its settings file.
std::string windowHelpText(std::string_view settingsFile);

}  // namespace quayside
