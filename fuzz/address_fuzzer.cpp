// The server-address grammar and the daemon's command line: no crash, every
// view the grammar returns lies within the text it read, and an address or
// a --bridge that reads writes back to text that reads the same.
#include "bridge/bridge.h"
#include "bridge/daemon.h"
#include "core/fixed_text.h"
#include "core/server_address.h"
#include "fuzz_support.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace quayside;

namespace {

constexpr std::array<std::string_view, 4> kPrefixes = {"", "irc://", "ircs://", "dchub://"};

bool within(std::string_view part, std::string_view text) {
  return part.empty() ||
         (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}

void checkAddress(std::string_view text, std::uint8_t upstreamKind) {
  const ServerAddress address = parseServerAddress(text, upstreamKind);
  if (!within(address.afterScheme, text) || !within(address.host, text) ||
      !text.ends_with(address.afterScheme)) {
    fuzz::fail("an address view outside the text read", std::string(text));
  }
  if (!address.problem.empty()) {
    return;
  }
  if (address.host.empty() || address.port == 0) {
    fuzz::fail("an address read without a problem lacks a host or port", std::string(text));
  }
  // Written out again with its port, it reads the same.
  const bool bracketed = address.afterScheme.starts_with('[');
  std::string again(kPrefixes[static_cast<std::size_t>(address.scheme)]);
  again += bracketed ? "[" + std::string(address.host) + "]" : std::string(address.host);
  again += ":" + std::to_string(address.port);
  const ServerAddress reread = parseServerAddress(again, upstreamKind);
  if (!reread.problem.empty() || reread.scheme != address.scheme || reread.host != address.host ||
      reread.port != address.port) {
    fuzz::fail("an address written out reads back differently", std::string(text) + " / " + again);
  }
}

std::string bridgeText(const Bridge& bridge) {
  std::string text = std::to_string(bridge.localPort) + "=" +
                     std::string(fieldText(bridge.server)) + "/" +
                     std::string(fieldText(bridge.channel));
  if (const std::string options = formatOptions(bridge.options); !options.empty()) {
    text += "," + options;
  }
  return text;
}

void checkBridge(std::string_view text) {
  Bridge bridge;
  std::string error;
  if (!parseBridgeOption(text, bridge, error)) {
    if (error.empty()) {
      fuzz::fail("a --bridge refused without a reason", std::string(text));
    }
    return;
  }
  if (text.find('\0') != std::string_view::npos) {
    return;  // the record's texts end at a NUL: a command line never holds one
  }
  const std::string_view channel = fieldText(bridge.channel);
  if (bridge.enabled == 0 || bridge.localPort == 0 || channel.empty() ||
      channel.find_first_of(",/") != std::string_view::npos) {
    fuzz::fail("a --bridge read into an unusable Bridge", std::string(text));
  }
  const std::string again = bridgeText(bridge);
  Bridge reread;
  if (!parseBridgeOption(again, reread, error) ||
      fieldText(reread.server) != fieldText(bridge.server) ||
      fieldText(reread.channel) != channel || reread.localPort != bridge.localPort ||
      !(reread.options == bridge.options)) {
    fuzz::fail("a --bridge written out reads back differently", std::string(text) + " / " + again);
  }
}

}  // namespace

// The first byte picks the upstream kind for the grammar; the rest is read
// as an address, as one --bridge value, and, split at each line feed, as
// the daemon's arguments.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  checkAddress(text, data[0] & 0x01);
  checkBridge(text);

  std::vector<std::string_view> arguments;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    arguments.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  const DaemonArguments parsed = parseDaemonArguments(arguments);
  if (parsed.ok != parsed.error.empty() || parsed.bridges.size() > arguments.size()) {
    fuzz::fail("daemon arguments read inconsistently", std::string(text));
  }
  return 0;
}
