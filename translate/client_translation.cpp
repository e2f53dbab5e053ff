#include "translate/client_translation.h"

#include "core/random.h"
#include "core/server_address.h"
#include "translate/capabilities.h"
#include "translate/client_charset.h"
#include "translate/composer.h"
#include "translate/ctcp.h"
#include "translate/irc_nick.h"
#include "translate/linger.h"
#include "translate/login.h"
#include "translate/nmdc_text.h"
#include "translate/room_lines.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace quayside {
namespace {

using namespace std::string_view_literals;
using std::string_view;

constexpr string_view kCrLf = "\r\n";
constexpr string_view kNul = "\0"sv;

// IRC servers take at most 512 bytes per line, CR LF included; ngircd closes
// the connection on a longer one.
constexpr std::size_t kServerLineLimit = 512;
// Lines that the server relays to other users get the sender's prefix put in
// front; this room keeps the relayed line whole.
constexpr std::size_t kPrefixRoom = 110;
constexpr std::size_t kRelayedLineLimit = kServerLineLimit - kPrefixRoom;
// One line must hold at least one whole UTF-8 character.
constexpr std::size_t kMinTextRoom = 4;
// IRC host names are at most 63 bytes; longer USER fields would only crowd
// the line past the server's limit.
constexpr std::size_t kUserFieldLimit = 63;
constexpr std::size_t kNickFromInfoLimit = 99;
constexpr std::size_t kNickLimit = kNickCapacity - 1;

// A command's text in IRC form; unescaping never makes text longer.
using TextScratch = std::array<char, kStreamCapacity>;
// A line head (or another piece that must fit one relayed line).
using HeadScratch = std::array<char, kRelayedLineLimit>;

// A field that goes into an IRC line ends at the first of these: a line
// break would let one client field send a second IRC command.
constexpr string_view kLineStops = "\r\n\0"sv;
constexpr string_view kKick = "$Kick "sv;
constexpr string_view kConnectToMe = "$ConnectToMe "sv;
constexpr string_view kRevConnectToMe = "$RevConnectToMe "sv;

struct Command {
  RelayState& relay;
  RelayOutput& out;
  const RandomSource& random;
  string_view body;       // the command without its '|'
  string_view following;  // received bytes after that '|'
  const LocalTimeSource& localTime;
  const UnixClock& now;
  std::size_t taken = 0;  // following messages this one answered for
};

bool startsWith(string_view text, string_view prefix) {
  return text.size() >= prefix.size() &&
         std::memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// `text` up to, not including, the first of `stops`.
string_view upTo(string_view text, string_view stops) {
  // Stop sets are one to four bytes: four plain compares per byte beat a
  // library search per byte.
  if (stops.empty() || stops.size() > 4) {
    return text.substr(0, text.find_first_of(stops));
  }
  char stop[4];
  for (std::size_t k = 0; k < 4; ++k) {
    stop[k] = stops[k < stops.size() ? k : 0];
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i];
    if (byte == stop[0] || byte == stop[1] || byte == stop[2] || byte == stop[3]) {
      return text.substr(0, i);
    }
  }
  return text;
}

string_view unescaped(string_view text, std::span<char> scratch) {
  return {scratch.data(), nmdcUnescape(text, scratch.data(), scratch.size())};
}

// The text of a chat or private message unescaped: in `scratch`, or, for a
// paste longer than that, in heap memory that `large` holds (a stack area
// that big would stay resident in every relay thread).
string_view unescapedText(string_view text, TextScratch& scratch, std::unique_ptr<char[]>& large) {
  if (text.size() <= scratch.size()) {
    return unescaped(text, scratch);
  }
  large.reset(new char[text.size()]);
  return {large.get(), nmdcUnescape(text, large.get(), text.size())};
}

bool isContinuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

// The longest start of `text` that fits `room` bytes; when the text is valid
// UTF-8 the cut backs off to the start of a character.
string_view cutToFit(string_view text, std::size_t room, bool utf8) {
  if (text.size() <= room) {
    return text;
  }
  std::size_t cut = room;
  if (utf8) {
    while (cut > 0 && isContinuation(text[cut])) {
      --cut;
    }
    if (cut == 0) {
      cut = room;  // room too small for one character: a cut is still better than nothing
    }
  }
  return text.substr(0, cut);
}

// Composes a line head into `area`; empty when it does not fit.
template <typename Compose>
std::optional<string_view> composeHead(HeadScratch& area, Compose&& compose) {
  Composer composer(area);
  compose(composer);
  if (composer.truncated()) {
    return std::nullopt;
  }
  return composer.view();
}

// Sends `text` (IRC form) to the server as lines that each begin with
// `head` (and end with `tail`). A line break starts a new line and a run of
// breaks counts as one; a line that would not survive relaying is cut and
// goes on in the next.
void sendTextLines(Command& c, string_view head, string_view text, string_view tail = {}) {
  if (head.size() + tail.size() + kCrLf.size() + kMinTextRoom > kRelayedLineLimit) {
    return;  // the head alone fills the line: no IRC target is that long
  }
  const std::size_t room = kRelayedLineLimit - head.size() - tail.size() - kCrLf.size();
  const bool utf8 = isValidUtf8(text);
  Batch batch(c.out, Peer::kServer);
  std::size_t i = 0;
  while (i < text.size()) {
    // The cut looks at one byte past the room at most: searching further for
    // the break would make a long paste cost its length once per line.
    const string_view piece = cutToFit(upTo(text.substr(i, room + 1), "\r\n"), room, utf8);
    i += piece.size();
    while (i < text.size() && (text[i] == '\r' || text[i] == '\n')) {
      ++i;
    }
    batch.add([&](Composer& line) {
      line.append(head);
      // A line that starts with a break still carries some text.
      line.append(piece.empty() ? " "sv : piece);
      line.append(tail);
      line.terminate(kCrLf);
    });
  }
}

// Sends chat or private text after `head`. Text led by "/me " is an action:
// its first line goes as CTCP ACTION (each piece of it, when it is cut), the
// lines after it as plain text, as DC clients show only that line as one.
void sendChatText(Command& c, string_view head, string_view text) {
  const std::optional<string_view> action = meAction(text);
  if (!action) {
    sendTextLines(c, head, text);
    return;
  }
  HeadScratch area;
  const std::optional<string_view> actionHead = composeHead(area, [&](Composer& line) {
    line.append(head);
    line.append(
        "\x01"
        "ACTION "sv);
  });
  const string_view first = upTo(*action, "\r\n");
  if (actionHead) {
    sendTextLines(c, *actionHead, first, "\x01");
  }
  string_view rest = action->substr(first.size());
  rest.remove_prefix(std::min(rest.find_first_not_of("\r\n"), rest.size()));
  sendTextLines(c, head, rest);
}

// Adds one line of at most `limit` bytes: a head of system bytes, then
// `tail` cut to what fits.
template <typename ComposeHead>
void addLine(Batch& batch, std::size_t limit, string_view tail, ComposeHead&& composeHeadFn) {
  batch.add([&](Composer& line) {
    composeHeadFn(line);
    const std::size_t used = line.size() + kCrLf.size();
    line.append(used >= limit ? string_view() : cutToFit(tail, limit - used, isValidUtf8(tail)));
    line.terminate(kCrLf);
  });
}

// --- Login ------------------------------------------------------------------

constexpr string_view kValidateNick = "$ValidateNick ";
constexpr string_view kSupports = "$Supports ";
constexpr string_view kMyInfo = "$MyINFO $ALL ";

// NICK with the IRC nick chosen for the DC nick just set; the
// registration's first opens the capability negotiation.
void addNickLine(Batch& batch, RelayState& relay) {
  if ((relay.loginFlags & kLoginNickSent) == 0) {
    startCapabilities(relay, batch);
  }
  addLine(batch, kServerLineLimit, chooseIrcNick(relay),
          [](Composer& line) { line.append("NICK "sv); });
}

// Whether the server login still waits for the client's password.
bool awaitsPassword(const RelayState& relay) {
  return relay.options.login != LoginMode::kNone &&
         (relay.loginStep == LoginStep::kIdle || relay.loginStep == LoginStep::kAsked);
}

// The NMDC way to ask for the hub password; the client answers "$MyPass".
void askPassword(Command& c) {
  c.out.send(Peer::kClient, "$GetPass|");
  c.relay.loginStep = LoginStep::kAsked;
}

void sendHello(Command& c) {
  Batch reply(c.out, Peer::kClient);
  reply.add([&](Composer& hello) {
    hello.append("$Hello "sv);
    hello.appendEscaped(c.relay.nick.view());
    hello.terminate("|");
  });
}

void validateNick(Command& c) {
  RelayState& relay = c.relay;
  const string_view raw = upTo(c.body.substr(kValidateNick.size()), kLineStops);
  const std::string before(relay.nick.view());
  relay.nick.write(kNickLimit, [&](std::span<char> area) {
    return nmdcUnescape(raw, area.data(), area.size());
  });
  if (awaitsPassword(relay)) {
    // "$Hello" and NICK wait for the password, as PASS and CAP go first
    // (asked once: a Bridge's own password was asked for already).
    if (relay.loginStep == LoginStep::kIdle) {
      askPassword(c);
    }
    return;
  }
  sendHello(c);
  relay.loginFlags |= kLoginValidated;
  // The nick the server has already (a client returning to a lingering
  // session, or one that says its nick twice) needs no NICK.
  if ((relay.loginFlags & kLoginNickSent) != 0 && relay.nick.view() == before) {
    return;
  }
  // Also after registration: the menu's "Change nick" must rename the user on
  // IRC too, and a nick refused at registration can only be replaced this way.
  {
    Batch lines(c.out, Peer::kServer);
    addNickLine(lines, relay);
  }
  relay.loginFlags |= kLoginNickSent;
}

// `needle` (lower case) anywhere, any letter case (bit 0x20 set on each byte).
bool mentions(string_view words, string_view needle) {
  const string_view kNeedle = needle;
  for (std::size_t i = 0; i + kNeedle.size() <= words.size(); ++i) {
    std::size_t k = 0;
    while (k < kNeedle.size() && (words[i + k] | 0x20) == kNeedle[k]) {
      ++k;
    }
    if (k == kNeedle.size()) {
      return true;
    }
  }
  return false;
}

void supports(Command& c) {
  RelayState& relay = c.relay;
  const string_view features = upTo(c.body.substr(kSupports.size()), kNul);
  if (mentions(features, "nickchan")) {
    relay.clientFeatures |= kFeatureNickChange;
  }
  if (mentions(features, "botlist")) {
    relay.clientFeatures |= kFeatureBotList;
  }
  Batch reply(c.out, Peer::kClient);
  reply.add([&](Composer& answer) {
    answer.append("$Supports "sv);
    if ((relay.clientFeatures & kFeatureNickChange) != 0) {
      answer.append("NickChange "sv);
    }
    answer.append("UserCommand NoGetINFO NoHello "sv);
    answer.terminate("|");
  });
}

// The operator menu: the channel target goes between every two pieces.
constexpr std::array<string_view, 7> kMenuPieces = {
    "$UserCommand 255 15 |$UserCommand 2 6 Op$&#36;MODE ",
    " +o %[nick]&#124;|$UserCommand 2 6 Deop$&#36;MODE ",
    " -o %[nick]&#124;|$UserCommand 2 6 Whois$&#36;WHOIS %[nick]&#124;|$UserCommand 2 1 Topic "
    "...$&#36;TOPIC ",
    " :%[line:Enter new topic:]&#124;|$UserCommand 0 1 |$UserCommand 2 1 Banlist$&#36;MODE ",
    " +b&#124;|$UserCommand 2 1 Set Ban ...$&#36;MODE ",
    " +b %[line:Enter the user info that will be banned:]&#124;|$UserCommand 2 1 Unban "
    "...$&#36;MODE ",
    " -b %[line:Enter the user info that will be unbanned:]&#124;|$UserCommand 0 1 "
    "|$UserCommand 2 1 Change nick ...$&#36;ValidateNick %[line:Enter your new nick]&#124;|"
    "$UserCommand 0 1 |$UserCommand 1 1 Join room ...$<%[mynick]> +join "
    "%[line:Channel]&#124;|$UserCommand 2 2 Leave room$<%[mynick]> +part %[nick]&#124;|",
};

void sendOperatorMenu(Command& c) {
  const string_view channel = c.relay.channel.view();
  Batch menu(c.out, Peer::kClient);
  menu.add([&](Composer& entries) {
    for (std::size_t i = 0; i < kMenuPieces.size(); ++i) {
      if (i > 0) {
        appendChannelTarget(entries, channel);
      }
      entries.append(kMenuPieces[i]);
    }
  });
}

// The host of the e-mail address: after the third '$', the bytes after an
// '@' up to the next '$'. None when the field holds no '@'.
std::optional<string_view> emailHost(string_view info) {
  std::size_t from = 0;
  for (int dollar = 0; dollar < 3; ++dollar) {
    const std::size_t at = info.find('$', from);
    if (at == string_view::npos) {
      return std::nullopt;
    }
    from = at + 1;
  }
  const string_view email = upTo(info.substr(from), "$");
  const std::size_t at = email.find('@');
  if (at == string_view::npos) {
    return std::nullopt;
  }
  return email.substr(at + 1);
}

// 3 to 10 letters from 'a' to 'p', then ".com".
string_view madeUpHost(std::span<char> area, const RandomSource& random) {
  const std::uint32_t count = (random() & 7u) + 3u;
  std::size_t size = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    area[size++] = static_cast<char>('a' + (random() & 15u));
  }
  for (const char byte : ".com"sv) {
    area[size++] = byte;
  }
  return {area.data(), size};
}

