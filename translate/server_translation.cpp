#include "translate/server_translation.h"

#include "core/text.h"
#include "translate/client_charset.h"
#include "translate/composer.h"
#include "translate/irc_nick.h"
#include "translate/login.h"
#include "translate/nmdc_text.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"
#include "translate/server_support.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace quayside {
namespace {

using Handler = void (*)(const ServerLine&, std::size_t);

struct CommandRule {
  std::string_view bytes;  // compared case-sensitively at the command word
  Handler handler;
};

void answerPing(const ServerLine& line, std::size_t at);
void showNotice(const ServerLine& line, std::size_t at);
void endOnError(const ServerLine& line, std::size_t at);
void takeAnswer(const ServerLine& line, std::size_t at);

// The command words, in the order they are tried at the line start (and at
// the command word after a prefix); the first that fits decides. Four-byte
// words match longer ones too ("NAMES", "PINGS").
constexpr std::array kCommandRules = {
    CommandRule{"PING", answerPing},       CommandRule{"NOTICE ", showNotice},
    CommandRule{"MODE", handleModeChange}, CommandRule{"NAME", handleNamesList},
    CommandRule{"QUIT", handleDeparture},  CommandRule{"KICK", handleKick},
    CommandRule{"JOIN", handleJoin},       CommandRule{"NICK", handleNickChange},
    CommandRule{"TOPIC ", handleTopic},    CommandRule{"PRIVMSG ", handleMessage},
    CommandRule{"ERROR ", endOnError},     CommandRule{"PONG ", takeAnswer},
};

// Tried first after a prefix; PART only ever comes with one.
constexpr std::array kAfterPrefixRules = {
    CommandRule{"PRIVMSG ", handleMessage}, CommandRule{"QUIT", handleDeparture},
    CommandRule{"PART", handleDeparture},   CommandRule{"KICK", handleKick},
    CommandRule{"NICK", handleNickChange},  CommandRule{"MODE", handleModeChange},
};

// Numerics whose text is about someone: their reply starts on a line of its
// own under the server's name. (WHOIS and the ban list are told as sentences.)
constexpr std::array<std::uint32_t, 2> kAboutNumerics = {314, 369};
// The welcome's server internals (RPL_WELCOME to RPL_ISUPPORT, the unique ID
// 042, the connection and user counts 250 to 255, 265 and 266, and the
// missing MOTD 422): read, never shown, since a DC client has main chat only.
constexpr std::array<std::uint32_t, 15> kUnshownNumerics = {1,   2,   3,   4,   5,   42,  250, 251,
                                                            252, 253, 254, 255, 265, 266, 422};
constexpr std::string_view kNoticeTargetStops{": \0", 3};
constexpr std::string_view kPongStops{"\r\n\0", 3};
constexpr std::string_view kPrefixStops{" \0", 2};

constexpr std::uint32_t kWelcomeNumeric = 1;
constexpr std::uint32_t kSupportNumeric = 5;
constexpr std::uint32_t kTopicNumeric = 332;
constexpr std::uint32_t kNamesNumeric = 353;
constexpr std::uint32_t kEndOfNamesNumeric = 366;

template <std::size_t N>
bool dispatchBy(const std::array<CommandRule, N>& rules, const ServerLine& line, std::size_t at) {
  for (const CommandRule& rule : rules) {
    if (line.data.startsWith(at, rule.bytes)) {
      rule.handler(line, at + rule.bytes.size());
      return true;
    }
  }
  return false;
}

void answerPing(const ServerLine& line, std::size_t at) {
  // "PING :token" -> "PONG :token"; a prefix is not sent back. A bare CR, LF
  // or NUL ends the token, so the answer is one line, and one that fits.
  constexpr std::size_t kPongLimit = 512 - 2;
  const std::size_t command = at - 4;
  const std::size_t end = std::min(line.data.wordEnd(command, kPongStops), command + kPongLimit);
  Composer composer(line.out.area(Peer::kServer));
  composer.append(line.data.slice(command, end));
  composer.data()[1] = 'O';
  composer.terminate("\r\n");
  line.out.commit(Peer::kServer, composer.size());
}

void showNotice(const ServerLine& line, std::size_t at) {
  const ServerData& data = line.data;
  const std::size_t targetEnd = data.wordEnd(at, kNoticeTargetStops);
  const std::size_t colon = data.skip(targetEnd, ' ');
  if (data.at(colon) != ':' || colon >= data.size()) {
    line.out.send(Peer::kClient, "|");
    return;
  }
  const std::string_view text = data.slice(colon + 1, data.wordEnd(colon + 1, kTextStops));
  if (text.starts_with('\x01')) {
    return;  // a CTCP reply: the answer to a question the DC user never asked
  }
  std::array<char, kStreamCapacity> plain;
  const std::size_t length = stripFormatting(text, plain.data(), plain.size());

  LongMessage message(line.out);
  // A user's notice shows its sender, as IRC clients show it: "<-alice->"
  // in main chat, or as a private message from alice.
  if (const std::string_view sender = senderNick(data);
      line.hasPrefix() && !sender.empty() && data.at(data.find(1, '!', kPrefixStops)) == '!') {
    std::string storage;
    const std::string_view name = memberName(line.relay, sender, storage);
    if (nickMatches(ircNickOf(line.relay), data, at)) {
      message.head().append("$To: ");
      message.head().appendEscaped(line.relay.nick.view());
      message.head().append(" From: ");
      message.head().appendEscaped(name);
      message.head().append(" $");
    }
    message.head().append("<-");
    message.head().appendEscaped(name);
    message.head().append("-> ");
    message.endHead();
    message.appendText({plain.data(), length});
    message.send();
    return;
  }
  if (!text.starts_with("**")) {
    message.head().append("*** ");
  }
  // The pre-registration "AUTH" target means nothing to the user.
  const bool isAuth =
      data.startsWith(at, "AUTH") && (data.at(at + 4) == ' ' || data.at(at + 4) == ':');
  if (!isAuth) {
    message.head().appendEscaped(data.slice(at, targetEnd));
    message.head().append(' ');
  }
  message.endHead();
  message.appendText({plain.data(), length});
  message.send();
}

// "ERROR :Closing Link: ..." is the server ending the session: its text
// becomes the reason the relay tells the user and the log, not chat.
void endOnError(const ServerLine& line, std::size_t at) {
  const ServerData& data = line.data;
  const std::size_t start = data.skip(at, ':');
  const std::string_view text = data.slice(start, data.wordEnd(start, kTextStops));
  constexpr std::string_view kSaid = "the server said: ";
  std::array<char, kEndReasonCapacity> words;
  std::size_t size = 0;
  if (text.empty()) {
    constexpr std::string_view kBare = "the server ended the session";
    size = kBare.copy(words.data(), words.size());
  } else {
    size = kSaid.copy(words.data(), words.size());
    size += stripFormatting(text, words.data() + size, words.size() - 1 - size);
  }
  line.out.endSession(
      {EndCause::kServerError, EndSide::kServer, std::string(words.data(), size), ""});
}

// Only the relay sends PING (when the server has been silent for long); the
// answer proves the server alive and means nothing to the user.
void takeAnswer(const ServerLine& /*line*/, std::size_t /*at*/) {}

void passOn(const ServerLine& line, std::size_t at) {
  // Escaped like any foreign text, so a line cannot become an NMDC command.
  // Formatting and CTCP bytes are never shown to the client.
  const std::string_view raw = line.data.slice(at, line.data.size());
  std::array<char, kStreamCapacity> plain;
  LongMessage message(line.out);
  message.endHead();
  message.appendText({plain.data(), stripFormatting(raw, plain.data(), plain.size())});
  message.send();
}

// Joins the configured channel once, after the first numeric run that
// follows registration (the server's welcome).
void joinChannelOnce(const ServerLine& line) {
  RelayState& relay = line.relay;
  // A channel with a line break in it must not smuggle a second IRC line.
  std::string_view channel = relay.channel.view();
  channel = channel.substr(0, channel.find_first_of("\r\n"));
  if (channel.empty() || (relay.loginFlags & kLoginUserSent) == 0 ||
      (relay.loginFlags & kLoginJoinSent) != 0 || loginHoldsJoin(relay)) {
    return;
  }
  Composer composer(line.out.area(Peer::kServer));
  composer.append("JOIN ");
  appendChannelTarget(composer, channel);
  composer.terminate("\r\n");
  line.out.commit(Peer::kServer, composer.size());
  relay.loginFlags |= kLoginJoinSent;
}

// Chat typed before the welcome goes once registration is complete, after
// the channel's JOIN, line by line and in order (pacing applies to it).
void sendHeldChat(const ServerLine& line) {
  RelayState& relay = line.relay;
  if ((relay.loginFlags & kLoginWelcomed) == 0 || relay.heldChat.empty()) {
    return;
  }
  std::string_view held = relay.heldChat;
  while (!held.empty()) {
    const std::size_t end = std::min(held.find('\n'), held.size() - 1) + 1;
    line.out.send(Peer::kServer, held.substr(0, end));
    held.remove_prefix(end);
  }
  std::string().swap(relay.heldChat);  // no memory held from now on
  relay.heldMessages = 0;
}

// The welcome (001) ends registration, so the relay stops waiting for it;
// it may come inside a run, behind a notice numeric such as 020. It names
// the nick the server accepted. The server's 005 lines say its limits.
void noteWelcome(RelayState& relay, const ServerData& data, std::size_t at, std::uint32_t number) {
  if (number == kWelcomeNumeric) {
    relay.loginFlags |= kLoginWelcomed;
    noteWelcomeNick(relay, data, at);
  } else if (number == kSupportNumeric) {
    noteSupport(relay, data, at + 4);
  }
}

// Appends the text of the numeric line whose three digits are at `at`;
// false for a numeric that is not shown.
bool appendNumericText(const ServerData& data, std::size_t at, std::uint32_t number,
                       LongMessage& message, std::span<char> scratch) {
  if (std::find(kUnshownNumerics.begin(), kUnshownNumerics.end(), number) !=
      kUnshownNumerics.end()) {
    return false;
  }
  std::size_t text = at + 4;
  if (std::find(kAboutNumerics.begin(), kAboutNumerics.end(), number) != kAboutNumerics.end()) {
    text = data.skip(data.skip(data.wordEnd(text, kNumericWordStops), ' '), ':');
    if (!message.endsWithBreak()) {
      message.appendBreak();
    }
  }
  // Past the addressee (normally the client's own nick).
  text = data.skip(data.skip(data.wordEnd(text, kNumericWordStops), ' '), ':');
  const std::string_view raw = data.slice(text, data.wordEnd(text, kTextStops));
  const std::size_t length = stripFormatting(raw, scratch.data(), scratch.size());
  message.appendText({scratch.data(), length});
  message.appendBreak();
  return true;
}

// Where the digits of the numeric line `next` start when it continues a run
// of numerics from `prefix`; zero when it does not.
std::size_t runContinuation(const ServerData& data, std::string_view prefix) {
  const std::size_t digits = numericFrom(data, prefix);
  if (digits == 0) {
    return 0;
  }
  const std::uint32_t number = parseDecimal(data.pointer(digits));
  // Topic and names lines have handlers of their own, and replies told as
  // sentences are status lines.
  if (number == kTopicNumeric || number == kNamesNumeric || number == kEndOfNamesNumeric ||
      isSentenceReply(number)) {
    return 0;
  }
  return digits;
}

// Consecutive complete numerics from one sender, shown as one chat line from
// that sender with a line per reply; nothing when none of them is shown.
void showNumericRun(const ServerLine& line, std::string_view prefix, std::size_t digits,
                    std::uint32_t number) {
  const ServerData& data = line.data;
  LongMessage message(line.out);
  message.head().append('<');
  message.head().appendEscaped(prefix);
  message.head().append("> ");
  message.endHead();
  std::array<char, kStreamCapacity> scratch;
  bool shown = appendNumericText(data, digits, number, message, scratch);

  while (const std::optional<ServerData> next = line.following.peek()) {
    const std::size_t nextDigits = runContinuation(*next, prefix);
    if (nextDigits == 0 || loginEndsRun(line.relay, parseDecimal(next->pointer(nextDigits))) ||
        nickEndsRun(line.relay, parseDecimal(next->pointer(nextDigits)))) {
      break;
    }
    line.following.take();
    const std::uint32_t nextNumber = parseDecimal(next->pointer(nextDigits));
    noteWelcome(line.relay, *next, nextDigits, nextNumber);
    shown = appendNumericText(*next, nextDigits, nextNumber, message, scratch) || shown;
  }
  if (shown) {
    message.dropTrailingBreak();
    message.send();
  }
}

// A numeric and the run it starts, or a reply told as a sentence; then the
// steps that follow the welcome.
void numericRun(const ServerLine& line, std::string_view prefix, std::size_t digits) {
  const ServerData& data = line.data;
  const std::uint32_t number = parseDecimal(data.pointer(digits));
  const bool welcomed = (line.relay.loginFlags & kLoginWelcomed) != 0;
  noteWelcome(line.relay, data, digits, number);
  if (number == kTopicNumeric) {
    handleTopic(line, digits + 4);
    return;
  }
  if (number == kNamesNumeric) {
    handleNamesList(line, digits + 4);
    return;
  }
  if (number == kEndOfNamesNumeric) {
    return;
  }

  if (isSentenceReply(number)) {
    tellSentenceReply(line, prefix, digits, number);
  } else {
    showNumericRun(line, prefix, digits, number);
  }
  if (!welcomed && (line.relay.loginFlags & kLoginWelcomed) != 0) {
    tellIrcNick(line.relay, line.out);
  }
  joinChannelOnce(line);
  sendHeldChat(line);
}

void dispatch(const ServerLine& line) {
  const ServerData& data = line.data;
  std::size_t at = 0;
  bool afterPrefix = false;
  // Each pass reads one prefix, so `at` only moves forward.
  for (;;) {
    if (takeLoginLine(line, at)) {
      return;
    }
    if (afterPrefix && dispatchBy(kAfterPrefixRules, line, at)) {
      return;
    }
    if (dispatchBy(kCommandRules, line, at)) {
      return;
    }
    if (data.at(at) != ':' || at >= data.size()) {
      passOn(line, at);
      return;
    }
    const std::string_view prefix = data.slice(at + 1, data.wordEnd(at + 1, kPrefixStops));
    const std::size_t prefixEnd = at + 1 + prefix.size();
    if (data.at(prefixEnd) != ' ' || prefixEnd >= data.size()) {
      passOn(line, prefixEnd);
      return;
    }
    at = prefixEnd + 1;
    if (isNumericAt(data, at)) {
      if (!takeLoginLine(line, at) && !takeNickRefusal(line, at)) {
        numericRun(line, prefix, at);
      }
      return;
    }
    afterPrefix = true;
  }
}

}  // namespace

std::size_t translateServerLine(RelayState& relay, const Message& message, RelayOutput& out,
                                const LocalTimeSource& localTime) {
  FollowingLines following(message.following);
  ClientCharsetOutput output(out, clientEncoding(relay));
  dispatch(ServerLine{relay, output, ServerData(message.bytes), following, localTime});
  return following.taken();
}

}  // namespace quayside
