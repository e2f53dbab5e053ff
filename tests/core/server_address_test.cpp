#include "core/server_address.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace quayside {
namespace {

TEST(ServerAddress, ReadsSchemeHostAndPort) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string_view text;
    std::uint8_t upstreamKind;
    ServerScheme scheme;
    std::string_view afterScheme;
    std::string_view host;
    std::uint16_t port;
    bool usable = true;  // no problem reported
  };
  using enum ServerScheme;
  const Row rows[] = {
      {"irc scheme, port and channel", "irc://127.0.0.1:6668/#x", 1, kIrc, "127.0.0.1:6668/#x",
       "127.0.0.1", 6668},
      {"upper-case scheme, IRC default", "IRC://127.0.0.1", 1, kIrc, "127.0.0.1", "127.0.0.1",
       6667},
      {"upper-case scheme, hub default", "IRC://127.0.0.1", 0, kIrc, "127.0.0.1", "127.0.0.1", 411},
      {"blank after colon skipped", "DcHub://127.0.0.1: 7000", 1, kDcHub, "127.0.0.1: 7000",
       "127.0.0.1", 7000},
      {"backslash ends host", "127.0.0.1\\x", 1, kNone, "127.0.0.1\\x", "127.0.0.1", 6667},
      {"no digits give port zero", "127.0.0.1:abc", 1, kNone, "127.0.0.1:abc", "127.0.0.1", 0,
       false},
      {"port takes low sixteen bits", "h:65547", 1, kNone, "h:65547", "h", 11},
      {"only one prefix removed", "dchub://irc://h", 1, kDcHub, "irc://h", "irc", 0, false},
      {"scheme without slashes is a host", "irc:/h", 1, kNone, "irc:/h", "irc", 0, false},
      {"empty text", "", 1, kNone, "", "", 6667, false},
      {"ircs default port", "IrcS://irc.example", 0, kIrcs, "irc.example", "irc.example", 6697},
      {"IPv6 literal with port", "irc://[::1]:6668/#x", 1, kIrc, "[::1]:6668/#x", "::1", 6668},
      {"IPv6 literal, default port", "[fe80::1%eth0]", 1, kNone, "[fe80::1%eth0]", "fe80::1%eth0",
       6667},
      {"unclosed bracket", "irc://[::1", 1, kIrc, "[::1", "::1", 6667, false},
      {"bare IPv6 names no host", "::1", 1, kNone, "::1", "", 0, false},
      {"unknown scheme", "http://example.org", 1, kNone, "http://example.org", "http", 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ServerAddress address = parseServerAddress(row.text, row.upstreamKind);
    EXPECT_EQ(address.scheme, row.scheme);
    EXPECT_EQ(address.afterScheme, row.afterScheme);
    EXPECT_EQ(address.host, row.host);
    EXPECT_EQ(address.port, row.port);
    EXPECT_EQ(address.problem.empty(), row.usable) << address.problem;
  }
}

}  // namespace
}  // namespace quayside
