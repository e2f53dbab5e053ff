#include "translate/irc_nick.h"

#include "translate/composer.h"
#include "translate/latin_form.h"
#include "translate/server_handlers.h"

#include <array>
#include <span>

namespace quayside {
namespace {

using std::string_view;

constexpr string_view kCrLf = "\r\n";
constexpr std::size_t kNickLimit = kNickCapacity - 1;
// Alternates tried after the nick itself before the server's refusal stands.
constexpr std::uint8_t kNickTries = 10;
// The length every IRC server takes (RFC 1459), tried when a longer nick is
// refused before the server said its own limit.
constexpr std::uint8_t kShortestNickLength = 9;

constexpr std::uint32_t kErroneousNickname = 432;

bool isLetter(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

bool isDigitOrDash(char byte) {
  return (byte >= '0' && byte <= '9') || byte == '-';
}

// Letters, digits, '-' and []\`_^{|}: what an IRC nick may hold.
bool isNickByte(char byte) {
  return isLetter(byte) || isDigitOrDash(byte) ||
         string_view("[]\\`_^{|}").find(byte) != string_view::npos;
}

// `nick` made valid for IRC into `out` (at least kNickLimit bytes): written
// with Latin letters (latin_form.h), each character still forbidden becomes
// '_', and a digit or '-' in front gets '_' before it.
std::size_t validNick(string_view nick, std::span<char> out) {
  // Twice the nick: its Latin form is never cut.
  std::array<char, 2 * kNickLimit> latinArea{};
  const string_view latin(latinArea.data(), writeLatinForm(nick, latinArea));
  std::size_t size = 0;
  auto put = [&](char byte) {
    if (size < kNickLimit) {
      out[size++] = byte;
    }
  };
  if (!latin.empty() && isDigitOrDash(latin.front())) {
    put('_');
  }
  for (const char byte : latin) {
    put(isNickByte(byte) ? byte : '_');
  }
  if (size == 0) {
    for (const char byte : string_view("quayside")) {
      put(byte);
    }
  }
  return size;
}

std::size_t nickLimit(const RelayState& relay) {
  return relay.nickLength == 0 ? kNickLimit : relay.nickLength;
}

// The candidate number `attempt`: the valid nick, then with '_', then with
// a digit, each cut so that it fits the server's limit.
void composeCandidate(RelayState& relay, std::uint8_t attempt) {
  std::array<char, kNickLimit> valid{};
  const string_view base(valid.data(), validNick(relay.nick.view(), valid));
  std::array<char, 4> suffixArea{};
  string_view suffix;
  if (attempt == 1) {
    suffix = "_";
  } else if (attempt > 1) {
    suffixArea[0] = static_cast<char>('0' + (attempt - 1) % 10);
    suffix = string_view(suffixArea.data(), 1);
  }
  const std::size_t limit = nickLimit(relay);
  const std::size_t room = limit > suffix.size() ? limit - suffix.size() : 0;
  relay.nickCandidate.write(kNickLimit, [&](std::span<char> into) {
    const std::size_t head = base.substr(0, room).copy(into.data(), into.size());
    return head + suffix.copy(into.data() + head, into.size() - head);
  });
  relay.nickAttempt = attempt;
}

}  // namespace

bool awaitsNickAnswer(const RelayState& relay) {
  const bool registering =
      (relay.loginFlags & kLoginNickSent) != 0 && (relay.loginFlags & kLoginWelcomed) == 0;
  return registering || relay.nickPending;
}

namespace {

void sendNick(const ServerLine& line, string_view nick) {
  Batch lines(line.out, Peer::kServer);
  lines.add([&](Composer& c) {
    c.append("NICK ");
    c.append(nick);
    c.terminate(kCrLf);
  });
}

// Why the IRC nick differs from the DC nick, in the user's words.
void appendWhy(const RelayState& relay, Composer& c) {
  if (!relay.refusedNick.empty()) {
    c.append("the server refused ");
    c.appendEscaped(relay.refusedNick.view());
    return;
  }
  std::array<char, kNickLimit> valid{};
  const string_view made(valid.data(), validNick(relay.nick.view(), valid));
  if (made != relay.nick.view()) {
    c.appendEscaped(relay.nick.view());
    c.append(" is not a valid IRC nick");
    return;
  }
  c.append("the server's nicks are at most ");
  c.appendDecimal(relay.nickLength);
  c.append(" characters");
}

}  // namespace

std::string_view ircNickOf(const RelayState& relay) {
  return relay.ircNick.empty() ? relay.nick.view() : relay.ircNick.view();
}

namespace {

constexpr std::string_view kClashMark = "[irc]";

// Nicks compared as servers do: bit 0x20 folds ASCII letters, and also
// []\\~ onto {}|^.
bool sameNick(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if ((a[i] | 0x20) != (b[i] | 0x20)) {
      return false;
    }
  }
  return true;
}

// Whether IRC member `nick` would be listed under the DC user's own name.
bool clashes(const RelayState& relay, std::string_view nick) {
  return !relay.nick.empty() && sameNick(nick, relay.nick.view()) &&
         !sameNick(ircNickOf(relay), relay.nick.view());
}

}  // namespace

std::string_view memberName(const RelayState& relay, std::string_view nick, std::string& storage) {
  if (!clashes(relay, nick)) {
    return nick;
  }
  storage.assign(nick);
  storage += kClashMark;
  return storage;
}

std::string_view memberNick(const RelayState& relay, std::string_view name) {
  if (name.size() > kClashMark.size() && name.ends_with(kClashMark)) {
    const std::string_view nick = name.substr(0, name.size() - kClashMark.size());
    if (clashes(relay, nick)) {
      return nick;
    }
  }
  return name;
}

namespace {

// A nick byte as the server's case mapping compares it.
char foldNickByte(char byte, CaseMapping mapping) {
  if (byte >= 'A' && byte <= 'Z') {
    return static_cast<char>(byte - 'A' + 'a');
  }
  if (mapping == CaseMapping::kAscii) {
    return byte;
  }
  switch (byte) {
    case '[':
      return '{';
    case ']':
      return '}';
    case '\\':
      return '|';
    case '~':
      return mapping == CaseMapping::kRfc1459 ? '^' : byte;
    default:
      return byte;
  }
}

// Whether `nick` is mentioned at text[at]: the same nick, and no nick
// character right before or after it.
bool mentionAt(std::string_view text, std::size_t at, std::string_view nick, CaseMapping mapping) {
  if (text.size() - at < nick.size() || (at > 0 && isNickByte(text[at - 1]))) {
    return false;
  }
  const std::size_t end = at + nick.size();
  if (end < text.size() && isNickByte(text[end])) {
    return false;
  }
  for (std::size_t i = 0; i < nick.size(); ++i) {
    if (foldNickByte(text[at + i], mapping) != foldNickByte(nick[i], mapping)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string_view withDcNick(const RelayState& relay, std::string_view text, std::string& storage) {
  const std::string_view ircNick = relay.ircNick.view();
  const std::string_view dcNick = relay.nick.view();
  if (ircNick.empty() || dcNick.empty() || ircNick == dcNick) {
    return text;
  }
  // Rewritten only once a mention is found: most lines have none.
  std::size_t copied = 0;
  bool replaced = false;
  std::size_t at = 0;
  while (at < text.size()) {
    if (!mentionAt(text, at, ircNick, relay.caseMapping)) {
      ++at;
      continue;
    }
    if (!replaced) {
      storage.clear();
      replaced = true;
    }
    storage.append(text.substr(copied, at - copied));
    storage.append(dcNick);
    at += ircNick.size();
    copied = at;
  }
  if (!replaced) {
    return text;
  }
  storage.append(text.substr(copied));
  return storage;
}

std::string_view chooseIrcNick(RelayState& relay) {
  relay.refusedNick.clear();
  relay.nickRefusals = 0;
  composeCandidate(relay, 0);
  // A NICK for the nick already held gets no answer.
  relay.nickPending = (relay.loginFlags & kLoginWelcomed) != 0 &&
                      relay.nickCandidate.view() != relay.ircNick.view();
  return relay.nickCandidate.view();
}

bool takeNickRefusal(const ServerLine& line) {
  RelayState& relay = line.relay;
  const std::uint32_t number = line.irc.numeric();
  // "437 <target> <nick or channel> :..." also refuses channels.
  const std::string_view refused = line.irc.middle(1);
  if (refused.starts_with('#') || refused.starts_with('&')) {
    return false;
  }

  relay.refusedNick.assign(relay.nickCandidate.view());
  const bool tooLong = number == kErroneousNickname && relay.nickLength == 0 &&
                       relay.nickCandidate.size() > kShortestNickLength;
  if (tooLong) {
    relay.nickLength = kShortestNickLength;
  }
  if (relay.nickRefusals >= kNickTries) {
    if (relay.nickPending) {
      relay.nickPending = false;
      Batch status(line.out, Peer::kClient);
      status.add([&](Composer& c) {
        c.append("*** On IRC you are still ");
        c.appendEscaped(ircNickOf(relay));
        c.append(" (the server refused ");
        c.appendEscaped(relay.refusedNick.view());
        c.append(" and every alternate)");
        c.terminate("|");
      });
    } else {
      line.out.endSession({EndCause::kNickRefused, EndSide::kServer,
                           "the IRC server refused every nick tried, the last " +
                               std::string(relay.refusedNick.view()),
                           ""});
    }
    return true;
  }
  ++relay.nickRefusals;
  // A nick cut to a shorter limit is the next try; otherwise the next
  // alternate that differs from the refused one.
  std::uint8_t attempt =
      tooLong ? relay.nickAttempt : static_cast<std::uint8_t>(relay.nickAttempt + 1);
  composeCandidate(relay, attempt);
  while (relay.nickCandidate.view() == relay.refusedNick.view() && attempt <= kNickTries) {
    composeCandidate(relay, ++attempt);
  }
  sendNick(line, relay.nickCandidate.view());
  return true;
}

void noteWelcomeNick(RelayState& relay, const IrcLine& line) {
  if (relay.nickCandidate.empty()) {
    return;  // no NICK of ours: the DC nick stands
  }
  // A server may cut the nick it was asked for; the welcome says which it took.
  const string_view nick = line.middle(0).substr(0, line.middle(0).find('!'));
  relay.ircNick.assign(nick.empty() || nick == "*" ? relay.nickCandidate.view() : nick);
}

bool noteOwnNickChange(RelayState& relay, std::string_view newNick) {
  const bool asked = relay.nickPending;
  relay.ircNick.assign(newNick);
  relay.nickPending = false;
  return asked;
}

void tellIrcNick(const RelayState& relay, RelayOutput& out, std::string_view why) {
  if (relay.ircNick.empty() || relay.ircNick.view() == relay.nick.view()) {
    return;
  }
  Batch status(out, Peer::kClient);
  status.add([&](Composer& c) {
    c.append("*** On IRC you are ");
    c.appendEscaped(relay.ircNick.view());
    c.append(" (");
    if (why.empty()) {
      appendWhy(relay, c);
    } else {
      c.append(why);
    }
    c.append(")");
    c.terminate("|");
  });
}

}  // namespace quayside
