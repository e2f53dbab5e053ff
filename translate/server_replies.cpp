// Server replies a DC user asked for through the hub menu (WHOIS, the ban
// list) or that answer what the user did (errors, the SASL account), told as
// sentences in status lines instead of the server's raw parameters.
#include "core/text.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"

#include <algorithm>
#include <array>
#include <optional>

namespace quayside {
namespace {

using std::string_view;

// Middle parameters kept after the addressee; the replies here use four.
constexpr std::size_t kMostWords = 8;

// A numeric's parameters after its addressee: the middle words, and the
// trailing text (after ':', or the last word when no ':' leads one).
struct ReplyParameters {
  std::array<string_view, kMostWords> words{};
  std::size_t count = 0;
  string_view text;

  string_view word(std::size_t i) const { return i < count ? words[i] : string_view{}; }
  // The i-th parameter, the trailing one counted after the words.
  string_view parameter(std::size_t i) const { return i == count ? text : word(i); }
};

// The words apart by any spaces: empty parameters are skipped.
ReplyParameters readParameters(const IrcLine& line) {
  ReplyParameters parameters;
  // Past the addressee, unless the text comes first.
  IrcWords words = line.wordsFrom(line.middle(0).empty() && line.hasTrailing() ? 0 : 1);
  while (!words.done()) {
    const string_view word = words.next();
    if (words.trailing()) {
      parameters.text = word;
      return parameters;
    }
    if (!word.empty() && parameters.count < kMostWords) {
      parameters.words[parameters.count++] = word;
    }
  }
  if (parameters.count > 0) {
    parameters.text = parameters.words[--parameters.count];
  }
  return parameters;
}

// The nick of a "nick!user@host" (a ban's or a topic's setter).
string_view nickOf(string_view mask) {
  return mask.substr(0, mask.find('!'));
}

// Up to twelve ASCII digits as a number; nothing for anything else.
std::optional<std::uint64_t> readCount(string_view word) {
  if (word.empty() || word.size() > 12) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char digit : word) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  return value;
}

// One status message: "*** " and a short line per reply.
class StatusLines {
 public:
  explicit StatusLines(RelayOutput& out) : message_(out) {
    message_.head().append("*** ");
    message_.endHead();
  }

  // Text from IRC: formatting removed, NMDC-escaped.
  void text(string_view foreign) {
    const std::size_t length = stripFormatting(foreign, scratch_.data(), scratch_.size());
    message_.appendText({scratch_.data(), length});
  }
  // The system's own words.
  void plain(string_view words) { message_.appendPlain(words); }
  // `value` in decimal, at least `width` digits.
  void number(std::uint64_t value, std::size_t width = 1) {
    std::array<char, 20> digits{};
    std::size_t count = 0;
    do {
      digits[digits.size() - ++count] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 || count < std::min(width, digits.size()));
    message_.appendPlain({digits.data() + digits.size() - count, count});
  }
  void endLine() {
    message_.appendBreak();
    ++lines_;
  }

  // Sends what was told, if anything.
  void send() {
    if (lines_ > 0) {
      message_.dropTrailingBreak();
      message_.send();
    }
  }

 private:
  LongMessage message_;
  std::array<char, kStreamCapacity> scratch_;
  std::size_t lines_ = 0;
};

// One reply line being told.
struct Reply {
  const ServerLine& line;
  const ReplyParameters& parameters;
  StatusLines& status;
  std::uint32_t& bans;  // 367 lines in this ban list so far

