#include "translate/composer.h"
#include "translate/irc_nick.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"
#include "translate/server_support.h"

#include <array>

namespace quayside {
namespace {

Batch clientBatch(const ServerLine& line) {
  return Batch(line.out, Peer::kClient);
}

void addOperatorMark(Batch& batch, std::string_view nick) {
  addWhole(batch, [&](Composer& c) {
    c.append("$OpList ");
    c.appendEscaped(nick);
    c.append("$$");
    c.terminate("|");
  });
}

void addQuit(Batch& batch, std::string_view nick) {
  addWhole(batch, [&](Composer& c) {
    c.append("$Quit ");
    c.appendEscaped(nick);
    c.terminate("|");
  });
}

void addUserInfo(Batch& batch, std::string_view nick, std::string_view description) {
  addWhole(batch, [&](Composer& c) { appendUserInfo(c, nick, description); });
}

// "You were kicked from #chan by op (reason)" as the Relay's end reason.
void noteOwnKick(const ServerLine& line, std::string_view channel, std::size_t reason) {
  const ServerData& data = line.data;
  std::array<char, kEndReasonCapacity> plain;
  const std::string_view raw = data.slice(reason, data.wordEnd(reason, kTextStops));
  const std::string_view why(plain.data(), stripFormatting(raw, plain.data(), plain.size()));
  RelayState& relay = line.relay;
  relay.endCause = EndCause::kKicked;
  relay.endReason.write(kEndReasonCapacity, [&](std::span<char> into) {
    Composer c(into);
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
  });
}

}  // namespace

void handleJoin(const ServerLine& line, std::size_t) {
  RelayState& relay = line.relay;
  Batch batch = clientBatch(line);
  if ((relay.loginFlags & kLoginHubNamed) == 0) {
    // The first JOIN answers our own channel JOIN: the channel becomes the hub.
    addWhole(batch, [&](Composer& c) {
      c.append("$HubName ");
      c.appendEscaped(relay.channel.view());
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
  addUserInfo(batch, joined, senderUserHost(line.data));
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
        addOperatorMark(batch, member);
      }
      addUserInfo(batch, member, {});
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
  addQuit(batch, leaving);
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
    const std::string_view kicker = senderNick(data);
    // The same wording that the client's own kick announcements use.
    LongMessage message(line.out);
    message.head().append('<');
    message.head().appendEscaped(kicker);
    message.head().append("> ");
    message.endHead();
    message.appendText(kicker);
    message.appendPlain(" is kicking ");
    message.appendText(kickedNick);
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
  addQuit(batch, kickedNick);
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

  Batch batch = clientBatch(line);
  addWhole(batch, [&](Composer& c) {
    c.append("*** ");
    c.appendEscaped(oldNick);
    c.append(" is now known as ");
    c.appendEscaped(newNick);
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
      c.appendEscaped(oldNick);
      c.append(' ');
      c.appendEscaped(newNick);
      c.terminate("|");
    });
    return;
  }
  // Without NickChange the user leaves the list and comes back renamed.
  // An operator comes back as one.
  addQuit(batch, oldNick);
  if (relay.memberRanks.holdsAny(newNick)) {
    addOperatorMark(batch, newNick);
  }
  addUserInfo(batch, newNick, senderUserHost(data));
}

void handleModeChange(const ServerLine& line, std::size_t at) {
  const ServerData& data = line.data;
  std::size_t mode = data.skip(at, ' ');
  if (data.at(mode) != '+' && data.at(mode) != '-') {
    mode = data.skip(data.wordEnd(mode, kParameterStops), ' ');  // past the target
  }
  const std::size_t modeEnd = data.wordEnd(mode, kParameterStops);
  if (data.at(modeEnd) != ' ' || modeEnd >= data.size()) {
    return;  // no parameters, so no 'o' to report
  }

  Batch batch = clientBatch(line);  // one send, split only when the area is full
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
      addOperatorMark(batch, value);
    } else if (!line.relay.memberRanks.revoke(value, rank)) {
      // No NMDC command removes an operator mark: the user leaves and comes
      // back as a plain user, unless another rank keeps them an operator.
      addQuit(batch, value);
      addUserInfo(batch, value, {});
    }
  }
}

}  // namespace quayside
