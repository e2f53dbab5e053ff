#include "core/text.h"

namespace quayside {

char* appendText(char* at, const char* text) {
  while (*text != '\0') {
    *at++ = *text++;
  }
  return at;
}

char* appendDecimal(char* at, std::uint32_t value) {
  const std::uint32_t quotient = value / 10;
  if (quotient != 0) {
    at = appendDecimal(at, quotient);
  }
  *at++ = static_cast<char>('0' + value % 10);
  return at;
}

std::uint32_t parseDecimal(const char* at) {
  std::uint32_t value = 0;
  while (*at >= '0' && *at <= '9') {
    value = value * 10u + static_cast<std::uint32_t>(*at - '0');
    ++at;
  }
  return value;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view lowerPrefix) {
  if (text.size() < lowerPrefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
    char byte = text[i];
    if (byte >= 'A' && byte <= 'Z') {
      byte = static_cast<char>(byte - 'A' + 'a');
    }
    if (byte != lowerPrefix[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace quayside