// The user name IRC servers accept: only letters, digits, '-', '_', '.'.
void appendUserName(Composer& line, string_view nick) {
  const std::size_t before = line.size();
  for (const char byte : nick) {
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '.') {
      line.append(byte);
    }
  }
  if (line.size() == before) {
    line.append("quayside"sv);
  }
}

void sendRegistration(Command& c) {
  RelayState& relay = c.relay;
  const string_view info = relay.myInfo.view();
  Batch lines(c.out, Peer::kServer);
  if ((relay.loginFlags & kLoginNickSent) == 0) {
    if (relay.nick.empty()) {
      // The first word: bytes of 0x80 and above count as nick bytes.
      std::size_t end = 0;
      while (end < info.size() && static_cast<unsigned char>(info[end]) > 0x20u) {
        ++end;
      }
      relay.nick.write(kNickFromInfoLimit, [&](std::span<char> area) {
        return nmdcUnescape(info.substr(0, end), area.data(), area.size());
      });
    }
    addNickLine(lines, relay);
    relay.loginFlags |= kLoginValidated | kLoginNickSent;
  }

  const string_view nick = relay.nick.view();
  std::array<char, kMyInfoCapacity> hostArea{};
  std::array<char, kMyInfoCapacity> realnameArea{};
  const std::optional<string_view> email = emailHost(info);
  string_view host =
      email ? unescaped(upTo(*email, kLineStops), hostArea) : madeUpHost(hostArea, c.random);
  host = cutToFit(host, kUserFieldLimit, isValidUtf8(host));
  // The settings file is hostile input too: no line break from it reaches IRC.
  string_view server =
      upTo(parseServerAddress(relay.serverText.view(), relay.upstreamKind).host, kLineStops);
  server = cutToFit(server, kUserFieldLimit, isValidUtf8(server));
  const std::size_t space = info.find_first_of(" $|\0"sv);
  string_view realname = space != string_view::npos && info[space] == ' '
                             ? unescaped(upTo(info.substr(space + 1), "$|\0<"sv), realnameArea)
                             : nick;
  realname = upTo(realname, kLineStops);
  if (realname.empty()) {
    // An empty last parameter is none to most servers (InspIRCd refuses
    // the USER line, and registration never ends): the nick stands in, as
    // it does without a description.
    realname = nick;
  }

  // Only the realname is cut: everything before it is bounded well below
  // the server's line limit.
  addLine(lines, kServerLineLimit, realname, [&](Composer& line) {
    line.append("USER "sv);
    appendUserName(line, nick);
    line.append(" \""sv);
    line.append(host);
    line.append("\" \""sv);
    line.append(server);
    line.append("\" :"sv);
  });
  lines.flush();
  relay.loginFlags |= kLoginUserSent;
}

