#include "translate/server_translation.h"

#include "translate/capabilities.h"
#include "translate/client_charset.h"
#include "translate/composer.h"
#include "translate/irc_nick.h"
#include "translate/linger.h"
#include "translate/login.h"
#include "translate/nmdc_text.h"
#include "translate/room_lines.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"
#include "translate/server_support.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace quayside {
namespace {

// Numerics whose text is about someone: their reply starts on a line of its
// own under the server's name. (WHOIS and the ban list are told as sentences.)
constexpr std::array<std::uint32_t, 2> kAboutNumerics = {314, 369};
// The welcome's server internals (RPL_WELCOME to RPL_ISUPPORT, the unique ID
// 042, the connection and user counts 250 to 255, 265 and 266, and the
// missing MOTD 422): read, never shown, since a DC client has main chat only.
constexpr std::array<std::uint32_t, 15> kUnshownNumerics = {1,   2,   3,   4,   5,   42,  250, 251,
                                                            252, 253, 254, 255, 265, 266, 422};

constexpr std::uint32_t kWelcomeNumeric = 1;
constexpr std::uint32_t kSupportNumeric = 5;
// The answers to the away marks a lingering session sets and clears
// (RPL_UNAWAY, RPL_NOWAWAY): the user asked for neither.
constexpr std::array<std::uint32_t, 2> kAwayAnswers = {305, 306};

void answerPing(const ServerLine& line) {
  // "PING :token" -> "PONG :token"; a prefix is not sent back. A bare CR or
  // LF ends the token (a NUL ends the line), so the answer is one line, and
  // one that fits.
  constexpr std::size_t kPongLimit = 512 - 2;
  std::string_view ping = line.irc.fromCommand();
  ping = ping.substr(0, std::min(ping.find_first_of("\r\n"), kPongLimit));
  Composer composer(line.out.area(Peer::kServer));
  composer.append(ping);
  composer.data()[1] = 'O';
  composer.terminate("\r\n");
  line.out.commit(Peer::kServer, composer.size());
}

void showNotice(const ServerLine& line) {
  const IrcLine& irc = line.irc;
  // "NOTICE <target> :<text>"; anything else has no text to show.
  const std::size_t count = irc.parameterCount();
  if (!irc.hasTrailing() || count > 2) {
    line.out.send(Peer::kClient, "|");
    return;
  }
  const std::string_view target = count == 2 ? irc.parameter(0) : std::string_view();
  const std::string_view text = irc.parameter(count - 1);
  if (text.starts_with('\x01')) {
    return;  // a CTCP reply: the answer to a question the DC user never asked
  }
  std::array<char, kStreamCapacity> plain;
  const std::size_t length = stripFormatting(text, plain.data(), plain.size());

  LongMessage message(line.out);
  // A user's notice shows its sender, as IRC clients show it: "<-alice->"
  // in main chat, or as a private message from alice.
  if (const std::string_view sender = senderNick(irc);
      line.hasPrefix() && !sender.empty() && irc.source().find('!') != std::string_view::npos) {
    std::string storage;
    const std::string_view name = memberName(line.relay, sender, storage);
    if (nickMatches(ircNickOf(line.relay), target)) {
      message.head().append("$To: ");
      message.head().appendEscaped(line.relay.nick.view());
      message.head().append(" From: ");
      message.head().appendEscaped(name);
      message.head().append(" $");
    } else if (const Room* room = roomOf(line.relay, target); room != nullptr) {
      appendRoomHead(line.relay, message.head(), room->name.view());
    }
    message.head().append("<-");
    message.head().appendEscaped(name);
    message.head().append("-> ");
    message.endHead();
    appendSayingTime(line, line.irc, message);
    message.appendText({plain.data(), length});
    message.send();
    return;
  }
  if (!text.starts_with("**")) {
    message.head().append("*** ");
  }
  // The pre-registration "AUTH" target means nothing to the user.
  if (target != "AUTH") {
    message.head().appendEscaped(target);
    message.head().append(' ');
  }
  message.endHead();
  appendSayingTime(line, line.irc, message);
  message.appendText({plain.data(), length});
  message.send();
}

// "ERROR :Closing Link: ..." is the server ending the session: its text
// becomes the reason the relay tells the user and the log, not chat.
void endOnError(const ServerLine& line) {
  const std::string_view text = line.irc.rest(0);
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
void takeAnswer(const ServerLine& /*line*/) {}

// The end of a names list says nothing the list did not. After the
// channel's own list, with away-notify, one WHO of the channel tells who is
// away already (AWAY lines tell only changes).
void endNames(const ServerLine& line) {
  RelayState& relay = line.relay;
  if ((relay.capsEnabled & kCapAwayNotify) == 0 || relay.whoAsked) {
    return;
  }
  std::array<char, kChannelCapacity + 1> targetBytes;
  Composer target(targetBytes);
  appendChannelTarget(target, relay.channel.view());
  if (target.view().empty() || !nickMatches(target.view(), line.irc.middle(1))) {
    return;
  }
  Composer composer(line.out.area(Peer::kServer));
  composer.append("WHO ");
  composer.append(target.view());
  composer.terminate("\r\n");
  line.out.commit(Peer::kServer, composer.size());
  relay.whoAsked = true;
  relay.whoPending = true;
}

// Lines read and never shown: ACCOUNT (account-notify) says who logged in,
// TAGMSG (message-tags) carries tags alone.
bool takeUnshown(const ServerLine& line) {
  const std::uint16_t caps = line.relay.capsEnabled;
  const std::string_view word = line.irc.command();
  return (word == "ACCOUNT" && (caps & kCapAccountNotify) != 0) ||
         (word == "TAGMSG" && (caps & kCapMessageTags) != 0);
}

// "INVITE <nick> <channel>" to the user is told as a status line that says
// how to accept it; with invite-notify the channel's members are told of
// invites to others too, which the DC user need not see.
bool takeInvite(const ServerLine& line) {
  const RelayState& relay = line.relay;
  if (!nickMatches(ircNickOf(relay), line.irc.middle(0))) {
    return (relay.capsEnabled & kCapInviteNotify) != 0;
  }
  std::string storage;
  const std::string_view name = memberName(relay, senderNick(line.irc), storage);
  std::array<char, kStreamCapacity> plain;
  const std::string_view channel = {
      plain.data(), stripFormatting(line.irc.parameter(1), plain.data(), plain.size())};
  const bool joinable = roomNameProblem(channel).empty() && !isMainChannel(relay, channel);
  Batch batch(line.out, Peer::kClient);
  addWhole(batch, [&](Composer& c) {
    c.append("*** ");
    c.appendEscaped(name);
    c.append(" invites you to ");
    c.appendEscaped(channel);
    if (joinable) {
      c.append(" (type +join ");
      c.appendEscaped(channel);
      c.append(")");
    }
    c.terminate("|");
  });
  return true;
}

// A line no rule reads, from its command word on (never its tags), escaped
// like any foreign text, so it cannot become an NMDC command. Formatting and
// CTCP bytes are never shown to the client.
void passOn(const ServerLine& line) {
  const std::string_view raw = line.irc.fromCommand();
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
  // The rooms go with it, in a JOIN of their own.
  addOptionRooms(relay, line.out);
  joinWantedRooms(relay, line.out);
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
void noteWelcome(RelayState& relay, const IrcLine& irc) {
  if (irc.numeric() == kWelcomeNumeric) {
    relay.loginFlags |= kLoginWelcomed;
    noteWelcomeNick(relay, irc);
  } else if (irc.numeric() == kSupportNumeric) {
    noteSupport(relay, irc);
  }
}

// Appends the text of a numeric line; false for a numeric that is not shown.
bool appendNumericText(const IrcLine& irc, LongMessage& message, std::span<char> scratch) {
  const std::uint32_t number = irc.numeric();
  if (std::find(kUnshownNumerics.begin(), kUnshownNumerics.end(), number) !=
      kUnshownNumerics.end()) {
    return false;
  }
  // Past the addressee (normally the client's own nick), and past whom the
  // reply is about.
  std::size_t words = 1;
  if (std::find(kAboutNumerics.begin(), kAboutNumerics.end(), number) != kAboutNumerics.end()) {
    words = 2;
    if (!message.endsWithBreak()) {
      message.appendBreak();
    }
  }
  const std::size_t length = stripFormatting(irc.textAfter(words), scratch.data(), scratch.size());
  message.appendText({scratch.data(), length});
  message.appendBreak();
  return true;
}

// The steps that follow a numeric: the welcome's news about the IRC nick,
// the channel's JOIN, the held chat.
void afterNumeric(const ServerLine& line, bool welcomedBefore) {
  if (!welcomedBefore && (line.relay.loginFlags & kLoginWelcomed) != 0) {
    // A welcome while the negotiation waited: the server knows no CAP.
    endCapabilitiesAtWelcome(line.relay, line.out);
    tellIrcNick(line.relay, line.out);
  }
  joinChannelOnce(line);
  sendHeldChat(line);
}

bool continuesRun(const ServerLine& line, const IrcLine& next);

// Consecutive complete numerics from one sender, shown as one chat line from
// that sender with a line per reply; nothing when none of them is shown.
void showNumericRun(const ServerLine& line) {
  const bool welcomed = (line.relay.loginFlags & kLoginWelcomed) != 0;
  noteWelcome(line.relay, line.irc);
  LongMessage message(line.out);
  message.head().append('<');
  message.head().appendEscaped(line.irc.source());
  message.head().append("> ");
  message.endHead();
  std::array<char, kStreamCapacity> scratch;
  bool shown = appendNumericText(line.irc, message, scratch);

  while (const std::optional<IrcLine> next = line.following.peek()) {
    if (!continuesRun(line, *next)) {
      break;
    }
    line.following.take();
    noteWelcome(line.relay, *next);
    shown = appendNumericText(*next, message, scratch) || shown;
  }
  if (shown) {
    message.dropTrailingBreak();
    message.send();
  }
  afterNumeric(line, welcomed);
}

// A reply told as a sentence (server_replies.cpp).
void tellReply(const ServerLine& line) {
  const bool welcomed = (line.relay.loginFlags & kLoginWelcomed) != 0;
  tellSentenceReply(line);
  afterNumeric(line, welcomed);
}

// The states a rule may ask for; a rule applies when all its bits hold.
using States = std::uint8_t;
constexpr States kAnyState = 0;
constexpr States kLoggingIn = 0x01;    // a login mode (pass or sasl) is set
constexpr States kNickAwaited = 0x02;  // a NICK of ours awaits the server's answer
constexpr States kNegotiating = 0x04;  // the capability negotiation awaits the server's answer
constexpr States kWhoAwaited = 0x08;   // the channel's WHO is being answered

States statesOf(const RelayState& relay) {
  States states = kAnyState;
  if (relay.options.login != LoginMode::kNone) {
    states |= kLoggingIn;
  }
  if (awaitsNickAnswer(relay)) {
    states |= kNickAwaited;
  }
  if (negotiatingCapabilities(relay)) {
    states |= kNegotiating;
  }
  if (relay.whoPending) {
    states |= kWhoAwaited;
  }
  return states;
}

enum class Match : std::uint8_t {
  kWord,           // the command word exactly
  kFourBytes,      // the command word's first four bytes: "NAMES" is NAME's, "PINGX" PING's
  kSentenceReply,  // a numeric told as a sentence (server_replies.cpp)
  kAnyNumeric,     // any three digits
};

enum class Source : std::uint8_t {
  kAny,
  kNeeded,  // only lines with a source; others are passed on
};

// Handles the line; false when the line is not the rule's after all (a
// login reply of another login step, a 437 about a channel), and the next
// rule that fits is tried.
using Handler = bool (*)(const ServerLine&);

template <void (*Handle)(const ServerLine&)>
bool always(const ServerLine& line) {
  Handle(line);
  return true;
}

struct Rule {
  std::string_view word;  // the command word, its first four bytes, or three digits
  Match match;
  States states;
  Source source;
  bool endsRun;  // a numeric run stops before the line, which then stands alone
  std::uint8_t minParameters;
  Handler handler;
};

using enum Match;
using enum Source;

// What a server line is, in the order the rules are tried; the first that
// fits (and takes the line) decides, and a line no rule takes is passed on.
constexpr std::array kRules = {
    // The capability negotiation (capabilities.cpp).
    Rule{"CAP", kWord, kAnyState, kAny, false, 2, takeCapReply},
    Rule{"421", kWord, kNegotiating, kAny, true, 2, takeUnknownCap},  // ERR_UNKNOWNCOMMAND
    // The login with the client's hub password (login.cpp).
    Rule{"AUTHENTICATE", kWord, kLoggingIn, kAny, false, 1, takeChallenge},
    Rule{"ERROR", kWord, kLoggingIn, kAny, false, 1, takePasswordError},
    Rule{"001", kWord, kLoggingIn, kAny, true, 1, notePassWelcome},       // RPL_WELCOME
    Rule{"464", kWord, kLoggingIn, kAny, true, 1, takePasswordMismatch},  // ERR_PASSWDMISMATCH
    Rule{"902", kWord, kLoggingIn, kAny, true, 1, takeSaslFailure},       // ERR_NICKLOCKED
    Rule{"903", kWord, kLoggingIn, kAny, true, 1, takeSaslSuccess},       // RPL_SASLSUCCESS
    Rule{"904", kWord, kLoggingIn, kAny, true, 1, takeSaslRefusal},       // ERR_SASLFAIL
    Rule{"905", kWord, kLoggingIn, kAny, true, 1, takeSaslFailure},       // ERR_SASLTOOLONG
    Rule{"906", kWord, kLoggingIn, kAny, true, 1, takeSaslFailure},       // ERR_SASLABORTED
    Rule{"907", kWord, kLoggingIn, kAny, true, 1, takeSaslSuccess},       // ERR_SASLALREADY
    // Refusals of a NICK of ours (irc_nick.cpp).
    Rule{"432", kWord, kNickAwaited, kNeeded, true, 1, takeNickRefusal},  // ERR_ERRONEUSNICKNAME
    Rule{"433", kWord, kNickAwaited, kNeeded, true, 1, takeNickRefusal},  // ERR_NICKNAMEINUSE
    Rule{"436", kWord, kNickAwaited, kNeeded, true, 1, takeNickRefusal},  // ERR_NICKCOLLISION
    Rule{"437", kWord, kNickAwaited, kNeeded, true, 1, takeNickRefusal},  // ERR_UNAVAILRESOURCE
    // Lines about rooms (server_rooms.cpp); any other goes on to the rules
    // below.
    Rule{"JOIN", kFourBytes, kAnyState, kNeeded, false, 1, takeRoomJoin},
    Rule{"PART", kFourBytes, kAnyState, kNeeded, false, 1, takeRoomPart},
    Rule{"KICK", kFourBytes, kAnyState, kAny, false, 2, takeRoomKick},
    Rule{"QUIT", kFourBytes, kAnyState, kNeeded, false, 0, takeRoomQuit},
    Rule{"NICK", kFourBytes, kAnyState, kNeeded, false, 1, takeRoomNick},
    Rule{"TOPIC", kWord, kAnyState, kAny, false, 1, takeRoomTopic},
    Rule{"MODE", kFourBytes, kAnyState, kAny, false, 1, takeRoomMode},
    Rule{"332", kWord, kAnyState, kNeeded, true, 2, takeRoomTopic},    // RPL_TOPIC
    Rule{"333", kWord, kAnyState, kNeeded, true, 2, takeRoomTopic},    // RPL_TOPICWHOTIME
    Rule{"353", kWord, kAnyState, kNeeded, true, 3, takeRoomNames},    // RPL_NAMREPLY
    Rule{"366", kWord, kAnyState, kNeeded, true, 2, takeRoomNames},    // RPL_ENDOFNAMES
    Rule{"403", kWord, kAnyState, kNeeded, true, 2, takeRoomRefusal},  // ERR_NOSUCHCHANNEL
    Rule{"405", kWord, kAnyState, kNeeded, true, 2, takeRoomRefusal},  // ERR_TOOMANYCHANNELS
    Rule{"471", kWord, kAnyState, kNeeded, true, 2, takeRoomRefusal},  // ERR_CHANNELISFULL
    Rule{"473", kWord, kAnyState, kNeeded, true, 2, takeRoomRefusal},  // ERR_INVITEONLYCHAN
    Rule{"474", kWord, kAnyState, kNeeded, true, 2, takeRoomRefusal},  // ERR_BANNEDFROMCHAN
    Rule{"475", kWord, kAnyState, kNeeded, true, 2, takeRoomRefusal},  // ERR_BADCHANNELKEY
    Rule{"477", kWord, kAnyState, kNeeded, true, 2, takeRoomRefusal},  // ERR_NEEDREGGEDNICK
    // Commands.
    Rule{"PING", kFourBytes, kAnyState, kAny, false, 0, always<answerPing>},
    Rule{"NOTICE", kWord, kAnyState, kAny, false, 1, always<showNotice>},
    Rule{"PRIVMSG", kWord, kAnyState, kAny, false, 1, always<handleMessage>},
    Rule{"PART", kFourBytes, kAnyState, kNeeded, false, 0, always<handleDeparture>},
    Rule{"MODE", kFourBytes, kAnyState, kAny, false, 0, always<handleModeChange>},
    Rule{"NAME", kFourBytes, kAnyState, kAny, false, 0, always<handleNamesList>},
    Rule{"QUIT", kFourBytes, kAnyState, kAny, false, 0, always<handleDeparture>},
    Rule{"KICK", kFourBytes, kAnyState, kAny, false, 0, always<handleKick>},
    Rule{"JOIN", kFourBytes, kAnyState, kAny, false, 0, always<handleJoin>},
    Rule{"NICK", kFourBytes, kAnyState, kAny, false, 0, always<handleNickChange>},
    Rule{"TOPIC", kWord, kAnyState, kAny, false, 1, always<handleTopic>},
    Rule{"ERROR", kWord, kAnyState, kAny, false, 1, always<endOnError>},
    Rule{"PONG", kWord, kAnyState, kAny, false, 1, always<takeAnswer>},
    // What IRCv3 capabilities in use send; without them, passed on as before.
    Rule{"AWAY", kWord, kAnyState, kNeeded, false, 0, takeAway},
    Rule{"CHGHOST", kWord, kAnyState, kNeeded, false, 2, takeHostChange},
    Rule{"ACCOUNT", kWord, kAnyState, kAny, false, 0, takeUnshown},
    Rule{"TAGMSG", kWord, kAnyState, kAny, false, 0, takeUnshown},
    Rule{"INVITE", kWord, kAnyState, kNeeded, false, 2, takeInvite},
    // Numerics; a run of them from one sender is one chat message.
    Rule{"332", kWord, kAnyState, kNeeded, true, 1, always<handleTopic>},      // RPL_TOPIC
    Rule{"353", kWord, kAnyState, kNeeded, true, 1, always<handleNamesList>},  // RPL_NAMREPLY
    Rule{"366", kWord, kAnyState, kNeeded, true, 1, always<endNames>},         // RPL_ENDOFNAMES
    // The channel's WHO, read for away marks (else shown like any numeric).
    Rule{"352", kWord, kWhoAwaited, kNeeded, true, 7, always<noteWhoReply>},   // RPL_WHOREPLY
    Rule{"315", kWord, kWhoAwaited, kNeeded, true, 1, always<endWhoReplies>},  // RPL_ENDOFWHO
    Rule{"", kSentenceReply, kAnyState, kNeeded, true, 1, always<tellReply>},
    Rule{"", kAnyNumeric, kAnyState, kNeeded, false, 1, always<showNumericRun>},
};

bool fits(const Rule& rule, const IrcLine& irc, States states) {
  if ((rule.states & states) != rule.states || irc.parameterCount() < rule.minParameters ||
      (rule.source == Source::kNeeded && !irc.hasSource())) {
    return false;
  }
  switch (rule.match) {
    case Match::kWord:
      return irc.command() == rule.word;
    case Match::kFourBytes:
      return irc.command().starts_with(rule.word);
    case Match::kSentenceReply:
      return irc.isNumeric() && isSentenceReply(irc.numeric());
    case Match::kAnyNumeric:
      return irc.isNumeric();
  }
  return false;
}

// Whether the line `next` continues the numeric run `line` started: a
// numeric from the same sender whose rule does not end runs.
bool continuesRun(const ServerLine& line, const IrcLine& next) {
  if (!next.isNumeric() || !next.hasSource() || !samePrefix(next.source(), line.irc.source())) {
    return false;
  }
  const States states = statesOf(line.relay);
  const auto* rule = std::find_if(kRules.begin(), kRules.end(),
                                  [&](const Rule& r) { return fits(r, next, states); });
  return rule != kRules.end() && !rule->endsRun;
}

void dispatch(const ServerLine& line) {
  const States states = statesOf(line.relay);
  for (const Rule& rule : kRules) {
    if (fits(rule, line.irc, states) && rule.handler(line)) {
      return;
    }
  }
  passOn(line);
}

// Where a line stands to the names list a returning client's user list is
// rebuilt from.
enum class NamesPart : std::uint8_t { kNone, kWithin, kMainEnd };

NamesPart namesPart(const RelayState& relay, const IrcLine& irc) {
  if (irc.command() == "353") {
    return NamesPart::kWithin;
  }
  if (irc.command() != "366") {
    return NamesPart::kNone;
  }
  return isMainChannel(relay, irc.middle(1)) ? NamesPart::kMainEnd : NamesPart::kWithin;
}

// While a session lingers, chat for the client is kept with the time it was
// said, and the rest of what the client would be shown goes nowhere. A
// returning client is shown its user list as the names list rebuilds it,
// and the kept lines at the list's end; a server that never ends that list
// holds them back only until the next chat line, which is replayed with
// them.
void translateLingering(const ServerLine& line) {
  RelayState& relay = line.relay;
  const IrcLine& irc = line.irc;
  if (irc.isNumeric() &&
      std::find(kAwayAnswers.begin(), kAwayAnswers.end(), irc.numeric()) != kAwayAnswers.end()) {
    return;
  }
  const bool listing = relay.returnStep == ReturnStep::kListing;
  const std::optional<std::int64_t> tagged = taggedTime(relay, irc);
  KeepingOutput keeping(line.out, relay, tagged ? *tagged : (line.now ? line.now() : 0), listing);
  dispatch(ServerLine{relay, keeping, irc, line.following, line.localTime, line.now});
  const NamesPart part = namesPart(relay, irc);
  if (listing && (part == NamesPart::kMainEnd || (part == NamesPart::kNone && keeping.keptAny()))) {
    replayKept(relay, line.out, line.localTime, line.now ? line.now() : 0);
  }
}

}  // namespace

std::size_t translateServerLine(RelayState& relay, const Message& message, RelayOutput& out,
                                const LocalTimeSource& localTime, const UnixClock& now) {
  FollowingLines following(message.following);
  ClientCharsetOutput output(out, clientEncoding(relay));
  const IrcLine irc(message.bytes);
  const ServerLine line{relay, output, irc, following, localTime, now};
  if (relay.detachedAt != 0) {
    translateLingering(line);
  } else {
    dispatch(line);
  }
  return following.taken();
}

}  // namespace quayside
