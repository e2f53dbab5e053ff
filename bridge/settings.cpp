#include "bridge/settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quayside {
namespace {

constexpr std::string_view kSettingsFileName = "quayside.dat";

std::string errnoText(std::string_view what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// The folder part of a path ("." for a bare name).
std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Creates `folder` and its missing parents, private to the user like any
// per-user configuration folder.
bool makeFolders(const std::string& folder) {
  if (folder.empty() || exists(folder)) {
    return true;
  }
  const std::string parent = folderOf(folder);
  if (parent != folder && !makeFolders(parent)) {
    return false;
  }
  return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// Reads until `into` is full or the file ends; the count read. A read error
// counts as the end of the file.
std::size_t readFully(int fd, std::span<std::byte> into) {
  std::size_t done = 0;
  while (done < into.size()) {
    const ssize_t count = ::read(fd, into.data() + done, into.size() - done);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    done += static_cast<std::size_t>(count);
  }
  return done;
}

bool writeFully(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(count));
  }
  return true;
}

// Where a save really goes: symbolic links are followed (even to a file not
// yet there) so the link itself stays.
std::string saveTarget(const std::string& path) {
  std::string target = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      break;
    }
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = ::readlink(target.c_str(), buffer.data(), buffer.size() - 1);
    if (length <= 0) {
      break;
    }
    std::string next(buffer.data(), static_cast<std::size_t>(length));
    target = next.front() == '/' ? next : folderOf(target) + "/" + next;
  }
  return target;
}

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
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      return {};
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    // Possibly cut: try again with more room.
    buffer.resize(buffer.size() * 2);
  }
}

std::string userConfigDirectory() {
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/') {
    return std::string(configHome) + "/quayside";
  }
  std::string home;
  if (const char* homeVariable = std::getenv("HOME");
      homeVariable != nullptr && homeVariable[0] != '\0') {
    home = homeVariable;
  } else if (const passwd* entry = ::getpwuid(::getuid());
             entry != nullptr && entry->pw_dir != nullptr) {
    home = entry->pw_dir;
  }
  if (home.empty() || home == "/") {
    return "/.config/quayside";
  }
  return home + "/.config/quayside";
}

std::string chooseSettingsPath(const std::string& besideExecutable,
                               const std::string& userConfigDir) {
  if (!besideExecutable.empty() &&
      (exists(besideExecutable) || ::access(folderOf(besideExecutable).c_str(), W_OK) == 0)) {
    return besideExecutable;
  }
  return userConfigDir + "/" + std::string(kSettingsFileName);
}

std::string settingsPath() {
  const std::string executable = executablePath();
  std::string beside;
  if (!executable.empty()) {
    beside = folderOf(executable) + "/" + std::string(kSettingsFileName);
  }
  return chooseSettingsPath(beside, userConfigDirectory());
}

BridgeList loadSettings(const std::string& path) {
  BridgeList bridges;
  // Non-blocking open so a FIFO or device in the file's place cannot hang us;
  // only a regular file is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return bridges;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return bridges;
  }
  BridgeRecord record{};
  while (readFully(fd, record) == record.size()) {
    bridges.push_back(decodeBridge(record));
  }
  ::close(fd);
  return bridges;
}

SaveResult saveSettings(const BridgeList& bridges, const std::string& path) {
  SaveResult result;
  const std::string target = saveTarget(path);
  const std::string folder = folderOf(target);
  if (!makeFolders(folder)) {
    result.error = errnoText("cannot create " + folder);
    return result;
  }

  // The temporary file sits in the same folder, so the rename is atomic.
  const std::size_t slash = target.find_last_of('/');
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary = folder + "/." + name + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    result.error = errnoText("cannot create a file in " + folder);
    return result;
  }

  bool written = true;
  std::string failure;
  for (const Bridge& bridge : bridges) {
    const BridgeRecord record = encodeBridge(bridge);
    if (!writeFully(fd, record)) {
      written = false;
      failure = errnoText("cannot write " + temporary);
      break;
    }
  }
  if (written && ::fsync(fd) != 0) {
    written = false;
    failure = errnoText("cannot flush " + temporary);
  }
  if (::close(fd) != 0 && written) {
    written = false;
    failure = errnoText("cannot close " + temporary);
  }
  if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
    written = false;
    failure = errnoText("cannot replace " + target);
  }
  if (!written) {
    ::unlink(temporary.c_str());
    result.error = failure;
    return result;
  }

  // Make the rename itself durable.
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  result.ok = true;
  return result;
}

}  // namespace quayside