void userInformation(Command& c) {
  RelayState& relay = c.relay;
  // The echo is the client's own command, byte for byte, with its '|'.
  c.out.send(Peer::kClient, c.body, "|");
  relay.myInfo.assign(upTo(c.body.substr(kMyInfo.size()), kNul));
  relay.loginFlags |= kLoginInfoReceived;
  if ((relay.loginFlags & kLoginUserSent) != 0) {
    if (relay.returnStep == ReturnStep::kLoggingIn) {
      // A client taking a lingering session over is greeted as the first was.
      sendOperatorMenu(c);
      greetReturningClient(relay, c.out, c.localTime, c.now ? c.now() : 0);
    }
    return;
  }
  if (awaitsPassword(relay)) {
    if (relay.loginStep == LoginStep::kIdle) {
      askPassword(c);
    }
    return;  // registration waits for "$MyPass"
  }
  sendOperatorMenu(c);
  sendRegistration(c);
}

constexpr string_view kMyPass = "$MyPass ";

// A PASS parameter that is empty, holds a space or starts with ':' must be
// the line's last, ':'-led parameter.
bool needsTrailingForm(string_view password) {
  return password.empty() || password.front() == ':' || password.find(' ') != string_view::npos;
}

// "$MyPass <password>": the password goes to the server first (PASS, or
// the SASL request that later carries it), then the registration held back.
void givePassword(Command& c) {
  RelayState& relay = c.relay;
  if (relay.options.login == LoginMode::kNone || relay.loginStep != LoginStep::kAsked) {
    return;  // never asked for: ignored as any unknown command
  }
  TextScratch scratch;
  const string_view given = c.body.substr(kMyPass.size());
  // Cut at a NUL, a password would be checked as another one.
  if (given.find('\0') != string_view::npos) {
    refusePassword(relay, c.out, "cannot be sent a password with a NUL byte");
    return;
  }
  const string_view password = unescaped(given, scratch);
  const bool pass = relay.options.login == LoginMode::kPass;
  if (password.size() > kPasswordCapacity - 1) {
    wipeBytes(scratch);
    refusePassword(relay, c.out, "takes no password longer than 255 bytes from this gateway");
    return;
  }
  if (pass && password.find_first_of("\r\n"sv) != string_view::npos) {
    wipeBytes(scratch);
    refusePassword(relay, c.out, "cannot be sent a password with a line break");
    return;
  }
  {
    Batch lines(c.out, Peer::kServer);
    if (pass) {
      lines.add([&](Composer& line) {
        line.append(needsTrailingForm(password) ? "PASS :"sv : "PASS "sv);
        line.append(password);
        line.terminate(kCrLf);
      });
      relay.loginStep = LoginStep::kPassSent;
    } else {
      // Held for SASL, which the capability negotiation asks for.
      relay.password.assign(password);
      relay.loginStep = LoginStep::kCapRequested;
    }
    wipeBytes(scratch);
    if (!relay.nick.empty()) {
      // The nick came with "$ValidateNick", whose answer waited until now.
      addNickLine(lines, relay);
      relay.loginFlags |= kLoginValidated | kLoginNickSent;
    }
  }
  if ((relay.loginFlags & kLoginNickSent) != 0) {
    sendHello(c);
  }
  if ((relay.loginFlags & kLoginInfoReceived) != 0) {
    sendOperatorMenu(c);
    sendRegistration(c);
  }
}

