#include "translate/composer.h"
#include "translate/irc_nick.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"

#include <optional>
#include <span>

namespace quayside {
namespace {

constexpr std::size_t kTopicLimit = kTopicCapacity - 2;  // 1,022 characters

// Appends the text of the PRIVMSG line whose target word is at `target`:
// everything after the first ':', byte for byte. Returns where it ended.
std::size_t appendMessageText(const ServerData& data, std::size_t target, LongMessage& message) {
  const std::size_t colon = data.find(target, ':', kTextStops);
  if (data.at(colon) != ':') {
    return colon;
  }
  const std::size_t end = data.wordEnd(colon + 1, kTextStops);
  message.appendText(data.slice(colon + 1, end));
  return end;
}

// Where the target word of the line `next` starts when it continues the
// message of `line`: a PRIVMSG from the same prefix whose target is of the
// same kind (the client's nick or not). Zero when it does not.
std::size_t continuationTarget(const ServerLine& line, std::string_view firstPrefix,
                               const ServerData& next, bool isPrivate) {
  if (!line.hasPrefix() || next.at(0) != ':') {
    return 0;
  }
  const std::string_view prefix = linePrefix(next);
  if (!samePrefix(prefix, firstPrefix)) {
    return 0;
  }
  const std::size_t command = 1 + prefix.size();
  if (next.at(command) != ' ' || !next.startsWith(command + 1, "PRIVMSG ")) {
    return 0;
  }
  const std::size_t target = command + 1 + 8;
  if (nickMatches(ircNickOf(line.relay), next, target) != isPrivate) {
    return 0;
  }
  return target;
}

}  // namespace

void handleMessage(const ServerLine& line, std::size_t at) {
  const RelayState& relay = line.relay;
  const ServerData& data = line.data;
  const bool isPrivate = nickMatches(ircNickOf(relay), data, at);
  const std::string_view sender = senderNick(data);

  LongMessage message(line.out);
  Composer& head = message.head();
  if (isPrivate) {
    // Addressed to the nick as the client knows it, not as the line spells it.
    head.append("$To: ");
    head.appendEscaped(relay.nick.view());
    head.append(" From: ");
    head.appendEscaped(sender);
    head.append(" $<");
  } else {
    head.append('<');
  }
  head.appendEscaped(sender);
  head.append("> ");
  message.endHead();

  // A sender's consecutive lines that arrived together become one message;
  // a text cut short by a NUL ends it.
  const std::string_view firstPrefix = linePrefix(data);
  ServerData current = data;
  std::size_t textEnd = appendMessageText(current, at, message);
  while (textEnd == current.size()) {
    const std::optional<ServerData> next = line.following.peek();
    if (!next) {
      break;
    }
    const std::size_t target = continuationTarget(line, firstPrefix, *next, isPrivate);
    if (target == 0) {
      break;
    }
    message.appendBreak();
    line.following.take();
    current = *next;
    textEnd = appendMessageText(current, target, message);
  }
  message.send();
}

void handleTopic(const ServerLine& line, std::size_t at) {
  RelayState& relay = line.relay;
  const ServerData& data = line.data;
  const std::size_t colon = data.find(at, ':', kTextStops);
  const std::string_view text = data.at(colon) == ':'
                                    ? data.slice(colon + 1, data.wordEnd(colon + 1, kTextStops))
                                    : std::string_view();
  relay.topic.write(kTopicLimit, [&](std::span<char> area) {
    return stripFormatting(text, area.data(), area.size());
  });

  Batch batch(line.out, Peer::kClient);
  addWhole(batch, [&](Composer& c) {
    c.append("$HubName ");
    c.appendEscaped(relay.channel.view());
    if (!relay.topic.empty()) {
      c.append(" - ");
      c.appendEscaped(relay.topic.view());
    }
    c.terminate("|");
  });
}

}  // namespace quayside
