#pragma once

#include "bridge/bridge.h"

#include <string>
#include <string_view>

namespace quayside {

// The settings file's path for an executable path: its extension replaced by
// ".dat", where the extension starts at the last '.' that comes after the
// last '/' or '\\'; with no such dot ".dat" is appended.
std::string settingsPathFor(std::string_view executablePath);

// The running executable's path; empty when it cannot be told.
std::string executablePath();

// The per-user configuration folder: $XDG_CONFIG_HOME/quayside, or
// ~/.config/quayside (the same folder Qt gives the "quayside" application).
std::string userConfigDirectory();

// Where the window and the daemon keep their settings by default:
// `besideExecutable` when that file exists or its folder is writable,
// otherwise "quayside.dat" in `userConfigDir`.
std::string chooseSettingsPath(const std::string& besideExecutable,
                               const std::string& userConfigDir);

// The settings file's path, derived at start-up by chooseSettingsPath:
// "quayside.dat" beside the executables (the window's own file, which the
// daemon reads by default too), else the per-user folder.
std::string settingsPath();

// The most Bridges a settings file holds: a larger file is not read.
inline constexpr std::size_t kSettingsBridgeLimit = 4096;

// Loads whole records in file order; a missing, unreadable or short file
// gives what it holds in whole records (nothing for a missing one). A file
// of more than kSettingsBridgeLimit records gives nothing, and `problem`
// (when given) says so; a Bridge whose stored options do not read carries
// why in its optionsProblem.
BridgeList loadSettings(const std::string& path, std::string* problem = nullptr);

struct SaveResult {
  bool ok = false;
  std::string error;  // why the file could not be written, when !ok
};

// Writes every Bridge's record in list order to a temporary file beside
// `path`, flushes it to disk and renames it over `path`, so a crash or a
// full disk never leaves a half-written settings file.
SaveResult saveSettings(const BridgeList& bridges, const std::string& path);

}  // namespace quayside