// --- After login --------------------------------------------------------------

// "$MODE ", "$TOPIC", "$WHOIS": the command itself is the IRC line.
void passThrough(Command& c) {
  TextScratch scratch;
  const string_view line = unescaped(upTo(c.body.substr(1), kLineStops), scratch);
  Batch lines(c.out, Peer::kServer);
  addLine(lines, kServerLineLimit, line, [](Composer&) {});
}

// A private message to a room is said in the room; "+part" leaves it.
void roomMessage(Command& c, string_view name, string_view text) {
  const Room* room = roomOf(c.relay, name);
  if (room == nullptr) {
    const std::string shown(name);
    tellInRoom(c.relay, c.out, name,
               c.relay.rooms.find(name) != nullptr
                   ? "*** " + shown + " is not joined yet"
                   : "*** You are not in " + shown + " (type +join " + shown + ")");
    return;
  }
  if (text == "+part"sv) {
    partRoom(c.relay, c.out, *c.relay.rooms.find(name));
    return;
  }
  HeadScratch headArea;
  const std::optional<string_view> head = composeHead(headArea, [&](Composer& line) {
    line.append("PRIVMSG "sv);
    line.append(room->name.view());
    line.append(" :"sv);
  });
  if (head) {
    sendChatText(c, *head, text);
  }
}

