#include "translate/ctcp.h"

#include "translate/composer.h"

#include <algorithm>

namespace quayside {
namespace {

using namespace std::string_view_literals;

constexpr std::size_t kServerLineLimit = 512;
constexpr std::size_t kReplyEndSize = 3;  // 0x01 CR LF

}  // namespace

std::optional<CtcpRequest> parseCtcp(std::string_view text) {
  if (text.empty() || text.front() != '\x01') {
    return std::nullopt;
  }
  std::string_view body = text.substr(1);
  body = body.substr(0, body.find('\x01'));
  const std::size_t space = body.find(' ');
  if (space == std::string_view::npos) {
    return CtcpRequest{body, {}};
  }
  return CtcpRequest{body.substr(0, space), body.substr(space + 1)};
}

std::optional<std::string_view> meAction(std::string_view text) {
  constexpr std::string_view kMe = "/me ";
  if (!text.starts_with(kMe)) {
    return std::nullopt;
  }
  return text.substr(kMe.size());
}

void answerCtcp(RelayOutput& out, std::string_view sender, const CtcpRequest& request) {
  const bool version = request.command == "VERSION";
  if ((!version && request.command != "PING") || sender.empty() ||
      sender.find_first_of("\r\n\0 "sv) != std::string_view::npos || !out.mayAnswer()) {
    return;
  }
  Composer line(out.area(Peer::kServer));
  line.append("NOTICE "sv);
  line.append(sender);
  line.append(" :\x01"sv);
  if (version) {
    line.append("VERSION Quayside " QUAYSIDE_VERSION ""sv);
  } else {
    std::string_view argument = request.argument;
    argument = argument.substr(0, argument.find_first_of("\r\n\0"sv));
    const std::size_t used = line.size() + 5 + kReplyEndSize;  // "PING " and the end
    if (used > kServerLineLimit) {
      return;  // no sender nick is that long
    }
    std::size_t cut = std::min(argument.size(), kServerLineLimit - used);
    // Never inside a UTF-8 character.
    while (cut < argument.size() && cut > 0 &&
           (static_cast<unsigned char>(argument[cut]) & 0xC0u) == 0x80u) {
      --cut;
    }
    line.append("PING"sv);
    if (!request.argument.empty()) {
      line.append(' ');
      line.append(argument.substr(0, cut));
    }
  }
  line.append('\x01');
  line.terminate("\r\n");
  out.commit(Peer::kServer, line.size());
}

}  // namespace quayside
