#include "core/server_address.h"

#include "core/text.h"

namespace quayside {

ServerAddress parseServerAddress(std::string_view serverText, std::uint8_t upstreamKind) {
  ServerAddress address;
  address.afterScheme = serverText;
  if (startsWithIgnoringCase(serverText, "irc://")) {
    address.scheme = ServerScheme::kIrc;
    address.afterScheme.remove_prefix(6);
  } else if (startsWithIgnoringCase(serverText, "dchub://")) {
    address.scheme = ServerScheme::kDcHub;
    address.afterScheme.remove_prefix(8);
  }
  const std::string_view text = address.afterScheme;
  const std::size_t hostEnd = text.find_first_of("/\\:");
  address.host = text.substr(0, hostEnd);
  if (hostEnd == std::string_view::npos || text[hostEnd] != ':') {
    address.port = upstreamKind != 0 ? 6667 : 411;
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
  return address;
}

}  // namespace quayside
