#pragma once

#include <string>
#include <string_view>

namespace quayside::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// this object goes. Throws when it cannot be created.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

}  // namespace quayside::testing
