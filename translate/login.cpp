#include "translate/login.h"

#include "core/base64.h"
#include "core/server_address.h"
#include "core/text.h"
#include "translate/composer.h"
#include "translate/server_handlers.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace quayside {
namespace {

using std::string_view;

constexpr string_view kCrLf = "\r\n";
// IRCv3 SASL: the payload goes in pieces of 400 bytes; a last piece of
// exactly 400 is followed by "+" so the server knows it has all.
constexpr std::size_t kSaslChunk = 400;

// Account, NUL, account, NUL, password: the SASL PLAIN message.
using PlainScratch = std::array<char, 2 * kNickCapacity + kPasswordCapacity>;
using EncodedScratch = std::array<char, base64Size(PlainScratch{}.size())>;

bool inSasl(const RelayState& relay) {
  return relay.loginStep == LoginStep::kCapRequested ||
         relay.loginStep == LoginStep::kMechanismSent || relay.loginStep == LoginStep::kPayloadSent;
}

void sendServerLine(RelayOutput& out, string_view text) {
  out.send(Peer::kServer, text, kCrLf);
}

// Ends SASL: "CAP END" lets registration finish; the password is gone.
void endSasl(RelayState& relay, RelayOutput& out) {
  sendServerLine(out, "CAP END");
  relay.password.wipe();
  relay.loginStep = LoginStep::kDone;
}

// "AUTHENTICATE +" answered: the PLAIN message, account being the nick.
void sendCredentials(RelayState& relay, RelayOutput& out) {
  PlainScratch plain{};
  EncodedScratch encoded{};
  const string_view nick = relay.nick.view();
  const string_view password = relay.password.view();
  std::size_t size = 0;
  for (const string_view piece : {nick, string_view("\0", 1), nick, string_view("\0", 1)}) {
    piece.copy(plain.data() + size, piece.size());
    size += piece.size();
  }
  password.copy(plain.data() + size, password.size());
  size += password.size();
  const std::size_t length = base64Encode({plain.data(), size}, encoded);
  {
    Batch lines(out, Peer::kServer);
    for (std::size_t at = 0; at < length; at += kSaslChunk) {
      const string_view piece(encoded.data() + at, std::min(kSaslChunk, length - at));
      lines.add([&](Composer& line) {
        line.append("AUTHENTICATE ");
        line.append(piece);
        line.terminate(kCrLf);
      });
    }
    if (length % kSaslChunk == 0) {
      lines.add([](Composer& line) {
        line.append("AUTHENTICATE +");
        line.terminate(kCrLf);
      });
    }
  }
  wipeBytes(plain);
  wipeBytes(encoded);
  relay.password.wipe();
  relay.loginStep = LoginStep::kPayloadSent;
}

// Where the next word starts: past any run of spaces.
std::size_t skipSpaces(const ServerData& data, std::size_t at) {
  while (data.at(at) == ' ' && at < data.size()) {
    ++at;
  }
  return at;
}

bool sameIgnoringCase(string_view text, string_view lower) {
  return text.size() == lower.size() && startsWithIgnoringCase(text, lower);
}

// Whether the capability list from `at` names "sasl" as a whole word. A NUL
// ends the list, as it ends every word.
bool listsSasl(const ServerData& data, std::size_t at) {
  at = data.skip(at, ':');
  while (at < data.size() && data.at(at) != '\0') {
    const std::size_t end = data.wordEnd(at, kParameterStops);
    if (sameIgnoringCase(data.slice(at, end), "sasl")) {
      return true;
    }
    at = skipSpaces(data, end);
  }
  return false;
}

// "CAP <target> ACK|NAK [*] :<capabilities>", words apart by any spaces.
bool capReply(const ServerLine& line, std::size_t at) {
  RelayState& relay = line.relay;
  if (!inSasl(relay)) {
    return false;
  }
  const ServerData& data = line.data;
  const std::size_t target = skipSpaces(data, at);
  const std::size_t command = skipSpaces(data, data.wordEnd(target, kParameterStops));
  const std::size_t commandEnd = data.wordEnd(command, kParameterStops);
  const string_view subcommand = data.slice(command, commandEnd);
  const bool ack = sameIgnoringCase(subcommand, "ack");
  if (!ack && !sameIgnoringCase(subcommand, "nak")) {
    return false;
  }
  if (relay.loginStep != LoginStep::kCapRequested) {
    return true;  // a late or repeated reply changes nothing
  }
  std::size_t list = skipSpaces(data, commandEnd);
  if (data.at(list) == '*' && data.at(list + 1) == ' ') {
    list = skipSpaces(data, list + 1);
  }
  if (!listsSasl(data, list)) {
    return true;  // only sasl was asked for; anything else is no answer to it
  }
  if (ack) {
    sendServerLine(line.out, "AUTHENTICATE PLAIN");
    relay.loginStep = LoginStep::kMechanismSent;
  } else {
    endSasl(relay, line.out);
    sendLoginStatus(relay, line.out, "does not offer SASL logins; you are not logged in");
  }
  return true;
}

// "AUTHENTICATE <challenge>": PLAIN expects only the empty one, "+".
bool challenge(const ServerLine& line, std::size_t at) {
  RelayState& relay = line.relay;
  if (!inSasl(relay)) {
    return false;
  }
  if (relay.loginStep != LoginStep::kMechanismSent) {
    return true;  // the credentials go out once, never again
  }
  const ServerData& data = line.data;
  const std::size_t word = data.skip(skipSpaces(data, at), ':');
  if (data.slice(word, data.size()) == "+") {
    sendCredentials(relay, line.out);
    return true;
  }
  sendServerLine(line.out, "AUTHENTICATE *");
  endSasl(relay, line.out);
  sendLoginStatus(relay, line.out,
                  "asked a SASL question that PLAIN does not answer; you are not logged in");
  return true;
}

// "ERROR :..." before the welcome: ngIRCd refuses a bad PASS this way, with
// no numeric, saying "password".
bool serverError(const ServerLine& line, std::size_t at) {
  RelayState& relay = line.relay;
  if (relay.loginStep != LoginStep::kPassSent) {
    return false;
  }
  const string_view text = line.data.slice(at, line.data.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (startsWithIgnoringCase(text.substr(i), "password")) {
      refusePassword(relay, line.out, "refused the password");
      return true;
    }
  }
  return false;
}

bool welcomed(const ServerLine& line, std::size_t) {
  RelayState& relay = line.relay;
  if (relay.loginStep == LoginStep::kPassSent) {
    relay.loginStep = LoginStep::kDone;
  }
  return false;  // the welcome itself is shown as always
}

bool passwordMismatch(const ServerLine& line, std::size_t) {
  if (line.relay.loginStep != LoginStep::kPassSent) {
    return false;
  }
  refusePassword(line.relay, line.out, "refused the password");
  return true;
}

bool saslSucceeded(const ServerLine& line, std::size_t) {
  RelayState& relay = line.relay;
  if (relay.loginStep != LoginStep::kPayloadSent && relay.loginStep != LoginStep::kMechanismSent) {
    return false;
  }
  endSasl(relay, line.out);
  return true;
}

bool saslRefused(const ServerLine& line, std::size_t) {
  RelayState& relay = line.relay;
  if (relay.loginStep == LoginStep::kPayloadSent) {
    endSasl(relay, line.out);
    refusePassword(relay, line.out, "refused the password");
    return true;
  }
  if (relay.loginStep == LoginStep::kMechanismSent) {
    // The password never left: no "$BadPass", which makes the client forget it.
    endSasl(relay, line.out);
    sendLoginStatus(relay, line.out, "does not take SASL PLAIN logins; you are not logged in");
    return true;
  }
  return false;
}

bool saslFailed(const ServerLine& line, std::size_t) {
  RelayState& relay = line.relay;
  if (relay.loginStep != LoginStep::kPayloadSent && relay.loginStep != LoginStep::kMechanismSent) {
    return false;
  }
  endSasl(relay, line.out);
  sendLoginStatus(relay, line.out, "did not complete the SASL login; you are not logged in");
  return true;
}

using LoginHandler = bool (*)(const ServerLine&, std::size_t);

struct WordRule {
  string_view word;  // compared case-sensitively at the command word
  LoginHandler handle;
};

struct NumericRule {
  std::uint32_t number;
  LoginHandler handle;
};

constexpr std::array kWordRules = {
    WordRule{"CAP ", capReply},
    WordRule{"AUTHENTICATE ", challenge},
    WordRule{"ERROR ", serverError},
};

constexpr std::array kNumericRules = {
    NumericRule{1, welcomed},            // RPL_WELCOME
    NumericRule{464, passwordMismatch},  // ERR_PASSWDMISMATCH
    NumericRule{902, saslFailed},        // ERR_NICKLOCKED
    NumericRule{903, saslSucceeded},     // RPL_SASLSUCCESS
    NumericRule{904, saslRefused},       // ERR_SASLFAIL
    NumericRule{905, saslFailed},        // ERR_SASLTOOLONG
    NumericRule{906, saslFailed},        // ERR_SASLABORTED
    NumericRule{907, saslSucceeded},     // ERR_SASLALREADY
};

// The three digits at `at` followed by a space, as a number; none otherwise.
std::optional<std::uint32_t> numericAt(const ServerData& data, std::size_t at) {
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const char digit = data.at(at + i);
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    number = number * 10 + static_cast<std::uint32_t>(digit - '0');
  }
  if (data.at(at + 3) != ' ') {
    return std::nullopt;
  }
  return number;
}

}  // namespace

