#include "platform/charset.h"
#include "platform/charset_common.h"

#include "core/session_options.h"

namespace quayside::platform {

std::size_t utf8Length(unsigned char lead, std::size_t left) {
  std::size_t length = 1;
  if (lead >= 0xF0) {
    length = 4;
  } else if (lead >= 0xE0) {
    length = 3;
  } else if (lead >= 0xC0) {
    length = 2;
  }
  return length < left ? length : left;
}

std::string unknownCharset(std::string_view name) {
  return "the character set \"" + std::string(name) + "\" is not known to this system";
}

std::string charsetNotAscii(std::string_view name) {
  return "the character set \"" + std::string(name) + "\" does not write ASCII as ASCII";
}

bool isUtf8Name(std::string_view name) {
  return isUtf8CharsetName(name);
}

bool charsetUsable(std::string_view name, std::string& error) {
  return openCharset(name, error) != nullptr || error.empty();
}

}  // namespace quayside::platform
