#include "core/server_address.h"

#include "core/text.h"

#include <array>

namespace quayside {
namespace {

struct SchemePrefix {
  std::string_view lowerText;
  ServerScheme scheme;
};

constexpr std::array<SchemePrefix, 3> kSchemes = {{
    {"irc://", ServerScheme::kIrc},
    {"ircs://", ServerScheme::kIrcs},
    {"dchub://", ServerScheme::kDcHub},
}};

// "word://" at the start: a scheme, known or not.
bool startsWithScheme(std::string_view text) {
  const std::size_t mark = text.find("://");
  if (mark == std::string_view::npos || mark == 0) {
    return false;
  }
  for (const char byte : text.substr(0, mark)) {
    const bool letter = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
    const bool other = (byte >= '0' && byte <= '9') || byte == '+' || byte == '-' || byte == '.';
    if (!letter && !other) {
      return false;
    }
  }
  return true;
}

}  // namespace

ServerAddress parseServerAddress(std::string_view serverText, std::uint8_t upstreamKind) {
  ServerAddress address;
  address.afterScheme = serverText;
  for (const SchemePrefix& prefix : kSchemes) {
    if (startsWithIgnoringCase(serverText, prefix.lowerText)) {
      address.scheme = prefix.scheme;
      address.afterScheme.remove_prefix(prefix.lowerText.size());
      break;
    }
  }
  if (address.scheme == ServerScheme::kNone && startsWithScheme(serverText)) {
    address.problem = "the scheme is not one of irc://, ircs://";
  }

  const std::string_view text = address.afterScheme;
  std::size_t hostEnd = 0;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
      address.problem = "the '[' of an IPv6 address is not closed";
      address.host = text.substr(1);
      hostEnd = text.size();
    } else {
      address.host = text.substr(1, close - 1);
      hostEnd = close + 1;
    }
  } else {
    hostEnd = text.find_first_of("/\\:");
    address.host = text.substr(0, hostEnd);
  }
  if (address.host.empty() && address.problem.empty()) {
    address.problem = "there is no server name";
  }

  if (hostEnd >= text.size() || text[hostEnd] != ':') {
    address.port = address.scheme == ServerScheme::kIrcs ? 6697 : upstreamKind != 0 ? 6667 : 411;
    return address;
  }
  std::size_t i = hostEnd + 1;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  std::uint32_t value = 0;  // wraps like any decimal read; the port is its low 16 bits
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    ++i;
  }
  address.port = static_cast<std::uint16_t>(value & 0xFFFFu);
  if (address.port == 0 && address.problem.empty()) {
    address.problem = "the port is not a number from 1 to 65535";
  }
  return address;
}

}  // namespace quayside
