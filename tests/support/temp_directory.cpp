#include "support/temp_directory.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace quayside::testing {

TempDirectory::TempDirectory() {
#ifdef _WIN32
  // %TEMP%, under the user's profile: private to the user already.
  static unsigned counter = 0;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        base / ("quayside-test-" + std::to_string(std::random_device{}()) + "-" +
                std::to_string(counter++));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
#else
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quayside-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
  // A server started as root drops to "nobody" before writing its pid file.
  chmod(path_.c_str(), 0755);
#endif
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace quayside::testing
