#include "translate/server_support.h"

#include <algorithm>
#include <cstdint>

namespace quayside {
namespace {

using std::string_view;

// What servers that announce no PREFIX give: operators and voiced users.
constexpr string_view kDefaultModes = "ov";
constexpr string_view kDefaultSymbols = "@+";

string_view statusModes(const RelayState& relay) {
  return relay.statusSymbols.empty() ? kDefaultModes : relay.statusModes.view();
}

string_view statusSymbols(const RelayState& relay) {
  return relay.statusSymbols.empty() ? kDefaultSymbols : relay.statusSymbols.view();
}

// The rank of the channel operator among the status modes: 'o', or the
// '@' symbol where a server calls its operators otherwise.
std::size_t operatorRank(const RelayState& relay) {
  const std::size_t rank = statusModes(relay).find('o');
  return rank != string_view::npos ? rank : statusSymbols(relay).find('@');
}

// "(qaohv)~&@%+": modes and symbols pair up in order; an unpaired tail is
// dropped, and so is the whole token when it is malformed.
void notePrefix(RelayState& relay, string_view value) {
  const std::size_t close = value.find(')');
  if (value.empty() || value.front() != '(' || close == string_view::npos) {
    return;
  }
  const string_view modes = value.substr(1, close - 1);
  const string_view symbols = value.substr(close + 1);
  const std::size_t count = std::min({modes.size(), symbols.size(), kStatusPrefixCapacity - 1});
  if (count == 0) {
    return;
  }
  relay.statusModes.assign(modes.substr(0, count));
  relay.statusSymbols.assign(symbols.substr(0, count));
}

// A decimal value of at most three digits, else zero (unknown).
std::uint32_t smallNumber(string_view digits) {
  if (digits.empty() || digits.size() > 3) {
    return 0;
  }
  std::uint32_t value = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') {
      return 0;
    }
    value = value * 10 + static_cast<std::uint32_t>(digit - '0');
  }
  return value;
}

void noteNickLength(RelayState& relay, string_view value) {
  const std::uint32_t length = smallNumber(value);
  if (length > 0) {
    relay.nickLength =
        static_cast<std::uint8_t>(std::min<std::uint32_t>(length, kNickCapacity - 1));
  }
}

// "ascii" and the Unicode mappings (which fold ASCII as "ascii" does)
// leave []\~ alone; anything else is taken as rfc1459.
void noteCaseMapping(RelayState& relay, string_view value) {
  if (value == "ascii" || value == "rfc7613" || value == "rfc8265" || value == "precis") {
    relay.caseMapping = CaseMapping::kAscii;
  } else if (value == "strict-rfc1459") {
    relay.caseMapping = CaseMapping::kStrictRfc1459;
  } else {
    relay.caseMapping = CaseMapping::kRfc1459;
  }
}

// "TARGMAX=PRIVMSG:4,JOIN:5,NAMES:1": JOIN's count; an empty one is no limit.
void noteJoinTargets(RelayState& relay, string_view value) {
  while (!value.empty()) {
    const string_view item = value.substr(0, value.find(','));
    value.remove_prefix(std::min(value.size(), item.size() + 1));
    if (item.starts_with("JOIN:")) {
      relay.joinTargets = static_cast<std::uint16_t>(smallNumber(item.substr(5)));
    }
  }
}

// "CHANLIMIT=#&:20,+:5": the limit of the group with '#' in it; an empty
// one is no limit.
void noteChannelLimit(RelayState& relay, string_view value) {
  while (!value.empty()) {
    const string_view item = value.substr(0, value.find(','));
    value.remove_prefix(std::min(value.size(), item.size() + 1));
    const std::size_t colon = item.find(':');
    if (colon != string_view::npos && item.substr(0, colon).find('#') != string_view::npos) {
      relay.channelLimit = static_cast<std::uint16_t>(smallNumber(item.substr(colon + 1)));
    }
  }
}

}  // namespace

void noteSupport(RelayState& relay, const IrcLine& line) {
  // Past the addressee; the tokens end where the ':'-led text begins.
  IrcWords words = line.wordsFrom(1);
  while (!words.done()) {
    const string_view token = words.next();
    if (words.trailing()) {
      break;
    }
    if (token.starts_with("PREFIX=")) {
      notePrefix(relay, token.substr(7));
    } else if (token.starts_with("NICKLEN=")) {
      noteNickLength(relay, token.substr(8));
    } else if (token.starts_with("MAXNICKLEN=")) {
      noteNickLength(relay, token.substr(11));
    } else if (token.starts_with("CASEMAPPING=")) {
      noteCaseMapping(relay, token.substr(12));
    } else if (token.starts_with("TARGMAX=")) {
      noteJoinTargets(relay, token.substr(8));
    } else if (token.starts_with("CHANLIMIT=")) {
      noteChannelLimit(relay, token.substr(10));
    }
  }
}

std::size_t statusSymbolCount(const RelayState& relay, string_view entry) {
  const string_view symbols = statusSymbols(relay);
  std::size_t count = 0;
  while (count < entry.size() && symbols.find(entry[count]) != string_view::npos) {
    ++count;
  }
  return count;
}

std::uint16_t operatorRanks(const RelayState& relay, string_view symbols) {
  const std::size_t top = operatorRank(relay);
  std::uint16_t ranks = 0;
  for (const char symbol : symbols) {
    const std::size_t rank = statusSymbols(relay).find(symbol);
    if (top != string_view::npos && rank <= top) {
      ranks = static_cast<std::uint16_t>(ranks | (1U << rank));
    }
  }
  return ranks;
}

bool isStatusMode(const RelayState& relay, char letter) {
  return statusModes(relay).find(letter) != string_view::npos;
}

std::uint16_t operatorRankOf(const RelayState& relay, char letter) {
  const std::size_t rank = statusModes(relay).find(letter);
  const std::size_t top = operatorRank(relay);
  if (rank != string_view::npos && top != string_view::npos && rank <= top) {
    return static_cast<std::uint16_t>(1U << rank);
  }
  // 'o' makes an operator even where PREFIX names it otherwise.
  return letter == 'o' ? std::uint16_t{0x8000} : std::uint16_t{0};
}

}  // namespace quayside