void sendLoginStatus(const RelayState& relay, RelayOutput& out, std::string_view words) {
  const string_view host = parseServerAddress(relay.serverText.view(), relay.upstreamKind).host;
  Batch status(out, Peer::kClient);
  status.add([&](Composer& line) {
    line.append("*** The IRC server ");
    if (!host.empty()) {
      line.appendEscaped(host);
      line.append(' ');
    }
    line.appendEscaped(words);
    line.terminate("|");
  });
}

void refusePassword(RelayState& relay, RelayOutput& out, std::string_view words) {
  relay.password.wipe();
  relay.loginStep = LoginStep::kDone;
  out.send(Peer::kClient, "$BadPass|");
  sendLoginStatus(relay, out, words);
  // The client was told; the relay logs the same reason.
  out.endSession(
      {EndCause::kPasswordRefused, EndSide::kServer, "the IRC server refused the password", ""});
  out.closeClient();
}

bool takeLoginLine(const ServerLine& line, std::size_t at) {
  if (line.relay.options.login == LoginMode::kNone) {
    return false;
  }
  for (const WordRule& rule : kWordRules) {
    if (line.data.startsWith(at, rule.word)) {
      return rule.handle(line, at + rule.word.size());
    }
  }
  if (const std::optional<std::uint32_t> number = numericAt(line.data, at)) {
    for (const NumericRule& rule : kNumericRules) {
      if (rule.number == *number) {
        return rule.handle(line, at + 4);
      }
    }
  }
  return false;
}

bool loginHoldsJoin(const RelayState& relay) {
  return relay.options.login != LoginMode::kNone && relay.loginStep != LoginStep::kDone;
}

bool loginEndsRun(const RelayState& relay, std::uint32_t number) {
  if (relay.options.login == LoginMode::kNone) {
    return false;
  }
  for (const NumericRule& rule : kNumericRules) {
    if (rule.number == number) {
      return true;
    }
  }
  return false;
}

}  // namespace quayside