// "$To: target From: sender $<sender> text"
void privateMessage(Command& c) {
  string_view rest = c.body.substr(4);
  if (startsWith(rest, " ")) {
    rest.remove_prefix(1);
  }
  const string_view target = upTo(rest, " $\0"sv);
  const std::size_t mark = rest.find_first_of("$\0"sv);
  // A target cut at a line break would name another user: no message then.
  if (mark == string_view::npos || rest.substr(mark, 2) != "$<" ||
      target.find_first_of(kCrLf) != string_view::npos) {
    return;
  }
  string_view text = rest.substr(mark + 2);
  const std::size_t close = text.find_first_of(">\0"sv);
  if (close == string_view::npos || text[close] != '>') {
    return;  // no text
  }
  text.remove_prefix(close + 1);
  if (startsWith(text, " ")) {
    text.remove_prefix(1);
  }

  HeadScratch targetArea;
  const string_view targetName = unescaped(target, targetArea);
  if (targetName.size() == targetArea.size()) {
    return;  // longer than any line could carry
  }
  TextScratch scratch;
  std::unique_ptr<char[]> large;
  if (isChannelName(targetName) && !isMainChannel(c.relay, targetName)) {
    roomMessage(c, targetName, unescapedText(upTo(text, kNul), scratch, large));
    return;
  }
  const string_view targetNick = memberNick(c.relay, targetName);
  HeadScratch headArea;
  const std::optional<string_view> head = composeHead(headArea, [&](Composer& line) {
    line.append("PRIVMSG "sv);
    line.append(targetNick);
    line.append(" :"sv);
  });
  if (!head) {
    return;
  }
  sendChatText(c, *head, unescapedText(upTo(text, kNul), scratch, large));
}

