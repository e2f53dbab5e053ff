#include "fuzz_support.h"

#include "platform/charset.h"
#include "relay_fixture.h"
#include "translate/output.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quayside::fuzz {
namespace {

using namespace std::string_view_literals;

constexpr std::size_t kServerLineLimit = 512;
// Every command the gateway itself composes for the hub client, by prefix.
constexpr std::array kGatewayCommands = {
    "$Hello "sv,      "$Supports "sv, "$MyINFO $ALL "sv, "$UserCommand "sv,
    "$HubName "sv,    "$OpList "sv,   "$Quit "sv,        "$NickChange "sv,
    "$ClientNick "sv, "$To: "sv,      "$BotList "sv,
};
// The login's commands, which have no parameters.
constexpr std::array kGatewayWords = {"$GetPass"sv, "$BadPass"sv};

// The client character sets a session variant may start with: the default
// guess, UTF-8 by name, and converters with multibyte and shifting forms.
constexpr std::array<std::string_view, 8> kCharsets = {
    ""sv,       "utf-8"sv,        "windows-1251"sv, "CP932"sv, "ISO-2022-JP"sv,
    "koi8-r"sv, "windows-1252"sv, "EUC-JP"sv,
};
// How far a login has come, per login mode.
constexpr std::array kPassSteps = {LoginStep::kIdle, LoginStep::kAsked, LoginStep::kPassSent,
                                   LoginStep::kDone};
constexpr std::array kSaslSteps = {LoginStep::kIdle,         LoginStep::kAsked,
                                   LoginStep::kCapRequested, LoginStep::kMechanismSent,
                                   LoginStep::kPayloadSent,  LoginStep::kDone};

bool isGatewayCommand(std::string_view command) {
  if (!command.starts_with('$')) {
    return true;  // chat or status text: not a command the client would run
  }
  for (const std::string_view prefix : kGatewayCommands) {
    if (command.starts_with(prefix)) {
      return true;
    }
  }
  for (const std::string_view word : kGatewayWords) {
    if (command == word) {
      return true;
    }
  }
  return false;
}

}  // namespace

void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "finding: %s\n", what);
  for (const char byte : detail) {
    std::fprintf(stderr, (byte >= 0x20 && byte < 0x7F) ? "%c" : "\\x%02x",
                 static_cast<unsigned char>(byte));
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

std::vector<std::string> receivesOf(std::span<const std::uint8_t> input, std::size_t limit) {
  std::vector<std::string> receives;
  std::size_t fed = 0;
  std::size_t i = 0;
  while (i + 2 <= input.size() && fed < limit) {
    const std::size_t n = input[i] | static_cast<std::size_t>(input[i + 1]) << 8;
    i += 2;
    if (n < 0x8000) {
      const std::size_t count = n + 1 < input.size() - i ? n + 1 : input.size() - i;
      receives.emplace_back(reinterpret_cast<const char*>(input.data() + i), count);
      i += count;
    } else {
      const char fill = i < input.size() ? static_cast<char>(input[i++]) : 'x';
      receives.emplace_back((n & 0x7FFF) + 1, fill);
    }
    if (receives.back().size() > limit - fed) {
      receives.back().resize(limit - fed);
    }
    fed += receives.back().size();
  }
  // A receive is never empty: the relay ends a stream on an empty one.
  std::erase_if(receives, [](const std::string& bytes) { return bytes.empty(); });
  return receives;
}

void applySessionVariant(RelayState& relay, std::uint8_t variant) {
  const std::string_view charset = kCharsets[(variant >> 2) & 0x07];
  relay.options.charset.assign(charset);
  const bool converted = !charset.empty() && !platform::isUtf8Name(charset);
  relay.clientCharset = testing::charsetFor(converted ? charset : ""sv);
  if (converted && relay.clientCharset == nullptr) {
    fail("the system cannot open a character set", std::string(charset));
  }
  const std::size_t step = variant >> 5;
  switch (variant & 0x03) {
    case 0:
      relay.options.login = LoginMode::kNone;
      break;
    case 1:
      relay.options.login = LoginMode::kPass;
      relay.loginStep = kPassSteps[step % kPassSteps.size()];
      break;
    default:
      relay.options.login = LoginMode::kSasl;
      relay.loginStep = kSaslSteps[step % kSaslSteps.size()];
      // SASL holds the password from "$MyPass" until it has sent it; the
      // longest one makes the credentials several AUTHENTICATE pieces.
      if (relay.loginStep == LoginStep::kCapRequested) {
        relay.password.assign("hunter2");
      } else if (relay.loginStep == LoginStep::kMechanismSent) {
        relay.password.assign(std::string(kPasswordCapacity - 1, 'p'));
      }
      break;
  }
}

void checkServerSends(const testing::RecordingOutput& out) {
  for (const std::string& send : out.server) {
    if (send.empty() || send.size() > kOutCapacity || !send.ends_with("\r\n")) {
      fail("send to the server not whole lines", send);
    }
    for (std::size_t at = 0; at < send.size();) {
      const std::size_t end = send.find("\r\n", at);
      const std::string_view line = std::string_view(send).substr(at, end - at);
      if (line.size() + 2 > kServerLineLimit) {
        fail("line to the server over 512 bytes", send);
      }
      if (line.find_first_of("\r\n\0"sv) != std::string_view::npos) {
        fail("CR, LF or NUL inside a line to the server", send);
      }
      at = end + 2;
    }
  }
}

void checkClientSends(const testing::RecordingOutput& out) {
  // A long echo spans several sends; together they must be whole commands.
  std::string sent;
  for (const std::string& send : out.client) {
    if (send.empty() || send.size() > kOutCapacity) {
      fail("send to the client empty or over one area", send);
    }
    sent += send;
  }
  if (!sent.empty() && !sent.ends_with('|')) {
    fail("sends to the client not whole commands", sent);
  }
  for (std::size_t at = 0; at < sent.size();) {
    const std::size_t end = sent.find('|', at);
    if (!isGatewayCommand(std::string_view(sent).substr(at, end - at))) {
      fail("command to the client the gateway did not compose", sent.substr(at, end - at));
    }
    at = end + 1;
  }
}

void checkHeld(const Relay& relay) {
  const bool longHeld = relay.clientLongBuffer != nullptr;
  if (relay.clientLength > (longHeld ? kLongMessageLimit + 1 : kStreamCapacity) ||
      relay.serverLength > kStreamCapacity ||
      (longHeld ? relay.clientLongBuffer[relay.clientLength]
                : relay.clientBuffer[relay.clientLength]) != '\0' ||
      relay.serverBuffer[relay.serverLength] != '\0') {
    fail("held bytes outside the buffer or not followed by a NUL", {});
  }
}

}  // namespace quayside::fuzz