  string_view word(std::size_t i) const { return parameters.word(i); }
  string_view parameter(std::size_t i) const { return parameters.parameter(i); }
  string_view text() const { return parameters.text; }
};

// The user's local time of the Unix time `word`; nothing when `word` is no
// time or the time cannot be told.
std::optional<CalendarTime> localTimeOf(const Reply& r, string_view word) {
  const std::optional<std::uint64_t> seconds = readCount(word);
  if (!seconds || !r.line.localTime) {
    return std::nullopt;
  }
  const std::optional<CalendarTime> time = r.line.localTime(static_cast<std::int64_t>(*seconds));
  if (!time || time->year < 0) {
    return std::nullopt;
  }
  return time;
}

// " on 2026-12-08 18:02" for the Unix time `word`; nothing when it cannot
// be told.
void tellTimeOn(const Reply& r, string_view word) {
  const std::optional<CalendarTime> time = localTimeOf(r, word);
  if (!time) {
    return;
  }
  r.status.plain(" on ");
  r.status.number(static_cast<std::uint64_t>(time->year), 4);
  r.status.plain("-");
  r.status.number(time->month, 2);
  r.status.plain("-");
  r.status.number(time->day, 2);
  r.status.plain(" ");
  r.status.number(time->hour, 2);
  r.status.plain(":");
  r.status.number(time->minute, 2);
}

// "3 hours 12 minutes": the largest unit and the next one when it is not 0.
void tellDuration(const Reply& r, std::uint64_t seconds) {
  struct Unit {
    std::uint64_t seconds;
    string_view one;
    string_view many;
  };
  constexpr std::array<Unit, 4> kUnits = {{{86400, " day", " days"},
                                           {3600, " hour", " hours"},
                                           {60, " minute", " minutes"},
                                           {1, " second", " seconds"}}};
  std::size_t first = 0;
  while (first + 1 < kUnits.size() && seconds < kUnits[first].seconds) {
    ++first;
  }
  const auto tellUnit = [&](const Unit& unit, std::uint64_t count) {
    r.status.number(count);
    r.status.plain(count == 1 ? unit.one : unit.many);
  };
  tellUnit(kUnits[first], seconds / kUnits[first].seconds);
  if (first + 1 < kUnits.size()) {
    const Unit& next = kUnits[first + 1];
    const std::uint64_t rest = seconds % kUnits[first].seconds / next.seconds;
    if (rest > 0) {
      r.status.plain(" ");
      tellUnit(next, rest);
    }
  }
}

// The reply's own words after the nick it is about: "bob is an IRC
// operator", "bob is using a secure connection".
void tellNickAndText(const Reply& r) {
  r.status.text(r.word(0));
  r.status.plain(" ");
  r.status.text(r.text());
  r.status.endLine();
}

void tellAway(const Reply& r) {  // 301 RPL_AWAY
  r.status.text(r.word(0));
  r.status.plain(" is away: ");
  r.status.text(r.text());
  r.status.endLine();
}

void tellWhoisUser(const Reply& r) {  // 311: nick user host * :real name
  r.status.text(r.word(0));
  r.status.plain(" is ");
  r.status.text(r.word(1));
  r.status.plain("@");
  r.status.text(r.word(2));
  if (!r.text().empty()) {
    r.status.plain(" (");
    r.status.text(r.text());
    r.status.plain(")");
  }
  r.status.endLine();
}

void tellWhoisServer(const Reply& r) {  // 312: nick server :server info
  r.status.text(r.word(0));
  r.status.plain(" is on ");
  r.status.text(r.word(1));
  if (!r.text().empty()) {
    r.status.plain(" (");
    r.status.text(r.text());
    r.status.plain(")");
  }
  r.status.endLine();
}

void tellIdle(const Reply& r) {  // 317: nick idle-seconds sign-on :seconds idle, signon time
  const std::optional<std::uint64_t> idle = readCount(r.word(1));
  if (!idle) {
    tellNickAndText(r);
    return;
  }
  r.status.text(r.word(0));
  r.status.plain(" has been idle ");
  tellDuration(r, *idle);
  if (localTimeOf(r, r.word(2))) {
    r.status.plain(", signed");
    tellTimeOn(r, r.word(2));
  }
  r.status.endLine();
}

void tellChannels(const Reply& r) {  // 319: nick :@#a +#b
  string_view channels = r.text();
  while (channels.ends_with(' ')) {
    channels.remove_suffix(1);
  }
  r.status.text(r.word(0));
  r.status.plain(" is on ");
  r.status.text(channels);
  r.status.endLine();
}

void tellAccount(const Reply& r) {  // 330: nick account :is logged in as
  if (r.word(1).empty()) {
    tellNickAndText(r);
    return;
  }
  r.status.text(r.word(0));
  r.status.plain(" is logged in as ");
  r.status.text(r.word(1));
  r.status.endLine();
}

void tellActualHost(const Reply& r) {  // 338: nick [user@host] ip :actually using host
  if (r.word(1).empty()) {
    tellNickAndText(r);
    return;
  }
  r.status.text(r.word(0));
  r.status.plain(" is actually");
  for (std::size_t i = 1; i < r.parameters.count; ++i) {
    r.status.plain(" ");
    r.status.text(r.word(i));
  }
  r.status.endLine();
}

void endWhois(const Reply& /*r*/) {}  // 318: the block is complete

void tellBan(const Reply& r) {  // 367: channel mask [setter [time]]
  ++r.bans;
  r.status.text(r.parameter(1));
  r.status.plain(" is banned from ");
  r.status.text(r.parameter(0));
  if (const string_view setter = r.parameter(2); !setter.empty()) {
    r.status.plain(", set by ");
    r.status.text(nickOf(setter));
    tellTimeOn(r, r.parameter(3));
  }
  r.status.endLine();
}

void endBans(const Reply& r) {  // 368: channel :End of channel ban list
  r.status.text(r.parameter(0));
  if (r.bans == 0) {
    r.status.plain(" has no bans");
  } else {
    r.status.plain(" has ");
    r.status.number(r.bans);
    r.status.plain(r.bans == 1 ? " ban" : " bans");
  }
  r.status.endLine();
  r.bans = 0;
}

void tellTopicSetter(const Reply& r) {  // 333: channel setter time
  r.status.plain("Topic set");
  if (const string_view setter = r.parameter(1); !setter.empty()) {
    r.status.plain(" by ");
    r.status.text(nickOf(setter));
  }
  tellTimeOn(r, r.parameter(2));
  r.status.endLine();
}

void tellLoggedIn(const Reply& r) {  // 900: nick!user@host account :You are now logged in as ...
  if (const string_view account = r.parameter(1); !account.empty()) {
    r.status.plain("You are logged in as ");
    r.status.text(account);
  } else {
    r.status.text(r.text());
  }
  r.status.endLine();
}

void tellLoggedOut(const Reply& r) {  // 901
  r.status.plain("You are logged out");
  r.status.endLine();
}

// "<target>: <the server's text>"; a reply naming two things (443's nick
// and channel, 478's channel and mask) names both.
void tellError(const Reply& r) {
  for (std::size_t i = 0; i < r.parameters.count; ++i) {
    r.status.text(r.word(i));
    r.status.plain(i + 1 < r.parameters.count ? " " : ": ");
  }
  r.status.text(r.text());
  r.status.endLine();
}

// Which lines a reply is told with in one status message.
enum class Block : std::uint8_t {
  kAlone,  // a line of its own
  kWhois,  // a WHOIS, up to its 318
  kBans,   // a ban list, up to its 368
};

struct ReplyRule {
  std::uint32_t number;
  Block block;
  bool endsBlock;
  void (*tell)(const Reply&);
};

constexpr std::array kReplyRules = {
    ReplyRule{301, Block::kWhois, false, tellAway},         // RPL_AWAY
    ReplyRule{311, Block::kWhois, false, tellWhoisUser},    // RPL_WHOISUSER
    ReplyRule{312, Block::kWhois, false, tellWhoisServer},  // RPL_WHOISSERVER
    ReplyRule{313, Block::kWhois, false, tellNickAndText},  // RPL_WHOISOPERATOR
    ReplyRule{317, Block::kWhois, false, tellIdle},         // RPL_WHOISIDLE
    ReplyRule{318, Block::kWhois, true, endWhois},          // RPL_ENDOFWHOIS
    ReplyRule{319, Block::kWhois, false, tellChannels},     // RPL_WHOISCHANNELS
    ReplyRule{330, Block::kWhois, false, tellAccount},      // RPL_WHOISACCOUNT
    ReplyRule{333, Block::kAlone, false, tellTopicSetter},  // RPL_TOPICWHOTIME
    ReplyRule{338, Block::kWhois, false, tellActualHost},   // RPL_WHOISACTUALLY
    ReplyRule{367, Block::kBans, false, tellBan},           // RPL_BANLIST
    ReplyRule{368, Block::kBans, true, endBans},            // RPL_ENDOFBANLIST
    ReplyRule{401, Block::kAlone, false, tellError},        // ERR_NOSUCHNICK
    ReplyRule{403, Block::kAlone, false, tellError},        // ERR_NOSUCHCHANNEL
    ReplyRule{404, Block::kAlone, false, tellError},        // ERR_CANNOTSENDTOCHAN
    ReplyRule{405, Block::kAlone, false, tellError},        // ERR_TOOMANYCHANNELS
    ReplyRule{442, Block::kAlone, false, tellError},        // ERR_NOTONCHANNEL
    ReplyRule{443, Block::kAlone, false, tellError},        // ERR_USERONCHANNEL
    ReplyRule{471, Block::kAlone, false, tellError},        // ERR_CHANNELISFULL
    ReplyRule{473, Block::kAlone, false, tellError},        // ERR_INVITEONLYCHAN
    ReplyRule{474, Block::kAlone, false, tellError},        // ERR_BANNEDFROMCHAN
    ReplyRule{475, Block::kAlone, false, tellError},        // ERR_BADCHANNELKEY
    ReplyRule{477, Block::kAlone, false, tellError},        // ERR_NEEDREGGEDNICK
    ReplyRule{478, Block::kAlone, false, tellError},        // ERR_BANLISTFULL
    ReplyRule{482, Block::kAlone, false, tellError},        // ERR_CHANOPRIVSNEEDED
    ReplyRule{671, Block::kWhois, false, tellNickAndText},  // RPL_WHOISSECURE
    ReplyRule{900, Block::kAlone, false, tellLoggedIn},     // RPL_LOGGEDIN
    ReplyRule{901, Block::kAlone, false, tellLoggedOut},    // RPL_LOGGEDOUT
};

const ReplyRule* ruleFor(std::uint32_t number) {
  const auto* rule = std::find_if(kReplyRules.begin(), kReplyRules.end(),
                                  [&](const ReplyRule& r) { return r.number == number; });
  return rule == kReplyRules.end() ? nullptr : rule;
}

void tellLine(const ServerLine& line, const IrcLine& irc, const ReplyRule& rule,
              StatusLines& status, std::uint32_t& bans) {
  const ReplyParameters parameters = readParameters(irc);
  rule.tell(Reply{line, parameters, status, bans});
}

}  // namespace

bool isSentenceReply(std::uint32_t number) {
  return ruleFor(number) != nullptr;
}

void tellSentenceReply(const ServerLine& line) {
  const ReplyRule* rule = ruleFor(line.irc.numeric());
  if (rule == nullptr) {
    return;
  }
  StatusLines status(line.out);
  // Counted across receives: a long list arrives in several.
  std::uint32_t& bans = line.relay.bansListed;
  tellLine(line, line.irc, *rule, status, bans);
  // The rest of a WHOIS or ban list received with it joins it, as runs do:
  // within the receive, so what waits for its end is bounded by the receive.
  bool ended = rule->endsBlock;
  while (rule->block != Block::kAlone && !ended) {
    const std::optional<IrcLine> next = line.following.peek();
    if (!next || !next->isNumeric() || next->parameterCount() == 0 || !next->hasSource() ||
        !samePrefix(next->source(), line.irc.source())) {
      break;
    }
    const ReplyRule* nextRule = ruleFor(next->numeric());
    if (nextRule == nullptr || nextRule->block != rule->block) {
      break;
    }
    line.following.take();
    tellLine(line, *next, *nextRule, status, bans);
    ended = nextRule->endsBlock;
  }
  status.send();
}

}  // namespace quayside
