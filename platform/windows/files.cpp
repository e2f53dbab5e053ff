#include "platform/files.h"

#include "platform/windows/win32.h"

#include <shlobj.h>

#include <atomic>
#include <climits>

namespace quayside::platform {
namespace {

// `what`, then the system's reason for the call that just failed.
std::string failure(const std::string& what) {
  return what + ": " + win32::errorText(::GetLastError());
}

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

// Creates `folder` and its missing parents. A folder under the user's
// profile inherits the profile's permissions, which keep other users out.
bool makeFolders(const std::string& folder) {
  if (folder.empty() || pathExists(folder)) {
    return true;
  }
  const std::string parent = folderOf(folder);
  if (parent != folder && parent != "." && !makeFolders(parent)) {
    return false;
  }
  return ::CreateDirectoryW(win32::widePath(folder).c_str(), nullptr) != 0 ||
         ::GetLastError() == ERROR_ALREADY_EXISTS;
}

// A name no other writer in the folder uses at the same time.
std::string uniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  return std::to_string(::GetCurrentProcessId()) + "." + std::to_string(counter++) + "." +
         std::to_string(::GetTickCount64());
}

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  bool close() {
    const bool closed = !valid() || ::CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

bool writeFully(HANDLE file, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > INT_MAX ? INT_MAX : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (::WriteFile(file, bytes.data(), chunk, &written, nullptr) == 0 || written == 0) {
      return false;
    }
    bytes = bytes.subspan(written);
  }
  return true;
}

// Where a replace really goes: a symbolic link (or junction) at `path` is
// followed so that the link itself stays.
std::string replaceTarget(const std::string& path) {
  const std::wstring widened = win32::widePath(path);
  const DWORD attributes = ::GetFileAttributesW(widened.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  const FileHandle file(::CreateFileW(widened.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    return path;
  }
  std::wstring target(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(
        file.get(), target.data(), static_cast<DWORD>(target.size()), FILE_NAME_NORMALIZED);
    if (length == 0) {
      return path;
    }
    if (length < target.size()) {
      target.resize(length);
      break;
    }
    target.resize(length + 1);
  }
  return win32::utf8(target);
}

}  // namespace

std::string folderOf(const std::string& path) {
  std::size_t slash = std::string::npos;
  for (std::size_t i = path.size(); i > 0; --i) {
    if (isSeparator(path[i - 1])) {
      slash = i - 1;
      break;
    }
  }
  if (slash == std::string::npos) {
    // "C:name" is relative to the drive's current folder.
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
  }
  if (slash == 0) {
    return path.substr(0, 1);
  }
  // "C:\" stays a root.
  if (slash == 2 && path[1] == ':') {
    return path.substr(0, 3);
  }
  return path.substr(0, slash);
}

std::string joinPath(const std::string& folder, std::string_view name) {
  std::string path = folder;
  // "C:" alone names the drive's current folder: "C:name" stays relative to it.
  const bool driveOnly = path.size() == 2 && path[1] == ':';
  if (!path.empty() && !isSeparator(path.back()) && !driveOnly) {
    path += '\\';
  }
  path += name;
  return path;
}

std::string executablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return {};
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return win32::utf8(buffer);
    }
    // Cut: try again with more room.
    buffer.resize(buffer.size() * 2);
  }
}

std::string userConfigRoot() {
  // The roaming application data folder (%APPDATA%); callers add "quayside".
  wchar_t* folder = nullptr;
  std::string root;
  if (::SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_CREATE, nullptr, &folder) == S_OK &&
      folder != nullptr) {
    root = win32::utf8(folder);
  }
  ::CoTaskMemFree(folder);
  if (root.empty()) {
    if (const DWORD length = ::GetEnvironmentVariableW(L"APPDATA", nullptr, 0); length > 1) {
      std::wstring variable(length, L'\0');
      variable.resize(::GetEnvironmentVariableW(L"APPDATA", variable.data(), length));
      root = win32::utf8(variable);
    }
  }
  return root.empty() ? std::string(".") : root;
}

bool pathExists(const std::string& path) {
  return ::GetFileAttributesW(win32::widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isWritableFolder(const std::string& folder) {
  // Access rights, read-only attributes and virtualised folders make any
  // check short of creating a file unreliable: create one, then remove it.
  const std::string probe = folder + "\\.quayside-probe." + uniqueSuffix();
  const HANDLE file =
      ::CreateFileW(win32::widePath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  ::CloseHandle(file);
  return true;
}

std::vector<std::byte> readRegularFile(const std::string& path, std::size_t limit, bool* tooLarge) {
  std::vector<std::byte> bytes;
  const FileHandle file(::CreateFileW(win32::widePath(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    return bytes;
  }
  // Only a file on disk: a pipe or device in its place cannot make us wait.
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
      ::GetFileInformationByHandle(file.get(), &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return bytes;
  }
  constexpr std::size_t kChunk = std::size_t{64} * 1024;
  for (;;) {
    const std::size_t done = bytes.size();
    // The size is checked as read, not from the file's record: it may grow.
    if (done > limit) {
      if (tooLarge != nullptr) {
        *tooLarge = true;
      }
      bytes.clear();
      bytes.shrink_to_fit();
      break;
    }
    bytes.resize(done + kChunk);
    DWORD count = 0;
    const BOOL read = ::ReadFile(file.get(), bytes.data() + done, kChunk, &count, nullptr);
    bytes.resize(done + (read != 0 ? count : 0));
    if (read == 0 || count == 0) {
      break;
    }
  }
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

  // The temporary file sits in the same folder, so the move is a rename; no
  // other program may open it while it is written.
  std::size_t slash = std::string::npos;
  for (std::size_t i = target.size(); i > 0 && slash == std::string::npos; --i) {
    if (isSeparator(target[i - 1])) {
      slash = i - 1;
    }
  }
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string temporary = folder + "\\." + name + "." + uniqueSuffix();
  const std::wstring wideTemporary = win32::widePath(temporary);
  FileHandle file(::CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    result.error = failure("cannot create a file in " + folder);
    return result;
  }

  std::string why;
  if (!writeFully(file.get(), bytes)) {
    why = failure("cannot write " + temporary);
  } else if (::FlushFileBuffers(file.get()) == 0) {
    why = failure("cannot flush " + temporary);
  }
  if (!file.close() && why.empty()) {
    why = failure("cannot close " + temporary);
  }
  // A read-only file is replaced as a rename over it replaces it on POSIX
  // (Windows refuses to move onto one). Write-through: the call returns once
  // the move itself is on disk.
  const std::wstring wideTarget = win32::widePath(target);
  const DWORD attributes = ::GetFileAttributesW(wideTarget.c_str());
  const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                        (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (why.empty() && readOnly) {
    ::SetFileAttributesW(wideTarget.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  if (why.empty() && ::MoveFileExW(wideTemporary.c_str(), wideTarget.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    why = failure("cannot replace " + target);
    if (readOnly) {
      ::SetFileAttributesW(wideTarget.c_str(), attributes);
    }
  }
  if (!why.empty()) {
    ::DeleteFileW(wideTemporary.c_str());
    result.error = why;
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace quayside::platform