// "KICK #chan nick" and `tail`, for both forms of the client's kick.
std::optional<string_view> composeKick(HeadScratch& area, const Command& c, string_view nick,
                                       string_view tail) {
  return composeHead(area, [&](Composer& kick) {
    kick.append("KICK "sv);
    appendChannelTarget(kick, c.relay.channel.view());
    kick.append(' ');
    kick.append(nick);
    kick.append(tail);
  });
}

// "<op> is kicking eve because: spam" directly followed by "$Kick eve|" in
// the same read: the client announces a kick. Sends the KICK line and says so.
bool kickAnnounced(Command& c) {
  constexpr string_view kKicking = " is kicking ";
  constexpr string_view kBecause = " because: ";
  const string_view line = upTo(c.body, kNul);
  const std::size_t kicking = line.find(kKicking);
  if (kicking == string_view::npos) {
    return false;
  }
  const std::size_t because = line.find(kBecause, kicking + kKicking.size());
  // A NUL before the '|' means the next bytes are not "|$Kick".
  if (because == string_view::npos || line.size() != c.body.size() ||
      !startsWith(c.following, "$Kick")) {
    return false;
  }
  string_view kicked = c.following.substr(5);
  if (startsWith(kicked, " ")) {
    kicked.remove_prefix(1);
  }
  // Only a whole nick is kicked: while its '|' has not arrived the
  // announcement is chat, as when "$Kick" comes in a later receive.
  const std::size_t kickedEnd = kicked.find('|');
  if (kickedEnd == string_view::npos) {
    return false;
  }
  // Bytes after the command were not made UTF-8 with it.
  std::array<char, kRelayedLineLimit * kUtf8Growth> kickedUtf8;
  kicked = clientTextToUtf8(c.relay, kicked.substr(0, kickedEnd), kickedUtf8);
  HeadScratch kickedArea;
  const string_view kickedNick = unescaped(kicked, kickedArea);
  TextScratch reasonArea;
  const string_view reason =
      unescaped(upTo(line.substr(because + kBecause.size()), "\r\n"), reasonArea);

  HeadScratch headArea;
  const std::optional<string_view> head = composeKick(headArea, c, kickedNick, " :"sv);
  // An announced kick is never chat, even one whose KICK cannot be sent (a
  // nick with a line break or NUL in it would kick someone else).
  if (head && kickedNick.size() < kickedArea.size() &&
      kicked.find_first_of(kLineStops) == string_view::npos &&
      head->size() + kCrLf.size() <= kRelayedLineLimit) {
    Batch lines(c.out, Peer::kServer);
    addLine(lines, kRelayedLineLimit, reason, [&](Composer& kick) { kick.append(*head); });
  }
  c.taken = 1;  // the "$Kick" was part of the announcement
  return true;
}

