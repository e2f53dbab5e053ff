#include "translate/composer.h"
#include "translate/irc_nick.h"
#include "translate/nmdc_text.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"
#include "translate/server_support.h"

#include <array>

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

void addUserInfo(const RelayState& relay, Batch& batch, std::string_view nick,
                 std::string_view description) {
  std::string storage;
  const std::string_view name = memberName(relay, nick, storage);
  addWhole(batch, [&](Composer& c) { appendUserInfo(c, name, description); });
}

// The session's end by a kick, with "You were kicked from #chan by op
// (reason)" as its detail.
void noteOwnKick(const ServerLine& line, std::string_view channel, std::size_t reason) {
  const ServerData& data = line.data;
  std::array<char, kEndReasonCapacity> plain;
  const std::string_view raw = data.slice(reason, data.wordEnd(reason, kTextStops));
  const std::string_view why(plain.data(), stripFormatting(raw, plain.data(), plain.size()));
  std::array<char, kEndReasonCapacity> words;
  const std::size_t size = [&] {
    Composer c(words);
    c.append("You were kicked from ");
    c.append(channel);
    if (line.hasPrefix()) {
      c.append(" by ");
      c.append(senderNick(data));
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

void handleJoin(const ServerLine& line, std::size_t) {
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
  const std::string_view joined = senderNick(line.data);
  // Nobody can be listed without a name, and the client is never listed.
  if (!line.hasPrefix() || joined.empty() ||
      nickMatches(ircNickOf(relay), line.data, 1, NickEnd::kWordOrBang)) {
    return;
  }
  addUserInfo(line.relay, batch, joined, senderUserHost(line.data));
}

void handleNamesList(const ServerLine& line, std::size_t at) {
  const ServerData& data = line.data;
  const std::size_t colon = data.find(at, ':', kTextStops);
  if (data.at(colon) != ':') {
    return;
  }
  const std::string_view nick = ircNickOf(line.relay);
  std::size_t name = colon + 1;
  for (;;) {
    while (data.at(name) == ' ') {
      ++name;
    }
    // Status symbols in front ("@+bob" with multi-prefix) are no part of
    // the nick; the highest decides.
    const std::string_view symbols =
        data.slice(name, name + statusSymbolCount(line.relay, data.slice(name, data.size())));
    const std::uint16_t ranks = operatorRanks(line.relay, symbols);
    name += symbols.size();
    const std::size_t nameEnd = data.wordEnd(name, kParameterStops);
    const std::string_view member = data.slice(name, nameEnd);
    // A list ending in a space (or a lone "@") names nobody.
    if (!member.empty() && !nickMatches(nick, data, name)) {
      Batch batch = clientBatch(line);  // one send per member
      line.relay.memberRanks.set(member, ranks);
      if (ranks != 0) {
        addOperatorMark(line.relay, batch, member);
      }
      addUserInfo(line.relay, batch, member, {});
    }
    if (data.at(nameEnd) != ' ' || nameEnd >= data.size()) {
      return;
    }
    name = nameEnd + 1;
  }
}

void handleDeparture(const ServerLine& line, std::size_t) {
  const std::string_view leaving = senderNick(line.data);
  if (!line.hasPrefix() || leaving.empty()) {
    return;
  }
  line.relay.memberRanks.forget(leaving);
  Batch batch = clientBatch(line);
  addQuit(line.relay, batch, leaving);
}

void handleKick(const ServerLine& line, std::size_t at) {
  const ServerData& data = line.data;
  const std::size_t channel = data.skip(at, ' ');
  const std::size_t kicked = data.skip(data.wordEnd(channel, kParameterStops), ' ');
  const std::size_t kickedEnd = data.wordEnd(kicked, kNickStops);
  const std::string_view kickedNick = data.slice(kicked, kickedEnd);
  if (kickedNick.empty()) {
    return;  // a kick of nobody
  }

  const std::size_t reason = data.skip(data.skip(kickedEnd, ' '), ':');
  if (line.hasPrefix()) {
    std::string kickerStorage;
    std::string kickedStorage;
    const std::string_view kicker = memberName(line.relay, senderNick(data), kickerStorage);
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
    const std::string_view raw = data.slice(reason, data.wordEnd(reason, kTextStops));
    std::array<char, kStreamCapacity> plain;
    message.appendText({plain.data(), stripFormatting(raw, plain.data(), plain.size())});
    message.send();
  }

  if (nickMatches(ircNickOf(line.relay), data, kicked)) {
    // Kicked itself: the hub session is over; the relay thread sees the
    // closed client and ends the Relay. Who kicked and why is kept for the
    // retries the kick holds off.
    noteOwnKick(line, data.slice(channel, data.wordEnd(channel, kParameterStops)), reason);
    line.out.closeClient();
    return;
  }
  line.relay.memberRanks.forget(kickedNick);
  Batch batch = clientBatch(line);
  addQuit(line.relay, batch, kickedNick);
}

void handleNickChange(const ServerLine& line, std::size_t at) {
  RelayState& relay = line.relay;
  const ServerData& data = line.data;
  const std::size_t oldStart = data.skip(0, ':');
  const std::string_view oldNick = data.slice(oldStart, data.wordEnd(oldStart, kNickStops));
  const std::size_t newStart = data.skip(data.skip(at, ' '), ':');
  const std::string_view newNick = data.slice(newStart, data.wordEnd(newStart, kNickStops));
  if (oldNick.empty() || newNick.empty()) {
    return;  // a rename from or to no name names nobody
  }
  relay.memberRanks.rename(oldNick, newNick);

  // Decided before the nicks change; the prefix nick ends at its '!'. The
  // client is recognised by its IRC nick; its DC nick follows a rename only
  // where the two were one.
  const bool ownOnIrc = nickMatches(ircNickOf(relay), data, oldStart, NickEnd::kWordOrBang);
  const bool own = ownOnIrc && nickMatches(relay.nick.view(), data, oldStart, NickEnd::kWordOrBang);
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
  addUserInfo(line.relay, batch, newNick, senderUserHost(data));
}

// A channel MODE that does more than change operator ranks (a ban, a key,
// a limit, voice, ...) is told, so the DC user's own Set Ban and Unban are
// confirmed: "*** op sets mode +b *!*@evil.test".
void tellModeChange(const ServerLine& line, Batch& batch, std::size_t target, std::size_t mode,
                    std::size_t modeEnd) {
  const ServerData& data = line.data;
  const char first = data.at(target);
  if (first != '#' && first != '&' && first != '!' && first != '+') {
    return;  // the user's own modes, or a line without a target
  }
  bool onlyRanks = true;
  for (std::size_t i = mode; i < modeEnd; ++i) {
    const char letter = data.at(i);
    onlyRanks &= letter == '+' || letter == '-' ||
                 ((letter == 'o' || isStatusMode(line.relay, letter)) &&
                  operatorRankOf(line.relay, letter) != 0);
  }
  if (onlyRanks) {
    return;
  }
  std::string storage;
  const std::string_view setter =
      line.hasPrefix() ? memberName(line.relay, senderNick(data), storage) : std::string_view();
  addWhole(batch, [&](Composer& c) {
    c.append("*** ");
    c.appendEscaped(setter);
    c.append(setter.empty() ? "Mode " : " sets mode ");
    std::string_view changes = data.slice(mode, data.wordEnd(mode, kTextStops));
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

void handleModeChange(const ServerLine& line, std::size_t at) {
  const ServerData& data = line.data;
  const std::size_t target = data.skip(at, ' ');
  std::size_t mode = target;
  if (data.at(mode) != '+' && data.at(mode) != '-') {
    mode = data.skip(data.wordEnd(mode, kParameterStops), ' ');  // past the target
  }
  const std::size_t modeEnd = data.wordEnd(mode, kParameterStops);
  Batch batch = clientBatch(line);  // one send, split only when the area is full
  if (mode != target) {
    tellModeChange(line, batch, target, data.skip(mode, ':'), modeEnd);
  }
  if (data.at(modeEnd) != ' ' || modeEnd >= data.size()) {
    return;  // no parameters, so no 'o' to report
  }

  std::size_t parameter = modeEnd + 1;
  char sign = '+';
  for (std::size_t i = mode; i < modeEnd; ++i) {
    const char letter = data.at(i);
    if (letter == '+' || letter == '-') {
      sign = letter;
      continue;
    }
    // Status modes (PREFIX: 'v', 'h', 'q' ...) take a nick as 'o' does.
    const bool status = letter == 'o' || isStatusMode(line.relay, letter);
    if (!status && letter != 'k' && letter != 'b' && letter != 'l') {
      continue;  // other modes take no parameter here
    }
    const std::size_t parameterEnd = data.wordEnd(parameter, kParameterStops);
    const std::string_view value = data.slice(parameter, parameterEnd);
    parameter = data.skip(parameterEnd, ' ');
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

}  // namespace quayside
