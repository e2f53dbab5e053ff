#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace quayside {

// How far one conversion came: input bytes read, output bytes written. A
// conversion stops early only when the output is full, and then after a
// whole character.
struct Conversion {
  std::size_t read = 0;
  std::size_t written = 0;
};

// Converts text between the DC client's character set (a legacy code page)
// and UTF-8, IRC's. One per Relay, used by its thread alone; the platform
// makes it (iconv on POSIX) and the translations reach it through the Relay.
class TextConverter {
 public:
  virtual ~TextConverter() = default;

  // Client text to UTF-8; a byte the code page does not define becomes '?'.
  virtual Conversion toUtf8(std::string_view text, std::span<char> out) = 0;
  // Valid UTF-8 to the code page; a character the code page lacks becomes '?'.
  virtual Conversion fromUtf8(std::string_view text, std::span<char> out) = 0;
};

}  // namespace quayside
