#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quayside::platform {
namespace {

// `what`, then the system's reason for the call that just failed.
std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Creates `folder` and its missing parents, private to the user like any
// per-user configuration folder.
bool makeFolders(const std::string& folder) {
  if (folder.empty() || pathExists(folder)) {
    return true;
  }
  const std::string parent = folderOf(folder);
  if (parent != folder && !makeFolders(parent)) {
    return false;
  }
  return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
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

// Where a replace really goes: symbolic links are followed (even to a file
// not yet there) so the link itself stays.
std::string replaceTarget(const std::string& path) {
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
    if (next.front() == '/') {
      target = std::move(next);
    } else {
      std::string relative = folderOf(target);
      relative += '/';
      relative += next;
      target = std::move(relative);
    }
  }
  return target;
}

}  // namespace

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string joinPath(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') {
    path += '/';
  }
  path += name;
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

std::string userConfigRoot() {
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/') {
    return configHome;
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
    return "/.config";
  }
  return home + "/.config";
}

bool pathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool isWritableFolder(const std::string& folder) {
  return ::access(folder.c_str(), W_OK) == 0;
}

std::vector<std::byte> readRegularFile(const std::string& path, std::size_t limit, bool* tooLarge) {
  std::vector<std::byte> bytes;
  // Non-blocking open so a FIFO or device in the file's place cannot hang us;
  // only a regular file is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return bytes;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return bytes;
  }
  constexpr std::size_t kChunk = std::size_t{64} * 1024;
  for (;;) {
    const std::size_t done = bytes.size();
    // The size is checked as read, not from fstat: a file may grow meanwhile.
    if (done > limit) {
      if (tooLarge != nullptr) {
        *tooLarge = true;
      }
      bytes.clear();
      bytes.shrink_to_fit();
      break;
    }
    bytes.resize(done + kChunk);
    const ssize_t count = ::read(fd, bytes.data() + done, kChunk);
    if (count < 0 && errno == EINTR) {
      bytes.resize(done);
      continue;
    }
    bytes.resize(done + static_cast<std::size_t>(count > 0 ? count : 0));
    if (count <= 0) {
      break;
    }
  }
  ::close(fd);
  return bytes;
}

ReplaceResult replaceFileDurably(const std::string& path, std::span<const std::byte> bytes) {
  ReplaceResult result;
  const std::string target = replaceTarget(path);
  const std::string folder = folderOf(target);
  if (!makeFolders(folder)) {
    result.error = failure("cannot create " + folder);
    return result;
  }

  // The temporary file sits in the same folder, so the rename is atomic;
  // mkostemp makes it readable and writable by the user alone.
  const std::size_t slash = target.find_last_of('/');
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary = folder + "/." + name + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    result.error = failure("cannot create a file in " + folder);
    return result;
  }

  std::string why;
  if (!writeFully(fd, bytes)) {
    why = failure("cannot write " + temporary);
  } else if (::fsync(fd) != 0) {
    why = failure("cannot flush " + temporary);
  }
  if (::close(fd) != 0 && why.empty()) {
    why = failure("cannot close " + temporary);
  }
  if (why.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) {
    why = failure("cannot replace " + target);
  }
  if (!why.empty()) {
    ::unlink(temporary.c_str());
    result.error = why;
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

}  // namespace quayside::platform
