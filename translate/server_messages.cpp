#include "core/calendar_time.h"
#include "translate/composer.h"
#include "translate/ctcp.h"
#include "translate/irc_nick.h"
#include "translate/nmdc_text.h"
#include "translate/room_lines.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quayside {
namespace {

constexpr std::size_t kTopicLimit = kTopicCapacity - 2;  // 1,022 characters
// A line said longer ago than this is told with its time.
constexpr std::int64_t kCurrentSeconds = 60;
// Room for a time tag's value: "2026-12-08T18:03:11.250Z" and then some; a
// longer one is cut, and a cut time is no time.
constexpr std::size_t kTimeTagCapacity = 64;

using TextScratch = std::array<char, kStreamCapacity>;

// The text of a PRIVMSG line: its ':'-led parameter, if it has one.
std::optional<std::string_view> messageText(const IrcLine& line) {
  if (!line.hasTrailing()) {
    return std::nullopt;
  }
  return line.parameter(line.parameterCount() - 1);
}

// Whether the text is CTCP; it stands alone, never in a run.
bool isCtcp(const std::optional<std::string_view>& text) {
  return text && text->starts_with('\x01');
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

// Where a message to `target` is shown: a private message, a room's (as a
// private message from the room), or main chat.
struct Destination {
  bool isPrivate = false;
  const Room* room = nullptr;

  bool operator==(const Destination&) const = default;
};

Destination destinationOf(const RelayState& relay, std::string_view target) {
  if (nickMatches(ircNickOf(relay), target)) {
    return {true, nullptr};
  }
  return {false, roomOf(relay, target)};
}

// Whether the line `next` continues the message of `line`: a PRIVMSG from
// the same source to the same destination.
bool continuesMessage(const ServerLine& line, const IrcLine& next, const Destination& to) {
  return line.hasPrefix() && next.hasSource() && samePrefix(next.source(), line.irc.source()) &&
         next.command() == "PRIVMSG" && next.parameterCount() > 0 &&
         destinationOf(line.relay, next.parameter(0)) == to;
}

// "[18:03]" for a line said over a minute ago, else empty. Lines kept for a
// client that returns get their time when they are shown.
std::string sayingTime(const ServerLine& line, const IrcLine& irc) {
  if (line.relay.detachedAt != 0 || !line.now || !line.localTime) {
    return {};
  }
  const std::optional<std::int64_t> at = taggedTime(line.relay, irc);
  if (!at) {
    return {};
  }
  // A server's clock a little ahead or behind ours is still now.
  const std::int64_t now = line.now();
  if (now - *at <= kCurrentSeconds) {
    return {};
  }
  const std::optional<CalendarTime> said = line.localTime(*at);
  const std::optional<CalendarTime> today = line.localTime(now);
  if (!said || !today) {
    return {};
  }
  return "[" + sayingTimeText(*said, *today) + "]";
}

}  // namespace

std::optional<std::int64_t> taggedTime(const RelayState& relay, const IrcLine& irc) {
  if ((relay.capsEnabled & kCapServerTime) == 0) {
    return std::nullopt;
  }
  std::array<char, kTimeTagCapacity> value;
  const std::optional<std::size_t> length = irc.tag("time", value);
  return length ? parseServerTime({value.data(), *length}) : std::nullopt;
}

void appendSayingTime(const ServerLine& line, const IrcLine& irc, LongMessage& message) {
  if (const std::string time = sayingTime(line, irc); !time.empty()) {
    message.appendPlain(time);
    message.appendPlain(" ");
  }
}

void handleMessage(const ServerLine& line) {
  const RelayState& relay = line.relay;
  const IrcLine& irc = line.irc;
  const Destination to = destinationOf(relay, irc.parameter(0));
  const bool isPrivate = to.isPrivate;
  const std::string_view sender = senderNick(irc);
  std::string senderStorage;
  const std::string_view senderName = memberName(relay, sender, senderStorage);
  const std::optional<std::string_view> text = messageText(irc);
  const std::optional<CtcpRequest> ctcp = isCtcp(text) ? parseCtcp(*text) : std::nullopt;
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
  } else if (to.room != nullptr) {
    appendRoomHead(relay, head, to.room->name.view());
    head.append('<');
  } else {
    head.append('<');
  }
  head.appendEscaped(senderName);
  head.append("> ");
  message.endHead();
  TextScratch scratch;
  if (ctcp) {
    // An action, as DC clients write one; "/me" must lead it.
    message.appendPlain("/me");
    if (const std::string time = sayingTime(line, irc); !time.empty()) {
      message.appendPlain(" ");
      message.appendPlain(time);
    }
    if (!ctcp->argument.empty()) {
      message.appendPlain(" ");
      appendPlainText(relay, ctcp->argument, message, scratch);
    }
    message.send();
    return;
  }

  // A sender's consecutive lines that arrived together become one message;
  // a text cut short by a NUL ends it.
  if (text) {
    appendSayingTime(line, irc, message);
    appendPlainText(relay, *text, message, scratch);
  }
  bool cut = irc.cut();
  while (!cut) {
    const std::optional<IrcLine> next = line.following.peek();
    if (!next || !continuesMessage(line, *next, to)) {
      break;
    }
    const std::optional<std::string_view> nextText = messageText(*next);
    if (isCtcp(nextText)) {
      break;
    }
    message.appendBreak();
    line.following.take();
    if (nextText) {
      appendSayingTime(line, *next, message);
      appendPlainText(relay, *nextText, message, scratch);
    }
    cut = next->cut();
  }
  message.send();
}

void handleTopic(const ServerLine& line) {
  RelayState& relay = line.relay;
  const IrcLine& irc = line.irc;
  // The topic is the ':'-led text; without one it is empty.
  const std::string_view text =
      irc.hasTrailing() ? irc.parameter(irc.parameterCount() - 1) : std::string_view();
  relay.topic.write(kTopicLimit, [&](std::span<char> area) {
    return stripFormatting(text, area.data(), area.size());
  });

  Batch batch(line.out, Peer::kClient);
  addWhole(batch, [&](Composer& c) { appendHubName(c, relay); });
}

}  // namespace quayside
