#include "bridge/settings.h"

#include "platform/files.h"

#include <vector>

namespace quayside {
namespace {

constexpr std::string_view kSettingsFileName = "quayside.dat";

}  // namespace

std::string settingsPathFor(std::string_view executablePath) {
  const std::size_t last = executablePath.find_last_of("\\/.");
  std::string path(executablePath);
  if (last != std::string_view::npos && executablePath[last] == '.') {
    path.resize(last);
  }
  path += ".dat";
  return path;
}

std::string executablePath() {
  return platform::executablePath();
}

std::string userConfigDirectory() {
  return platform::joinPath(platform::userConfigRoot(), "quayside");
}

std::string chooseSettingsPath(const std::string& besideExecutable,
                               const std::string& userConfigDir) {
  if (!besideExecutable.empty() &&
      (platform::pathExists(besideExecutable) ||
       platform::isWritableFolder(platform::folderOf(besideExecutable)))) {
    return besideExecutable;
  }
  return platform::joinPath(userConfigDir, kSettingsFileName);
}

std::string settingsPath() {
  const std::string executable = executablePath();
  std::string beside;
  if (!executable.empty()) {
    beside = platform::joinPath(platform::folderOf(executable), kSettingsFileName);
  }
  return chooseSettingsPath(beside, userConfigDirectory());
}

BridgeList loadSettings(const std::string& path, std::string* problem) {
  BridgeList bridges;
  bool tooLarge = false;
  const std::vector<std::byte> bytes =
      platform::readRegularFile(path, kSettingsBridgeLimit * kBridgeRecordSize, &tooLarge);
  if (tooLarge && problem != nullptr) {
    *problem = "the settings file " + path + " is larger than " +
               std::to_string(kSettingsBridgeLimit) +
               " Bridges, more than Quayside ever writes: it was not read";
  }
  // Whole records only: a short tail is dropped.
  for (std::size_t offset = 0; bytes.size() - offset >= kBridgeRecordSize;
       offset += kBridgeRecordSize) {
    bridges.push_back(decodeBridge(
        std::span<const std::byte, kBridgeRecordSize>(bytes.data() + offset, kBridgeRecordSize)));
  }
  return bridges;
}

SaveResult saveSettings(const BridgeList& bridges, const std::string& path) {
  std::vector<std::byte> bytes;
  bytes.reserve(bridges.size() * kBridgeRecordSize);
  for (const Bridge& bridge : bridges) {
    // Refused where options are set; should such a Bridge get here, the
    // save fails rather than store its options cut or as they were before.
    if (const std::string problem = storedOptionsProblem(bridge.options); !problem.empty()) {
      return SaveResult{false, "Bridge " + std::to_string(bridge.localPort) + ": " + problem};
    }
    const BridgeRecord record = encodeBridge(bridge);
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  const platform::ReplaceResult replaced = platform::replaceFileDurably(path, bytes);
  return SaveResult{replaced.ok, replaced.error};
}

}  // namespace quayside