// "$Kick nick" without an announcement before it (ncdc sends it so): a kick
// with no reason.
void bareKick(Command& c) {
  HeadScratch nickArea;
  const string_view nick = unescaped(c.body.substr(kKick.size()), nickArea);
  // A nick with a line break or NUL in it would kick someone else.
  if (nick.empty() || nick.size() == nickArea.size() ||
      nick.find_first_of(kLineStops) != string_view::npos) {
    return;
  }
  HeadScratch lineArea;
  const std::optional<string_view> line = composeKick(lineArea, c, nick, kCrLf);
  if (line && line->size() <= kRelayedLineLimit) {
    c.out.send(Peer::kServer, *line);
  }
}

// "<sender> text"
void chatLine(Command& c) {
  if (kickAnnounced(c)) {
    return;
  }
  c.out.send(Peer::kClient, c.body, "|");
  string_view text = c.body;
  const std::size_t close = text.find_first_of(">\0"sv);
  if (close == string_view::npos || text[close] != '>') {
    return;
  }
  text.remove_prefix(close + 1);
  if (startsWith(text, " ")) {
    text.remove_prefix(1);
  }
  // The gateway's own command: what a long paste still has waiting is dropped.
  if (text == "+stop"sv) {
    c.out.dropWaiting();
    return;
  }
  if (takeRoomCommand(c.relay, c.out, upTo(text, kNul))) {
    return;
  }
  HeadScratch headArea;
  const std::optional<string_view> head = composeHead(headArea, [&](Composer& line) {
    line.append("PRIVMSG "sv);
    appendChannelTarget(line, c.relay.channel.view());
    line.append(" :"sv);
  });
  if (!head) {
    return;
  }
  TextScratch scratch;
  std::unique_ptr<char[]> large;
  sendChatText(c, *head, unescapedText(upTo(text, kNul), scratch, large));
}

// "$ConnectToMe bob ip:port" and "$RevConnectToMe me bob": the client wants
// bob's files, which an IRC user cannot share. Told once per user, so the
// client's retries stay quiet instead of waiting for a timeout unanswered.
void noFiles(Command& c) {
  const bool reverse = startsWith(c.body, kRevConnectToMe);
  string_view rest = c.body.substr(reverse ? kRevConnectToMe.size() : kConnectToMe.size());
  if (reverse) {
    const std::size_t space = rest.find(' ');
    rest = space == string_view::npos ? string_view() : rest.substr(space + 1);
  }
  const string_view remote = upTo(rest.substr(0, rest.find(' ')), kNul);
  if (remote.empty() || remote.size() > kNickCapacity) {
    return;
  }
  std::vector<std::string>& told = c.relay.toldNoFiles;
  if (std::find(told.begin(), told.end(), remote) != told.end()) {
    return;
  }
  if (told.size() == kToldNoFilesLimit) {
    told.erase(told.begin());
  }
  told.emplace_back(remote);
  HeadScratch nickArea;
  const string_view nick = unescaped(remote, nickArea);
  Composer line(c.out.area(Peer::kClient));
  line.append("*** "sv);
  line.appendEscaped(nick);
  line.append(" is on IRC: IRC users share no files"sv);
  line.terminate("|");
  c.out.commit(Peer::kClient, line.size());
}

// --- Chat before the welcome ---------------------------------------------------

// Takes the server's side of one chat or private message typed before the
// server's welcome into the Relay's held lines: an unregistered connection
// would drop them while the client believes them sent. The client's side
// (the echo) passes on.
class HeldChatOutput final : public WrappingOutput {
 public:
  HeldChatOutput(RelayOutput& inner, RelayState& relay)
      : WrappingOutput(inner), relay_(relay), before_(relay.heldChat.size()) {}

