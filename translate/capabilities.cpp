#include "translate/capabilities.h"

#include "core/text.h"
#include "translate/login.h"
#include "translate/server_handlers.h"

#include <algorithm>
#include <array>

namespace quayside {
namespace {

using std::string_view;

struct Capability {
  string_view name;
  std::uint16_t bit;
};

constexpr std::array kCapabilities = {
    Capability{"multi-prefix", kCapMultiPrefix},
    Capability{"away-notify", kCapAwayNotify},
    Capability{"account-notify", kCapAccountNotify},
    Capability{"extended-join", kCapExtendedJoin},
    Capability{"chghost", kCapChghost},
    Capability{"server-time", kCapServerTime},
    Capability{"message-tags", kCapMessageTags},
    Capability{"cap-notify", kCapCapNotify},
    Capability{"userhost-in-names", kCapUserhostInNames},
    Capability{"invite-notify", kCapInviteNotify},
    Capability{"sasl", kCapSasl},
};

// The next word that is not empty: CAP words stand apart by any spaces.
string_view nextWord(IrcWords& words) {
  string_view word;
  while (word.empty() && !words.done()) {
    word = words.next();
  }
  return word;
}

// Calls `each(bit, removed)` for every capability of a CAP list that
// Quayside knows: words apart by spaces, each perhaps with "=value" after
// it and, in an ACK, "-" before it (disabled).
template <typename Each>
void forEachCapability(string_view list, Each&& each) {
  while (!list.empty()) {
    const std::size_t space = list.find(' ');
    string_view word = list.substr(0, space);
    list.remove_prefix(space == string_view::npos ? list.size() : space + 1);
    const bool removed = word.starts_with('-');
    if (removed) {
      word.remove_prefix(1);
    }
    if (const std::uint16_t bit = capabilityBit(word.substr(0, word.find('='))); bit != 0) {
      each(bit, removed);
    }
  }
}

std::uint16_t capabilitiesIn(string_view list) {
  std::uint16_t bits = 0;
  forEachCapability(list, [&](std::uint16_t bit, bool removed) {
    if (!removed) {
      bits |= bit;
    }
  });
  return bits;
}

// Whether login=sasl waits for the negotiation to ask for sasl.
bool saslWanted(const RelayState& relay) {
  return relay.options.login == LoginMode::kSasl && relay.loginStep == LoginStep::kCapRequested;
}

void request(RelayOutput& out, std::uint16_t bits) {
  Batch lines(out, Peer::kServer);
  lines.add([&](Composer& line) {
    line.append("CAP REQ :");
    bool first = true;
    for (const Capability& capability : kCapabilities) {
      if ((bits & capability.bit) != 0) {
        if (!first) {
          line.append(' ');
        }
        line.append(capability.name);
        first = false;
      }
    }
    line.terminate("\r\n");
  });
}

// Registration goes on: "CAP END", or with SASL still wanted, the news that
// the server offers none (which ends the negotiation the same way).
void finish(RelayState& relay, RelayOutput& out) {
  if (saslWanted(relay)) {
    refuseSaslOffer(relay, out);
    return;
  }
  out.send(Peer::kServer, "CAP END", "\r\n");
  relay.capStep = CapStep::kDone;
}

// The server knows no CAP: nothing more about it goes there.
void giveUp(RelayState& relay, RelayOutput& out) {
  relay.capStep = CapStep::kDone;
  if (saslWanted(relay)) {
    relay.password.wipe();
    relay.loginStep = LoginStep::kDone;
    sendLoginStatus(relay, out, "does not offer SASL logins; you are not logged in");
  }
}

}  // namespace

std::uint16_t capabilityBit(string_view name) {
  for (const Capability& capability : kCapabilities) {
    if (equalsIgnoringCase(name, capability.name)) {
      return capability.bit;
    }
  }
  return 0;
}

void startCapabilities(RelayState& relay, Batch& lines) {
  if (relay.capStep != CapStep::kNone) {
    return;
  }
  lines.add([](Composer& line) {
    line.append("CAP LS 302");
    line.terminate("\r\n");
  });
  relay.capStep = CapStep::kListing;
}

bool negotiatingCapabilities(const RelayState& relay) {
  return relay.capStep == CapStep::kListing || relay.capStep == CapStep::kRequested;
}

// "CAP <target> <subcommand> [*] :<capabilities>", words apart by any
// spaces; a "*" before the list says more lines of the same list follow.
bool takeCapReply(const ServerLine& line) {
  RelayState& relay = line.relay;
  IrcWords words = line.irc.wordsFrom(0);
  nextWord(words);  // the target
  const string_view subcommand = nextWord(words);
  string_view list = words.trailing() ? string_view() : words.rest();
  list.remove_prefix(std::min(list.find_first_not_of(' '), list.size()));
  const bool more = list.starts_with("* ");
  if (more) {
    list.remove_prefix(std::min(list.find_first_not_of(' ', 1), list.size()));
  }
  if (list.starts_with(':')) {
    list.remove_prefix(1);
  }
  const std::uint16_t listed = capabilitiesIn(list);

  if (equalsIgnoringCase(subcommand, "ls")) {
    relay.capsOffered |= listed;
    if (more || relay.capStep != CapStep::kListing) {
      return true;
    }
    std::uint16_t wanted = relay.capsOffered & kCapsWanted;
    if (saslWanted(relay)) {
      wanted |= relay.capsOffered & kCapSasl;
    }
    if (wanted == 0) {
      finish(relay, line.out);
      return true;
    }
    request(line.out, wanted);
    relay.capStep = CapStep::kRequested;
  } else if (equalsIgnoringCase(subcommand, "ack")) {
    forEachCapability(list, [&](std::uint16_t bit, bool removed) {
      relay.capsEnabled =
          static_cast<std::uint16_t>(removed ? relay.capsEnabled & ~bit : relay.capsEnabled | bit);
    });
    if (relay.capStep != CapStep::kRequested || more) {
      return true;
    }
    if (saslWanted(relay) && (relay.capsEnabled & kCapSasl) != 0) {
      beginSasl(relay, line.out);  // "CAP END" follows the login
      return true;
    }
    finish(relay, line.out);
  } else if (equalsIgnoringCase(subcommand, "nak")) {
    if (relay.capStep == CapStep::kRequested) {
      finish(relay, line.out);
    }
  } else if (equalsIgnoringCase(subcommand, "new")) {
    relay.capsOffered |= listed;
    const auto wanted = static_cast<std::uint16_t>(listed & kCapsWanted & ~relay.capsEnabled);
    if (relay.capStep == CapStep::kDone && wanted != 0) {
      request(line.out, wanted);
    }
  } else if (equalsIgnoringCase(subcommand, "del")) {
    relay.capsOffered = static_cast<std::uint16_t>(relay.capsOffered & ~listed);
    relay.capsEnabled = static_cast<std::uint16_t>(relay.capsEnabled & ~listed);
  } else {
    return false;  // shown, as any line no rule reads
  }
  return true;
}

// ":server 421 nick CAP :Unknown command": the LS was not understood.
bool takeUnknownCap(const ServerLine& line) {
  if (!negotiatingCapabilities(line.relay) || !equalsIgnoringCase(line.irc.parameter(1), "cap")) {
    return false;
  }
  giveUp(line.relay, line.out);
  return true;
}

void endCapabilitiesAtWelcome(RelayState& relay, RelayOutput& out) {
  if (negotiatingCapabilities(relay)) {
    giveUp(relay, out);
  }
}

}  // namespace quayside
