#include "translate/composer.h"
#include "translate/ctcp.h"
#include "translate/irc_nick.h"
#include "translate/nmdc_text.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"

#include <array>
#include <optional>
#include <span>
#include <string>

namespace quayside {
namespace {

constexpr std::size_t kTopicLimit = kTopicCapacity - 2;  // 1,022 characters

using TextScratch = std::array<char, kStreamCapacity>;

// Where the text of the PRIVMSG line whose target word is at `target`
// starts: at the first ':' (the text follows it), or the line's end.
std::size_t textColon(const ServerData& data, std::size_t target) {
  return data.find(target, ':', kTextStops);
}

// Whether the text after `colon` is CTCP; it stands alone, never in a run.
bool isCtcp(const ServerData& data, std::size_t colon) {
  return data.at(colon) == ':' && data.at(colon + 1) == '\x01';
}

// Appends `text` without its formatting codes (all of them control bytes,
// which most chat lacks: then nothing is copied), naming the client by its
// DC nick where it names its IRC nick (withDcNick). Escaped after that, so
// the DC nick is escaped like all the text.
void appendPlainText(const RelayState& relay, std::string_view text, LongMessage& message,
                     TextScratch& scratch) {
  bool control = false;
  for (const char byte : text) {
    control |= static_cast<unsigned char>(byte) < 0x20;
  }
  if (control) {
    text = {scratch.data(), stripFormatting(text, scratch.data(), scratch.size())};
  }
  std::string storage;
  message.appendText(withDcNick(relay, text, storage));
}

// Appends the text after `colon` (from textColon) as appendPlainText does.
// Returns where it ended.
std::size_t appendMessageText(const RelayState& relay, const ServerData& data, std::size_t colon,
                              LongMessage& message, TextScratch& scratch) {
  if (data.at(colon) != ':') {
    return colon;
  }
  const std::size_t end = data.wordEnd(colon + 1, kTextStops);
  appendPlainText(relay, data.slice(colon + 1, end), message, scratch);
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
  std::string senderStorage;
  const std::string_view senderName = memberName(relay, sender, senderStorage);
  const std::size_t colon = textColon(data, at);
  const std::optional<CtcpRequest> ctcp =
      isCtcp(data, colon) ? parseCtcp(data.slice(colon + 1, data.wordEnd(colon + 1, kTextStops)))
                          : std::nullopt;
  if (ctcp && ctcp->command != kCtcpAction) {
    // Only requests to the user are answered: one request to a channel
    // would otherwise draw an answer from every Quayside user in it.
    if (line.hasPrefix() && isPrivate) {
      answerCtcp(line.out, sender, *ctcp);
    }
    return;
  }

  LongMessage message(line.out);
  Composer& head = message.head();
  if (isPrivate) {
    // Addressed to the nick as the client knows it, not as the line spells it.
    head.append("$To: ");
    head.appendEscaped(relay.nick.view());
    head.append(" From: ");
    head.appendEscaped(senderName);
    head.append(" $<");
  } else {
    head.append('<');
  }
  head.appendEscaped(senderName);
  head.append("> ");
  message.endHead();
  TextScratch scratch;
  if (ctcp) {
    // An action, as DC clients write one.
    message.appendPlain("/me");
    if (!ctcp->argument.empty()) {
      message.appendPlain(" ");
      appendPlainText(relay, ctcp->argument, message, scratch);
    }
    message.send();
    return;
  }

  // A sender's consecutive lines that arrived together become one message;
  // a text cut short by a NUL ends it.
  const std::string_view firstPrefix = linePrefix(data);
  ServerData current = data;
  std::size_t textEnd = appendMessageText(relay, current, colon, message, scratch);
  while (textEnd == current.size()) {
    const std::optional<ServerData> next = line.following.peek();
    if (!next) {
      break;
    }
    const std::size_t target = continuationTarget(line, firstPrefix, *next, isPrivate);
    const std::size_t nextColon = target == 0 ? 0 : textColon(*next, target);
    if (target == 0 || isCtcp(*next, nextColon)) {
      break;
    }
    message.appendBreak();
    line.following.take();
    current = *next;
    textEnd = appendMessageText(relay, current, nextColon, message, scratch);
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
    appendEscapedChannelTarget(c, relay.channel.view());
    if (!relay.topic.empty()) {
      c.append(" - ");
      c.appendEscaped(relay.topic.view());
    }
    c.terminate("|");
  });
}

}  // namespace quayside
