#pragma once

#include <cstdint>
#include <string_view>

namespace quayside {

// The scheme a server text starts with, if any.
enum class ServerScheme { kNone, kIrc, kIrcs, kDcHub };

// A server text read as an address. Every view points into the text read.
struct ServerAddress {
  ServerScheme scheme = ServerScheme::kNone;
  std::string_view afterScheme;  // the text past the scheme prefix
  std::string_view host;         // without the brackets of an IPv6 literal
  std::uint16_t port = 0;
  // Why the text cannot name a server, in plain words; empty when it can.
  std::string_view problem;

  bool tls() const { return scheme == ServerScheme::kIrcs; }
};

// The one grammar of server texts, for connecting, the USER line and the
// window alike: an optional "irc://", "ircs://" or "dchub://" prefix (letters
// in any case); the host, either an IPv6 literal in brackets ("[::1]") or the
// text up to '/', '\\', ':' or the end; and after a ':' a decimal port
// (blanks skipped, digits up to the first other byte, low 16 bits, 0 when
// there are none). Without a port: 6697 for ircs, else 6667 for an IRC
// upstream (`upstreamKind` nonzero) and 411 for a DC hub.
ServerAddress parseServerAddress(std::string_view serverText, std::uint8_t upstreamKind);

}  // namespace quayside
