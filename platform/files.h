#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Files and folders. Paths are UTF-8 (on Windows made UTF-16 at each call,
// where '/' and '\' both separate folders).
namespace quayside::platform {

// The folder part of a path ("." for a bare name, "/" for the root).
std::string folderOf(const std::string& path);

// `name` inside `folder`, joined with the system's own separator (one, also
// after a root such as "/" or "C:\").
std::string joinPath(const std::string& folder, std::string_view name);

// The running executable's path; empty when it cannot be told.
std::string executablePath();

// The user's configuration folder: $XDG_CONFIG_HOME when absolute, else
// ~/.config ($HOME, else the password database; "/.config" for no home).
// On Windows the roaming application data folder (%APPDATA%).
std::string userConfigRoot();

bool pathExists(const std::string& path);

// True when files may be created in `folder` (on Windows tried by creating
// and removing one, since no attribute check tells it reliably).
bool isWritableFolder(const std::string& folder);

// A regular file's bytes; nothing for a missing, unreadable or other kind of
// file (a FIFO or device cannot make it wait). A read error ends the bytes.
// A file of more than `limit` bytes is not read: nothing, and `tooLarge`
// (when given) is set.
std::vector<std::byte> readRegularFile(const std::string& path,
                                       std::size_t limit = static_cast<std::size_t>(-1),
                                       bool* tooLarge = nullptr);

struct ReplaceResult {
  bool ok = false;
  std::string error;  // why the file was not replaced, when !ok
};

// Replaces the file at `path` with `bytes` so that a crash or a full disk
// leaves either the old file or the new one, never a mix: missing folders are
// made (private to the user), the bytes go to a private temporary file in the
// same folder, which is flushed to disk and renamed over the file, and then
// the folder is flushed. A symbolic link at `path` is followed and kept.
ReplaceResult replaceFileDurably(const std::string& path, std::span<const std::byte> bytes);

}  // namespace quayside::platform