  std::span<char> area(Peer peer) override {
    if (peer == Peer::kClient) {
      return inner_.area(peer);
    }
    if (!lines_) {
      lines_ = std::make_unique_for_overwrite<char[]>(kOutCapacity);
    }
    return {lines_.get(), kOutCapacity};
  }

  void commit(Peer peer, std::size_t size) override {
    if (peer == Peer::kClient) {
      inner_.commit(peer, size);
      return;
    }
    if (relay_.heldChat.size() + size > kHeldChatLimit) {
      overflowed_ = true;
      return;
    }
    relay_.heldChat.append(lines_.get(), size);
  }

  // Keeps the message whole or not at all; false when it did not fit.
  bool finish() {
    if (overflowed_) {
      relay_.heldChat.resize(before_);
      return false;
    }
    if (relay_.heldChat.size() > before_) {
      ++relay_.heldMessages;
    }
    return true;
  }

 private:
  RelayState& relay_;
  std::size_t before_;
  std::unique_ptr<char[]> lines_;
  bool overflowed_ = false;
};

// A chat or private message: sent, or held while the server has not
// welcomed the session yet.
void chatOrHeld(Command& c, void (*handle)(Command&)) {
  if ((c.relay.loginFlags & kLoginWelcomed) != 0) {
    handle(c);
    return;
  }
  HeldChatOutput held(c.out, c.relay);
  Command heldCommand{c.relay, held, c.random, c.body, c.following, c.localTime, c.now};
  handle(heldCommand);
  c.taken = heldCommand.taken;
  if (!held.finish()) {
    c.out.send(Peer::kClient,
               "*** Your message was not sent: 64 KiB typed before the IRC server's welcome "
               "already wait for it|");
  }
}

void heldPrivateMessage(Command& c) {
  chatOrHeld(c, privateMessage);
}

void heldChatLine(Command& c) {
  chatOrHeld(c, chatLine);
}

void heldBareKick(Command& c) {
  chatOrHeld(c, bareKick);
}

// --- Dispatch -----------------------------------------------------------------

struct Row {
  string_view prefix;
  bool needsLogin;   // behind the gate: dropped while loginFlags is 0 or a password is awaited
  bool carriesText;  // the user's own words: what the default's charset guess reads
  void (*handle)(Command&);
};

// In protocol order; the first row whose prefix matches decides.
constexpr std::array<Row, 12> kRows = {{
    {kValidateNick, false, true, validateNick},
    {kMyPass, false, false, givePassword},
    {kSupports, false, false, supports},
    {kMyInfo, false, true, userInformation},
    {"$MODE ", true, false, passThrough},
    {"$TOPIC", true, false, passThrough},
    {"$WHOIS", true, false, passThrough},
    {"$To:", true, true, heldPrivateMessage},
    {"<", true, true, heldChatLine},
    {kKick, true, false, heldBareKick},
    {kConnectToMe, true, false, noFiles},
    {kRevConnectToMe, true, false, noFiles},
}};

}  // namespace

std::size_t translateClientCommand(RelayState& relay, const Message& message, RelayOutput& out,
                                   const RandomSource& random, const LocalTimeSource& localTime,
                                   const UnixClock& now) {
  const auto row = std::find_if(kRows.begin(), kRows.end(),
                                [&](const Row& r) { return startsWith(message.bytes, r.prefix); });
  if (row == kRows.end()) {
    return 0;  // "$Key", "$GetNickList" and the like: nothing to translate
  }
  if (row->carriesText) {
    noteClientText(relay, message.bytes);
  }
  // The command as UTF-8: itself when it is, else converted on the heap (a
  // stack area that large would stay resident in every relay thread).
  string_view body = message.bytes;
  std::unique_ptr<char[]> utf8;
  if (relay.clientCharset != nullptr || !isValidUtf8(body)) {
    const std::size_t size = body.size() * kUtf8Growth + 1;
    utf8 = std::make_unique_for_overwrite<char[]>(size);
    body = clientTextToUtf8(relay, body, {utf8.get(), size});
  }
  ClientCharsetOutput output(out, clientEncoding(relay));
  Command command{relay, output, random, body, message.following, localTime, now};
  if (!row->needsLogin || (relay.loginFlags != 0 && !awaitsPassword(relay))) {
    row->handle(command);
  }
  return command.taken;
}

}  // namespace quayside
