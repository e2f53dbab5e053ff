#include "translate/composer.h"
#include "translate/irc_nick.h"
#include "translate/nmdc_text.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"
#include "translate/server_support.h"

#include <array>
#include <optional>

namespace quayside {
namespace {

Batch clientBatch(const ServerLine& line) {
  return Batch(line.out, Peer::kClient);
}

// Each takes the member's IRC nick and shows its name (memberName).
void addOperatorMark(const RelayState& relay, Batch& batch, std::string_view nick) {
  std::string storage;
  const std::string_view name = memberName(relay, nick, storage);
  addWhole(batch, [&](Composer& c) {
    c.append("$OpList ");
    c.appendEscaped(name);
    c.append("$$");
    c.terminate("|");
  });
}

void addQuit(const RelayState& relay, Batch& batch, std::string_view nick) {
  std::string storage;
  const std::string_view name = memberName(relay, nick, storage);
  addWhole(batch, [&](Composer& c) {
    c.append("$Quit ");
    c.appendEscaped(name);
    c.terminate("|");
  });
}

// The member's away mark goes with every user information sent again.
void addUserInfo(const RelayState& relay, Batch& batch, std::string_view nick,
                 std::string_view description) {
  std::string storage;
  const std::string_view name = memberName(relay, nick, storage);
  const bool away = relay.memberRanks.isAway(nick);
  addWhole(batch, [&](Composer& c) { appendUserInfo(c, name, description, away); });
}

// Marks the member away or back; true when that changed the mark (an away
// member's new reason changes nothing the client shows).
bool changeAway(RelayState& relay, std::string_view nick, bool away) {
  const bool before = relay.memberRanks.isAway(nick);
  relay.memberRanks.setAway(nick, away);
  // Past the tracked limit a mark is not kept, so it did not change either.
  return relay.memberRanks.isAway(nick) != before;
}

// The session's end by a kick, with "You were kicked from #chan by op
// (reason)" as its detail.
void noteOwnKick(const ServerLine& line, std::string_view channel, std::string_view raw) {
  std::array<char, kEndReasonCapacity> plain;
  const std::string_view why(plain.data(), stripFormatting(raw, plain.data(), plain.size()));
  std::array<char, kEndReasonCapacity> words;
  const std::size_t size = [&] {
    Composer c(words);
    c.append("You were kicked from ");
    c.append(channel);
    if (line.hasPrefix()) {
      c.append(" by ");
      c.append(senderNick(line.irc));
    }
    if (!why.empty()) {
      c.append(" (");
      c.append(why);
      c.append(")");
    }
    return c.size();
  }();
  line.out.endSession({EndCause::kKicked, EndSide::kServer, "client was kicked from the channel",
                       std::string(words.data(), size)});
}

}  // namespace

void handleJoin(const ServerLine& line) {
  RelayState& relay = line.relay;
  Batch batch = clientBatch(line);
  if ((relay.loginFlags & kLoginHubNamed) == 0) {
    // The first JOIN answers our own channel JOIN: the channel becomes the hub.
    addWhole(batch, [&](Composer& c) {
      c.append("$HubName ");
      appendEscapedChannelTarget(c, relay.channel.view());
      c.terminate("|");
    });
    relay.loginFlags |= kLoginHubNamed;
    return;
  }
  const std::string_view joined = senderNick(line.irc);
  // Nobody can be listed without a name, and the client is never listed.
  if (!line.hasPrefix() || joined.empty() || nickMatches(ircNickOf(relay), joined)) {
    return;
  }
  relay.rooms.mainMembers().add(joined);
  addUserInfo(line.relay, batch, joined, line.irc.userHost());
}

std::optional<NamesEntry> takeNamesEntry(const RelayState& relay, std::string_view& names) {
  while (!names.empty()) {
    const std::size_t space = names.find(' ');
    const std::string_view entry = names.substr(0, space);
    names.remove_prefix(space == std::string_view::npos ? names.size() : space + 1);
    // Status symbols in front ("@+bob" with multi-prefix) are no part of
    // the nick.
    NamesEntry taken;
    taken.symbols = entry.substr(0, statusSymbolCount(relay, entry));
    taken.nick = entry.substr(taken.symbols.size());
    // With userhost-in-names an entry is "nick!user@host".
    if (const std::size_t bang = taken.nick.find('!');
        (relay.capsEnabled & kCapUserhostInNames) != 0 && bang != std::string_view::npos) {
      taken.userHost = taken.nick.substr(bang + 1);
      taken.nick = taken.nick.substr(0, bang);
    }
    // A list ending in a space (or a lone "@") names nobody.
    if (!taken.nick.empty()) {
      return taken;
    }
  }
  return std::nullopt;
}

void handleNamesList(const ServerLine& line) {
  // The names are the ':'-led text; a list without one names nobody.
  if (!line.irc.hasTrailing()) {
    return;
  }
  const std::string_view nick = ircNickOf(line.relay);
  std::string_view names = line.irc.parameter(line.irc.parameterCount() - 1);
  while (const std::optional<NamesEntry> entry = takeNamesEntry(line.relay, names)) {
    if (nickMatches(nick, entry->nick)) {
      continue;
    }
    // The highest status decides.
    const std::uint16_t ranks = operatorRanks(line.relay, entry->symbols);
    Batch batch = clientBatch(line);  // one send per member
    line.relay.memberRanks.set(entry->nick, ranks);
    line.relay.rooms.mainMembers().add(entry->nick);
    if (ranks != 0) {
      addOperatorMark(line.relay, batch, entry->nick);
    }
    addUserInfo(line.relay, batch, entry->nick, entry->userHost);
  }
}

void handleDeparture(const ServerLine& line) {
  const std::string_view leaving = senderNick(line.irc);
  if (!line.hasPrefix() || leaving.empty()) {
    return;
  }
  line.relay.memberRanks.forget(leaving);
  line.relay.rooms.mainMembers().remove(leaving);
  Batch batch = clientBatch(line);
  addQuit(line.relay, batch, leaving);
}

void handleKick(const ServerLine& line) {
  const IrcLine& irc = line.irc;
  const std::string_view kickedNick = irc.middle(1);
  if (kickedNick.empty()) {
    return;  // a kick of nobody
  }

  const std::string_view reason = irc.textAfter(2);
  if (line.hasPrefix()) {
    std::string kickerStorage;
    std::string kickedStorage;
    const std::string_view kicker = memberName(line.relay, senderNick(irc), kickerStorage);
    // The same wording that the client's own kick announcements use.
    LongMessage message(line.out);
    message.head().append('<');
    message.head().appendEscaped(kicker);
    message.head().append("> ");
    message.endHead();
    message.appendText(kicker);
    message.appendPlain(" is kicking ");
    message.appendText(memberName(line.relay, kickedNick, kickedStorage));
    message.appendPlain(" because: ");
    // Formatting and CTCP bytes are never shown to the client.
    std::array<char, kStreamCapacity> plain;
    message.appendText({plain.data(), stripFormatting(reason, plain.data(), plain.size())});
    message.send();
  }

  if (nickMatches(ircNickOf(line.relay), kickedNick)) {
    // Kicked itself: the hub session is over; the relay thread sees the
    // closed client and ends the Relay. Who kicked and why is kept for the
    // retries the kick holds off.
    noteOwnKick(line, irc.middle(0), reason);
    line.out.closeClient();
    return;
  }
  line.relay.memberRanks.forget(kickedNick);
  line.relay.rooms.mainMembers().remove(kickedNick);
  Batch batch = clientBatch(line);
  addQuit(line.relay, batch, kickedNick);
}

void handleNickChange(const ServerLine& line) {
  RelayState& relay = line.relay;
  const std::string_view oldNick = senderNick(line.irc);
  // The new nick is the first parameter's first word.
  const std::string_view newNick =
      line.irc.parameter(0).substr(0, line.irc.parameter(0).find_first_of(" !:"));
  if (oldNick.empty() || newNick.empty()) {
    return;  // a rename from or to no name names nobody
  }
  relay.memberRanks.rename(oldNick, newNick);
  if (relay.rooms.mainMembers().contains(oldNick)) {
    relay.rooms.mainMembers().remove(oldNick);
    relay.rooms.mainMembers().add(newNick);
  }

  // Decided before the nicks change; the prefix nick ends at its '!'. The
  // client is recognised by its IRC nick; its DC nick follows a rename only
  // where the two were one.
  const bool ownOnIrc = nickMatches(ircNickOf(relay), oldNick);
  const bool own = ownOnIrc && nickMatches(relay.nick.view(), oldNick);
  if (own) {
    relay.nick.assign(newNick);
  }
  if (ownOnIrc) {
    const bool asked = noteOwnNickChange(relay, newNick);
    if (!own && relay.nick.view() != newNick) {
      // The DC side keeps its nick: no user of the list was renamed.
      tellIrcNick(relay, line.out, asked ? std::string_view() : "the server renamed you");
      return;
    }
  }
  const bool supportsNickChange = (relay.clientFeatures & kFeatureNickChange) != 0;
  if (!supportsNickChange && !line.hasPrefix()) {
    return;  // no user@host to rebuild the user with
  }

  std::string oldStorage;
  std::string newStorage;
  const std::string_view oldName = memberName(relay, oldNick, oldStorage);
  const std::string_view newName = memberName(relay, newNick, newStorage);
  Batch batch = clientBatch(line);
  addWhole(batch, [&](Composer& c) {
    c.append("*** ");
    c.appendEscaped(oldName);
    c.append(" is now known as ");
    c.appendEscaped(newName);
    c.terminate("|");
  });
  if (supportsNickChange) {
    if (own) {
      addWhole(batch, [&](Composer& c) {
        c.append("$ClientNick ");
        c.appendEscaped(newNick);
        c.terminate("|");
      });
    }
    addWhole(batch, [&](Composer& c) {
      c.append("$NickChange ");
      c.appendEscaped(oldName);
      c.append(' ');
      c.appendEscaped(newName);
      c.terminate("|");
    });
    return;
  }
  // Without NickChange the user leaves the list and comes back renamed.
  // An operator comes back as one.
  addQuit(line.relay, batch, oldNick);
  if (relay.memberRanks.holdsAny(newNick)) {
    addOperatorMark(line.relay, batch, newNick);
  }
  addUserInfo(line.relay, batch, newNick, line.irc.userHost());
}

// A channel MODE that does more than change operator ranks (a ban, a key,
// a limit, voice, ...) is told, so the DC user's own Set Ban and Unban are
// confirmed: "*** op sets mode +b *!*@evil.test".
void tellModeChange(const ServerLine& line, Batch& batch, std::string_view target,
                    std::size_t modeIndex) {
  const IrcLine& irc = line.irc;
  const char first = target.empty() ? '\0' : target.front();
  if (first != '#' && first != '&' && first != '!' && first != '+') {
    return;  // the user's own modes, or a line without a target
  }
  bool onlyRanks = true;
  for (const char letter : irc.parameter(modeIndex)) {
    onlyRanks &= letter == '+' || letter == '-' ||
                 ((letter == 'o' || isStatusMode(line.relay, letter)) &&
                  operatorRankOf(line.relay, letter) != 0);
  }
  if (onlyRanks) {
    return;
  }
  std::string storage;
  const std::string_view setter =
      line.hasPrefix() ? memberName(line.relay, senderNick(irc), storage) : std::string_view();
  addWhole(batch, [&](Composer& c) {
    c.append("*** ");
    c.appendEscaped(setter);
    c.append(setter.empty() ? "Mode " : " sets mode ");
    std::string_view changes = irc.rest(modeIndex);
    // "+b :mask" and "+b mask" are one change.
    for (std::size_t colon = changes.find(" :"); colon != std::string_view::npos;
         colon = std::string_view::npos) {
      c.appendEscaped(changes.substr(0, colon + 1));
      changes.remove_prefix(colon + 2);
    }
    c.appendEscaped(changes);
    c.terminate("|");
  });
}

void handleModeChange(const ServerLine& line) {
  const IrcLine& irc = line.irc;
  // "MODE #c +o al", or "MODE +i" without a target.
  const std::string_view target = irc.parameter(0);
  const bool targetless = target.starts_with('+') || target.starts_with('-');
  const std::size_t modeIndex = targetless ? 0 : 1;
  const std::string_view modes = irc.parameter(modeIndex);
  Batch batch = clientBatch(line);  // one send, split only when the area is full
  if (!targetless) {
    tellModeChange(line, batch, target, modeIndex);
  }
  IrcWords parameters = irc.wordsFrom(modeIndex + 1);
  char sign = '+';
  for (const char letter : modes) {
    if (letter == '+' || letter == '-') {
      sign = letter;
      continue;
    }
    // Status modes (PREFIX: 'v', 'h', 'q' ...) take a nick as 'o' does.
    const bool status = letter == 'o' || isStatusMode(line.relay, letter);
    if (!status && letter != 'k' && letter != 'b' && letter != 'l') {
      continue;  // other modes take no parameter here
    }
    const std::string_view value = parameters.next();
    // A missing parameter names nobody; only ranks from the operator's up
    // make a hub operator.
    const std::uint16_t rank = operatorRankOf(line.relay, letter);
    if (!status || rank == 0 || value.empty()) {
      continue;
    }
    if (sign == '+') {
      line.relay.memberRanks.grant(value, rank);
      addOperatorMark(line.relay, batch, value);
    } else if (!line.relay.memberRanks.revoke(value, rank)) {
      // No NMDC command removes an operator mark: the user leaves and comes
      // back as a plain user, unless another rank keeps them an operator.
      addQuit(line.relay, batch, value);
      addUserInfo(line.relay, batch, value, {});
    }
  }
}

// "AWAY :reason" (away-notify) marks the member away, a bare "AWAY" back;
// the client greys away users out.
bool takeAway(const ServerLine& line) {
  RelayState& relay = line.relay;
  if ((relay.capsEnabled & kCapAwayNotify) == 0) {
    return false;
  }
  const std::string_view nick = senderNick(line.irc);
  const bool away = !line.irc.parameter(0).empty();
  if (nick.empty() || nickMatches(ircNickOf(relay), nick) || !changeAway(relay, nick, away)) {
    return true;
  }
  Batch batch = clientBatch(line);
  addUserInfo(relay, batch, nick, line.irc.userHost());
  return true;
}

// "CHGHOST newuser newhost" (chghost): the member's description follows.
bool takeHostChange(const ServerLine& line) {
  RelayState& relay = line.relay;
  if ((relay.capsEnabled & kCapChghost) == 0) {
    return false;
  }
  const std::string_view nick = senderNick(line.irc);
  const std::string_view user = line.irc.parameter(0);
  const std::string_view host = line.irc.parameter(1);
  if (nick.empty() || user.empty() || host.empty() || nickMatches(ircNickOf(relay), nick)) {
    return true;
  }
  const std::string userHost = std::string(user) + '@' + std::string(host);
  Batch batch = clientBatch(line);
  addUserInfo(relay, batch, nick, userHost);
  return true;
}

// A reply to the channel's WHO, "352 me #c user host server nick flags
// :hops realname", read for the away marks: flags "G..." away, "H..." here.
void noteWhoReply(const ServerLine& line) {
  RelayState& relay = line.relay;
  const IrcLine& irc = line.irc;
  const std::string_view nick = irc.middle(5);
  const std::string_view flags = irc.middle(6);
  if (nick.empty() || flags.empty() || nickMatches(ircNickOf(relay), nick) ||
      (flags.front() != 'G' && flags.front() != 'H')) {
    return;
  }
  if (!changeAway(relay, nick, flags.front() == 'G')) {
    return;
  }
  const std::string userHost = std::string(irc.middle(2)) + '@' + std::string(irc.middle(3));
  Batch batch = clientBatch(line);
  addUserInfo(relay, batch, nick, userHost);
}

// The end of the channel's WHO (315): its replies are shown again from now on.
void endWhoReplies(const ServerLine& line) {
  line.relay.whoPending = false;
}

}  // namespace quayside
