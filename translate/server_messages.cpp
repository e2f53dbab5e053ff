#include "translate/composer.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"

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

// The target word of the line at `next` when it continues the message of
// `line`: a complete PRIVMSG from the same prefix whose target is of the same
// kind (the client's nick or not). Zero when it does not.
std::size_t continuationTarget(const ServerLine& line, std::string_view firstPrefix,
                               std::size_t next, bool isPrivate) {
  const ServerData& data = line.data;
  if (!line.hasPrefix() || data.at(next) != ':' || data.findCrLf(next) == data.size()) {
    return 0;
  }
  const std::string_view prefix = linePrefix(data, next);
  if (!samePrefix(prefix, firstPrefix)) {
    return 0;
  }
  const std::size_t command = next + 1 + prefix.size();
  if (data.at(command) != ' ' || !data.startsWith(command + 1, "PRIVMSG ")) {
    return 0;
  }
  const std::size_t target = command + 1 + 8;
  if (nickMatches(fieldText(line.relay.nick), data, target) != isPrivate) {
    return 0;
  }
  return target;
}

}  // namespace

void handleMessage(const ServerLine& line, std::size_t at) {
  const Relay& relay = line.relay;
  const ServerData& data = line.data;
  const bool isPrivate = nickMatches(fieldText(relay.nick), data, at);
  const std::string_view sender = senderNick(data, line.start);

  LongMessage message(line.relay.outBuffer, line.out);
  Composer& head = message.head();
  if (isPrivate) {
    // Addressed to the nick as the client knows it, not as the line spells it.
    head.append("$To: ");
    head.appendEscaped(fieldText(relay.nick));
    head.append(" From: ");
    head.appendEscaped(sender);
    head.append(" $<");
  } else {
    head.append('<');
  }
  head.appendEscaped(sender);
  head.append("> ");
  message.endHead();

  // A sender's consecutive lines that arrived together become one message.
  const std::string_view firstPrefix = linePrefix(data, line.start);
  std::size_t textEnd = appendMessageText(data, at, message);
  while (data.crlfAt(textEnd)) {
    const std::size_t target = continuationTarget(line, firstPrefix, textEnd + 2, isPrivate);
    if (target == 0) {
      break;
    }
    message.appendBreak();
    line.takeNextLine(textEnd);
    textEnd = appendMessageText(data, target, message);
  }
  message.send();
}

void handleTopic(const ServerLine& line, std::size_t at) {
  Relay& relay = line.relay;
  const ServerData& data = line.data;
  const std::size_t colon = data.find(at, ':', kTextStops);
  std::size_t length = 0;
  if (data.at(colon) == ':') {
    const std::string_view text = data.slice(colon + 1, data.wordEnd(colon + 1, kTextStops));
    length = stripFormatting(text, relay.topic.data(), kTopicLimit);
  }
  relay.topic[length] = '\0';

  Batch batch(relay.outBuffer, line.out, Batch::Peer::kClient);
  addWhole(batch, [&](Composer& c) {
    c.append("$HubName ");
    c.appendEscaped(fieldText(relay.channel));
    if (length > 0) {
      c.append(" - ");
      c.appendEscaped(fieldText(relay.topic));
    }
    c.terminate("|");
  });
}

}  // namespace quayside
