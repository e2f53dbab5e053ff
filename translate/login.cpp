#include "translate/login.h"

#include "core/base64.h"
#include "core/server_address.h"
#include "core/text.h"
#include "translate/composer.h"
#include "translate/server_handlers.h"

#include <algorithm>
#include <array>
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
  relay.capStep = CapStep::kDone;
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

}  // namespace

void beginSasl(RelayState& relay, RelayOutput& out) {
  sendServerLine(out, "AUTHENTICATE PLAIN");
  relay.loginStep = LoginStep::kMechanismSent;
}

void refuseSaslOffer(RelayState& relay, RelayOutput& out) {
  endSasl(relay, out);
  sendLoginStatus(relay, out, "does not offer SASL logins; you are not logged in");
}

// "AUTHENTICATE <challenge>": PLAIN expects only the empty one, "+".
bool takeChallenge(const ServerLine& line) {
  RelayState& relay = line.relay;
  if (!inSasl(relay)) {
    return false;
  }
  if (relay.loginStep != LoginStep::kMechanismSent) {
    return true;  // the credentials go out once, never again
  }
  string_view challenge = line.irc.rest(0);
  challenge.remove_prefix(std::min(challenge.find_first_not_of(' '), challenge.size()));
  if (challenge.starts_with(':')) {
    challenge.remove_prefix(1);
  }
  if (challenge == "+") {
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
bool takePasswordError(const ServerLine& line) {
  RelayState& relay = line.relay;
  if (relay.loginStep != LoginStep::kPassSent) {
    return false;
  }
  const string_view text = line.irc.rest(0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (startsWithIgnoringCase(text.substr(i), "password")) {
      refusePassword(relay, line.out, "refused the password");
      return true;
    }
  }
  return false;
}

bool notePassWelcome(const ServerLine& line) {
  RelayState& relay = line.relay;
  if (relay.loginStep == LoginStep::kPassSent) {
    relay.loginStep = LoginStep::kDone;
  }
  return false;  // the welcome itself is shown as always
}

bool takePasswordMismatch(const ServerLine& line) {
  if (line.relay.loginStep != LoginStep::kPassSent) {
    return false;
  }
  refusePassword(line.relay, line.out, "refused the password");
  return true;
}

bool takeSaslSuccess(const ServerLine& line) {
  RelayState& relay = line.relay;
  if (relay.loginStep != LoginStep::kPayloadSent && relay.loginStep != LoginStep::kMechanismSent) {
    return false;
  }
  endSasl(relay, line.out);
  return true;
}

bool takeSaslRefusal(const ServerLine& line) {
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

bool takeSaslFailure(const ServerLine& line) {
  RelayState& relay = line.relay;
  if (relay.loginStep != LoginStep::kPayloadSent && relay.loginStep != LoginStep::kMechanismSent) {
    return false;
  }
  endSasl(relay, line.out);
  sendLoginStatus(relay, line.out, "did not complete the SASL login; you are not logged in");
  return true;
}

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

bool loginHoldsJoin(const RelayState& relay) {
  return relay.options.login != LoginMode::kNone && relay.loginStep != LoginStep::kDone;
}

}  // namespace quayside
