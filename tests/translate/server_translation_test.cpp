#include "translate/server_translation.h"

#include "core/base64.h"
#include "support/recording_output.h"
#include "support/relay_fixture.h"
#include "translate/linger.h"
#include "translate/nmdc_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quayside {
namespace {

using testing::feedServer;
using testing::fixedZoneTranslator;
using testing::makeRelay;
using testing::RecordingOutput;
using namespace std::string_view_literals;

std::string info(const std::string& nick, const std::string& description = "") {
  return "$MyINFO $ALL " + nick + " " + description + "$ $IRC\x01$$0$|";
}

// The same for a user who is away.
std::string away(const std::string& nick, const std::string& description = "") {
  return "$MyINFO $ALL " + nick + " " + description + "$ $IRC\x03$$0$|";
}

// Lines kept for a client that returns: their times and commands.
using Kept = std::vector<std::pair<std::int64_t, std::string>>;

struct Case {
  const char* name;  // what is broken when the row fails
  std::string input;
  std::vector<std::string> client;
  std::vector<std::string> server = {};
  std::string nick = "me";
  std::uint8_t flags = kLoginHubNamed;
  std::uint8_t features = 0;
  std::string channel = "#c";
  int closes = 0;
  LoginMode login = LoginMode::kNone;
  LoginStep step = LoginStep::kIdle;
  std::string password = "";
  std::string charset = "";  // the client's; empty: UTF-8
  std::string ircNick = "";  // the accepted IRC nick; empty: the DC nick
  CapStep capStep = CapStep::kNone;
  std::uint16_t caps = 0;    // the IRCv3 capabilities in use
  std::string rooms = "";    // as testing::addRooms takes them
  std::string options = "";  // the Bridge's, as applyOptions takes them
  std::vector<std::string> notes = {};
  // A lingering session: when its client left (0: attached), how far a
  // returning one has come, and the lines kept before and after the input.
  std::int64_t detachedAt = 0;
  ReturnStep returnStep = ReturnStep::kAway;
  Kept keptBefore = {};
  Kept kept = {};
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// A row's name as a test name: its words run together, each capitalised.
std::string testName(std::string_view name) {
  std::string id;
  bool wordStart = true;
  for (const char byte : name) {
    const bool letterOrDigit = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                               (byte >= '0' && byte <= '9');
    if (letterOrDigit) {
      id += wordStart && byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : byte;
    }
    wordStart = !letterOrDigit;
  }
  return id;
}

const auto kRowName = [](const auto& info) { return testName(info.param.name); };

class ServerTranslation : public ::testing::TestWithParam<Case> {};

TEST_P(ServerTranslation, SendsExactly) {
  const Case& c = GetParam();
  auto relay = makeRelay(c.channel, c.nick);
  relay->loginFlags = c.flags;
  relay->clientFeatures = c.features;
  relay->serverText.assign("irc://irc.example.net:6667");
  relay->options.login = c.login;
  relay->loginStep = c.step;
  relay->password.assign(c.password);
  relay->clientCharset = testing::charsetFor(c.charset);
  relay->options.charset.assign(c.charset);
  relay->ircNick.assign(c.ircNick);
  relay->capStep = c.capStep;
  relay->capsEnabled = c.caps;
  testing::addRooms(*relay, c.rooms);
  ASSERT_EQ(applyOptions(relay->options, c.options), "");
  relay->detachedAt = c.detachedAt;
  relay->returnStep = c.returnStep;
  for (const auto& [at, command] : c.keptBefore) {
    relay->kept.keep(command, at);
  }
  RecordingOutput out;
  feedServer(*relay, c.input, out, fixedZoneTranslator());
  EXPECT_EQ(out.client, c.client);
  EXPECT_EQ(out.server, c.server);
  EXPECT_EQ(out.closes, c.closes);
  EXPECT_EQ(out.notes, c.notes);
  Kept kept;
  for (std::size_t i = 0; i < relay->kept.size(); ++i) {
    kept.emplace_back(relay->kept[i].at, relay->kept[i].command);
  }
  EXPECT_EQ(kept, c.kept);
}

std::vector<Case> dispatchRows() {
  return {
      {"PING not answered", "PING :abc\r\n", {}, {"PONG :abc\r\n"}},
      {"PING matched on more than four bytes", "PINGX\r\n", {}, {"PONGX\r\n"}},
      {"prefix sent back with PONG", ":srv PING :t\r\n", {}, {"PONG :t\r\n"}},
      {"PONG carries a bare CR, LF or NUL",
       std::string("PING :a\rQUIT\r\nPING :b\nQUIT\r\nPING :c\0QUIT\r\n"sv),
       {},
       {"PONG :a\r\n", "PONG :b\r\n", "PONG :c\r\n"}},
      {"PONG over the line limit",
       "PING :" + std::string(600, 't') + "\r\n",
       {},
       {"PONG :" + std::string(504, 't') + "\r\n"}},
      {"AUTH target shown", "NOTICE AUTH :*** Checking Ident\r\n", {"*** Checking Ident|"}},
      {"notice target lost", ":srv NOTICE mynick :Welcome\r\n", {"*** mynick Welcome|"}},
      {"user's channel notice without its sender",
       ":alice!u@h NOTICE #c :hi $all|\r\n",
       {"<-alice-> hi &#36;all&#124;|"}},
      {"user's notice to the user not private",
       ":alice!u@h NOTICE ME :psst\r\n",
       {"$To: me From: alice $<-alice-> psst|"}},
      {"notice without text not an empty command", "NOTICE x\r\n", {"|"}},
      // Reset (0x0F) was shown until the full set of formatting codes went.
      {"formatting kept",
       "NOTICE AUTH :\00304,12red\x03 plain\002bold\x1f\x0f\r\n",
       {"*** red plainbold|"}},
      {"colour digit runs kept",
       "NOTICE AUTH :\003,5x \003123456,7890y \0034,z\r\n",
       {"*** x y z|"}},
      {"numerics received together not merged",
       ":srv 375 me :- srv Message of the day\r\n:srv 372 me :- Hello\r\n",
       {"<srv> - srv Message of the day\r\n- Hello|"}},
      {"welcome's server internals shown, or the MOTD not as before",
       ":srv 001 me :Welcome to IRC me!u@h\r\n:srv 002 me :Your host is srv\r\n"
       ":srv 003 me :created today\r\n:srv 004 me srv 1.0 io ov\r\n"
       ":srv 005 me NICKLEN=9 CASEMAPPING=ascii :are supported\r\n:srv 042 me 1AB :your ID\r\n"
       ":srv 251 me :2 users\r\n:srv 252 me 1 :operators\r\n:srv 253 me 1 :unknown\r\n"
       ":srv 254 me 3 :channels\r\n:srv 255 me :I have 2 clients\r\n"
       ":srv 265 me 2 4 :local users\r\n:srv 266 me 2 4 :global users\r\n"
       ":srv 250 me :Highest connection count: 3\r\n:srv 375 me :- srv Message of the day\r\n"
       ":srv 372 me :- Hello\r\n:srv 376 me :End of MOTD command\r\n",
       {"<srv> - srv Message of the day\r\n- Hello\r\nEnd of MOTD command|"}},
      {"missing MOTD shown", ":srv 001 me :Welcome\r\n:srv 422 me :MOTD File is missing\r\n", {}},
      {"reply about a user not on its own line",
       ":srv 369 me bob :End of WHOWAS\r\n",
       {"<srv> \r\nEnd of WHOWAS|"}},
      {"WHOIS not one status message of sentences, or its times not local",
       ":srv 311 me bob ~bob 127.0.0.1 * :Bob $mith\r\n"
       ":srv 312 me bob irc.example.net :Example server\r\n"
       ":srv 313 me bob :is an IRC operator\r\n"
       ":srv 317 me bob 3725 1796747798 :seconds idle, signon time\r\n"
       ":srv 319 me bob :@#c +#other \r\n:srv 330 me bob bobby :is logged in as\r\n"
       ":srv 338 me bob 10.0.0.1 :actually using host\r\n"
       ":srv 671 me bob :is using a secure connection\r\n:srv 301 me bob :gone|fishing\r\n"
       ":srv 318 me bob :End of WHOIS list\r\n:srv 372 me :- after\r\n",
       {"*** bob is ~bob@127.0.0.1 (Bob &#36;mith)\r\nbob is on irc.example.net (Example server)"
        "\r\nbob is an IRC operator\r\nbob has been idle 1 hour 2 minutes, signed on "
        "2026-12-08 17:36\r\nbob is on @#c +#other\r\nbob is logged in as bobby\r\n"
        "bob is actually 10.0.0.1\r\nbob is using a secure connection\r\n"
        "bob is away: gone&#124;fishing|",
        "<srv> - after|"}},
      {"WHOIS durations or odd times wrong",
       ":srv 317 me a 0 99999999999999 :x\r\n:srv 317 me b 59 :x\r\n:srv 317 me c 172800 1 :x\r\n"
       ":srv 317 me d 90061 :x\r\n:srv 317 me e many :seconds idle\r\n",
       {"*** a has been idle 0 seconds\r\nb has been idle 59 seconds\r\n"
        "c has been idle 2 days, signed on 1970-01-01 01:00\r\nd has been idle 1 day 1 hour\r\n"
        "e seconds idle|"}},
      {"WHOIS lines of another sender, or past the 318, joined",
       ":srv 311 me bob u h * :B\r\n:other 312 me bob s :S\r\n:srv 318 me bob :End\r\n"
       ":srv 311 me al u h * :A\r\n:srv 318 me al :End\r\n:srv 312 me al s :S\r\n",
       {"*** bob is u@h (B)|", "*** bob is on s (S)|", "*** al is u@h (A)|",
        "*** al is on s (S)|"}},
      {"ban list not sentences, or its count wrong",
       ":srv 367 me #c *!*@evil.test op!o@h 1796747861\r\n:srv 367 me #c *!*@b$d.test\r\n"
       ":srv 368 me #c :End of Channel Ban List\r\n:srv 367 me #c x!*@* op\r\n"
       ":srv 368 me #c :End\r\n:srv 368 me #d :End\r\n",
       {"*** *!*@evil.test is banned from #c, set by op on 2026-12-08 17:37\r\n"
        "*!*@b&#36;d.test is banned from #c\r\n#c has 2 bans|",
        "*** x!*@* is banned from #c, set by op\r\n#c has 1 ban|", "*** #d has no bans|"}},
      {"errors not told as target and text",
       ":srv 401 me nosuch :No such nick/channel\r\n:srv 403 me #x :No such channel\r\n"
       ":srv 404 me #c :Cannot send to channel\r\n:srv 405 me #y :Too many channels\r\n"
       ":srv 442 me #c :You're not on that channel\r\n"
       ":srv 443 me bob #c :is already on channel\r\n:srv 471 me #c :Cannot join (+l)\r\n"
       ":srv 473 me #c :Cannot join (+i)\r\n:srv 474 me #c :Cannot join (+b)\r\n"
       ":srv 475 me #c :Cannot join (+k)\r\n:srv 477 me #c :Register first\r\n"
       ":srv 478 me #c *!*@x :Ban list is full\r\n"
       ":srv 482 me #c :You are not channel operator\r\n:srv 482 me :bare\r\n"
       ":srv 401 me a|b :\x02No\x02 such\r\n",
       {"*** nosuch: No such nick/channel|", "*** #x: No such channel|",
        "*** #c: Cannot send to channel|", "*** #y: Too many channels|",
        "*** #c: You're not on that channel|", "*** bob #c: is already on channel|",
        "*** #c: Cannot join (+l)|", "*** #c: Cannot join (+i)|", "*** #c: Cannot join (+b)|",
        "*** #c: Cannot join (+k)|", "*** #c: Register first|", "*** #c *!*@x: Ban list is full|",
        "*** #c: You are not channel operator|", "*** bare|", "*** a&#124;b: No such|"}},
      {"run crosses to another sender",
       ":srv 372 me :a\r\n:other 372 me :b\r\n",
       {"<srv> a|", "<other> b|"}},
      {"run crosses a non-numeric line",
       ":srv 372 me :a\r\n:srv NOTICE me :b\r\n:srv 372 me :c\r\n",
       {"<srv> a|", "*** me b|", "<srv> c|"}},
      {"run crosses a reply told as a sentence",
       ":srv 372 me :a\r\n:srv 401 me x :none\r\n:srv 372 me :c\r\n",
       {"<srv> a|", "*** x: none|", "<srv> c|"}},
      {"run swallows the topic",
       ":srv 372 me :a\r\n:srv 332 me #c :t\r\n",
       {"<srv> a|", "$HubName #c - t|"}},
      {"end of names shown", ":srv 366 me #c :End of /NAMES list.\r\n", {}},
      {"433 handled on its own",
       ":srv 433 * me :Nickname is already in use\r\n",
       {"<srv> me :Nickname is already in use|"}},
      {"ERROR shown as chat instead of ending the session", "ERROR :Closing Link\r\n", {}},
      {"answer to the relay's PING shown as chat", ":srv PONG srv :quayside\r\n", {}},
      {"unknown command not passed on from its word",
       ":n!u@h KNOCK me :#chan\r\n",
       {"KNOCK me :#chan|"}},
      {"CTCP or formatting bytes in a passed-on line shown",
       ":n!u@h KNOCK me :\x01#chan\x02\r\n",
       {"KNOCK me :#chan|"}},
      {"prefix alone not an empty command", ":srv\r\n", {"|"}},
      {"tags shown, or a tagged line not read as without them",
       "@time=2026-12-08T17:00:00.000Z;msgid=a\\sb PING :t\r\n@a=b :bob!u@h PRIVMSG #c :hi\r\n"
       "@x :srv 372 me :m\r\n@y=\\ :srv 372 me :n\r\n@;;=;\\ FOO bar\r\n@only\r\n",
       {"<bob> hi|", "<srv> m\r\nn|", "FOO bar|", "|"},
       {"PONG :t\r\n"}},
  };
}
INSTANTIATE_TEST_SUITE_P(Dispatch, ServerTranslation, ::testing::ValuesIn(dispatchRows()),
                         kRowName);

std::vector<Case> channelJoinRows() {
  return {
      {"no JOIN after the welcome", ":srv 001 me :hi\r\n", {}, {"JOIN #c\r\n"}, "me", 0x0F},
      {"target lacks '#'", ":srv 001 me :hi\r\n", {}, {"JOIN #chan\r\n"}, "me", 0x0F, 0, "chan"},
      {"JOIN repeated",
       ":srv 001 me :a\r\nPING :x\r\n:srv 433 * me :b\r\n",
       {"<srv> me :b|"},
       {"JOIN #c\r\n", "PONG :x\r\n"},
       "me",
       0x0F},
      {"JOIN before the USER line", ":srv 001 me :hi\r\n", {}, {}, "me", 0x03},
      {"JOIN after a topic alone", ":srv 332 me #c :t\r\n", {"$HubName #c - t|"}, {}, "me", 0x0F},
      {"line break in the channel forges an IRC line",
       ":srv 001 me :hi\r\n",
       {},
       {"JOIN #c\r\n"},
       "me",
       0x0F,
       0,
       "#c\r\nQUIT"},
  };
}
INSTANTIATE_TEST_SUITE_P(ChannelJoin, ServerTranslation, ::testing::ValuesIn(channelJoinRows()),
                         kRowName);

// A room's lines as a private message from the room.
std::string inRoom(const std::string& room, const std::string& line) {
  return "$To: me From: " + room + " $" + line + "|";
}

std::vector<Case> roomRows() {
  return {
      {.name = "rooms not joined after the channel, in lines that fit TARGMAX and CHANLIMIT",
       .input = ":srv 001 me :hi\r\n:srv 005 me TARGMAX=PRIVMSG:4,JOIN:2 CHANLIMIT=#&:4 :ok\r\n",
       .client = {inRoom("#r4",
                         "<#r4> *** Cannot join #r4: the server lets a user into 4 "
                         "channels at most")},
       .server = {"JOIN #c\r\n", "JOIN #r1,#r2\r\n", "JOIN #R3\r\n"},
       .flags = 0x0F,
       .options = "room=#r1,room=#r2,room=#R3,room=#r4,room=#C",
       .notes = {"room #r4 not joined: the server lets a user into 4 channels at most"}},
      {.name = "own JOIN of a room not made a user of the hub, or a forced JOIN not a room",
       .input = ":me!u@h JOIN #help\r\n:me!u@h JOIN :#a$b|c\r\n",
       .client = {info("#help") + "$BotList #help$$|",
                  info("#a&#36;b&#124;c") + "$BotList #help$$#a&#36;b&#124;c$$|"},
       .features = kFeatureBotList,
       .rooms = "~#help",
       .notes = {"joined room #help", "joined room #a$b|c"}},
      {.name = "forced JOIN of a name IRC cannot carry left with a line smuggled into its PART",
       .input = ":me!u@h JOIN :#a\rQUIT :x\r\n:me!u@h JOIN #b,c\r\n",
       .client = {},
       .server = {"PART #b\r\n"},
       .rooms = "#r1 #r2 #r3 #r4 #r5 #r6 #r7 #r8 #r9 #r10 #r11 #r12 #r13 #r14 #r15 #r16",
       .notes = {"left #a\rQUIT :x, which the server joined: no room for it",
                 "left #b, which the server joined: no room for it"}},
      {.name = "channel's JOIN forwarded elsewhere taken for a room",
       .input = ":me!u@h JOIN ##c-overflow\r\n",
       .client = {"$HubName #c|"},
       .flags = 0},
      {.name = "room chat, actions or notices not private messages from the room",
       .input = ":alice!a@h PRIVMSG #help :hi\r\n:alice!a@h PRIVMSG #HELP :there\r\n"
                ":alice!a@h PRIVMSG #help :\x01"
                "ACTION waves\x01\r\n"
                ":alice!a@h NOTICE #help :n\r\n:alice!a@h PRIVMSG #c :main\r\n",
       .client = {inRoom("#help", "<alice> hi\r\nthere"), inRoom("#help", "<alice> /me waves"),
                  inRoom("#help", "<-alice-> n"), "<alice> main|"},
       .rooms = "#help"},
      {.name = "room members' joins, nicks, modes, names or quits shown in main chat",
       .input = ":bob!u@h JOIN #help\r\n:bob!u@h NICK bob2\r\n:op!o@h MODE #help +o bob2\r\n"
                ":srv 353 me = #help :@alice dave\r\n:srv 366 me #help :End\r\n"
                ":bob2!u@h QUIT :x\r\n:carol!u@h PART #help\r\n"
                ":dave!u@h JOIN #c\r\n:dave!u@h QUIT :bye\r\n",
       .client = {info("dave", "u@h"), "$Quit dave|"},
       .rooms = "#help"},
      {.name = "room topic not its description or not told in its window",
       .input = ":srv 332 me #help :Ask $here\r\n:srv 333 me #help alice 1\r\n"
                ":alice!a@h TOPIC #help :\x02New\r\n",
       .client = {info("#help", "Ask &#36;here"),
                  inRoom("#help", "<#help> *** The topic is: Ask &#36;here"), info("#help", "New"),
                  inRoom("#help", "<#help> *** alice sets the topic: New")},
       .rooms = "#help"},
      {.name = "kick from a room ends the session or leaves the room user",
       .input = ":op!o@h KICK #help me :spam\r\n:me!u@h PART #dev\r\n",
       .client = {inRoom("#help", "<#help> *** You were kicked from #help by op: spam"),
                  "$Quit #help|", "$Quit #dev|"},
       .rooms = "#help #dev",
       .notes = {"kicked from room #help by op (spam)", "left room #dev"}},
      {.name = "refused room join not told in its window, or an error about another not told",
       .input = ":srv 474 me #help :Cannot join channel (+b)\r\n:srv 473 me #x :Invite only\r\n",
       .client = {inRoom("#help", "<#help> *** Cannot join #help: Cannot join channel (+b)"),
                  "*** #x: Invite only|"},
       .rooms = "~#help",
       .notes = {"room #help not joined: Cannot join channel (+b)"}},
  };
}
INSTANTIATE_TEST_SUITE_P(Rooms, ServerTranslation, ::testing::ValuesIn(roomRows()), kRowName);

// The DC client left at 18:02 local (17:02 UTC), 68 minutes before now.
constexpr std::int64_t kDetachedAt = testing::kFixedNow - 68 * 60;
// 18:03 local today, and the same time yesterday.
constexpr std::int64_t kSaidToday = testing::kFixedNow - 67 * 60;
constexpr std::int64_t kSaidYesterday = kSaidToday - 24 * 60 * 60;

std::vector<Case> lingerRows() {
  using enum ReturnStep;
  constexpr std::int64_t kNow = testing::kFixedNow;
  return {
      {.name = "lingering session shows the client anything, loses chat, or stops answering",
       .input = ":alice!a@h PRIVMSG #c :hi $x|\r\n"
                "@time=2026-12-08T17:03:00Z :alice!a@h PRIVMSG me :psst\r\n"
                ":carol!c@h PRIVMSG #help :in room\r\n:alice!a@h NOTICE me :note\r\n"
                ":alice!a@h PRIVMSG #c :\x01"
                "ACTION waves\x01\r\n"
                ":bob!b@h JOIN #c\r\n:srv NOTICE me :server says\r\n:al!a@h TOPIC #c :new\r\n"
                ":srv 306 me :You have been marked as being away\r\nPING :t\r\n"
                ":alice!a@h PRIVMSG me :\x01PING 5\x01\r\n",
       .client = {},
       .server = {"PONG :t\r\n", "NOTICE alice :\x01PING 5\x01\r\n"},
       .caps = kCapServerTime,
       .rooms = "#help",
       .detachedAt = kDetachedAt,
       .kept = {{kNow, "<alice> hi &#36;x&#124;"},
                {kSaidToday, "From: alice $<alice> psst"},
                {kNow, "From: #help $<carol> in room"},
                {kNow, "From: alice $<-alice-> note"},
                {kNow, "<alice> /me waves"}}},
      {.name = "returning client's kept lines not after its user list, or without their times",
       .input =
           ":srv 305 me :You are no longer marked as being away\r\n"
           ":srv 353 me = #c :@al bob\r\n:srv 366 me #c :End\r\n:alice!a@h PRIVMSG #c :live\r\n",
       .client = {"$OpList al$$|" + info("al"), info("bob"),
                  "*** Welcome back: 5 lines since 18:02|", "<alice> [18:03] text|",
                  "$To: me From: alice $<alice> [2026-12-07 18:03] hi &#36;|",
                  "$To: me From: #help $<carol> [18:03] room line|", "<alice> /me [18:03] waves|",
                  "<-alice-> [18:03] note|", "<alice> live|"},
       .detachedAt = kDetachedAt,
       .returnStep = kListing,
       .keptBefore = {{kSaidToday, "<alice> text"},
                      {kSaidYesterday, "From: alice $<alice> hi &#36;"},
                      {kSaidToday, "From: #help $<carol> room line"},
                      {kSaidToday, "<alice> /me waves"},
                      {kSaidToday, "<-alice-> note"}}},
      {.name = "returning client's kept lines held back by a server that never ends the names",
       .input = ":srv 353 me = #c :bob\r\nPING :x\r\n:alice!a@h PRIVMSG #c :now\r\n"
                ":bob!b@h PRIVMSG #c :live\r\n",
       .client = {info("bob"), "*** Welcome back: 2 lines since 18:02|", "<alice> [18:03] text|",
                  "<alice> [19:10] now|", "<bob> live|"},
       .server = {"PONG :x\r\n"},
       .detachedAt = kDetachedAt,
       .returnStep = kListing,
       .keptBefore = {{kSaidToday, "<alice> text"}}},
  };
}
INSTANTIATE_TEST_SUITE_P(Linger, ServerTranslation, ::testing::ValuesIn(lingerRows()), kRowName);

// A server that floods a lingering session: the newest lines are kept, as
// many as the limits allow, the others counted, and a returning client is
// told how many went.
TEST(ServerLinger, AFloodIsKeptWithinTheBoundsAndCounted) {
  struct Flood {
    std::size_t lines;
    std::size_t textSize;
    std::size_t kept;  // 0: as many as the memory allows
  };
  for (const Flood& flood : {Flood{1200, 10, 1000}, Flood{400, 2000, 0}}) {
    auto relay = makeRelay();
    relay->detachedAt = kDetachedAt;
    RecordingOutput out;
    for (std::size_t i = 0; i < flood.lines; ++i) {
      const std::string text = std::to_string(i) + " " + std::string(flood.textSize, 'x');
      feedServer(*relay, ":alice!a@h PRIVMSG #c :" + text + "\r\n", out, fixedZoneTranslator());
    }
    const KeptLines& kept = relay->kept;
    EXPECT_TRUE(out.client.empty());
    EXPECT_LE(kept.memory(), kKeptByteLimit);
    if (flood.kept != 0) {
      EXPECT_EQ(kept.size(), flood.kept);
    } else {
      EXPECT_GT(kept.memory(), kKeptByteLimit - flood.textSize * 2);
    }
    ASSERT_GT(kept.size(), 0u);
    EXPECT_EQ(kept.size() + kept.dropped(), flood.lines);
    EXPECT_TRUE(kept[0].command.starts_with("<alice> " + std::to_string(kept.dropped()) + " "));

    relay->returnStep = ReturnStep::kListing;
    const std::size_t replayed = kept.size();
    const std::string welcome = "*** Welcome back: " + std::to_string(replayed) +
                                " lines since 18:02 (" + std::to_string(kept.dropped()) +
                                " older ones were not kept)|";
    feedServer(*relay, ":srv 366 me #c :End\r\n", out, fixedZoneTranslator());
    ASSERT_EQ(out.client.size(), 1 + replayed);
    EXPECT_EQ(out.client.front(), welcome);
    EXPECT_TRUE(
        out.client.back().starts_with("<alice> [19:10] " + std::to_string(flood.lines - 1) + " "));
    EXPECT_EQ(relay->kept.memory(), 0u);
    EXPECT_EQ(relay->detachedAt, 0);
  }
}

struct NotedRow {
  const char* name;  // what is broken when the row fails
  std::string input;
  std::uint8_t flagsAfter;
  std::string_view endReason;  // what the relay is told to end with
};
void PrintTo(const NotedRow& row, std::ostream* os) {
  *os << row.name;
}

class ServerNotes : public ::testing::TestWithParam<NotedRow> {};

TEST_P(ServerNotes, WelcomeAndErrorAreNotedForTheRelay) {
  const NotedRow& row = GetParam();
  auto relay = makeRelay("#c", "me");
  relay->loginFlags = 0x03;
  RecordingOutput out;
  feedServer(*relay, row.input, out);
  EXPECT_EQ(relay->loginFlags, row.flagsAfter);
  EXPECT_EQ((out.sessionEnd() ? out.sessionEnd()->reason : std::string()), row.endReason);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServerNotes,
    ::testing::ValuesIn(std::vector<NotedRow>{
        {"welcome not noted, so the relay ends the session", ":srv 001 me :hi\r\n", 0x83, ""},
        {"welcome inside a run not noted", ":srv 020 * :wait\r\n:srv 001 me :hi\r\n", 0x83, ""},
        {"other numerics taken as the welcome", ":srv 433 * me :x\r\n:srv 010 me :y\r\n", 0x03, ""},
        {"ERROR does not end the session",
         "ERROR :Closing Link: me[h] (\x02"
         "Bye\x02)\r\n",
         0x03, "the server said: Closing Link: me[h] (Bye)"},
        {"ERROR with a prefix and no text ignored", ":srv ERROR :\r\n", 0x03,
         "the server ended the session"},
    }),
    kRowName);

std::vector<Case> membershipRows() {
  return {
      {"first JOIN not the hub name", ":bob!~b@h JOIN #c\r\n", {"$HubName #c|"}, {}, "me", 0},
      {.name = "hub name not the channel as joined",
       .input = ":me!u@h JOIN #win\r\n",
       .client = {"$HubName #win|"},
       .flags = 0,
       .channel = "win"},
      {"later JOIN lost user@host", ":bob!~bob@host JOIN #c\r\n", {info("bob", "~bob@host")}},
      {"names list",
       ":srv 353 me = #c :@alice bob me\r\n",
       {"$OpList alice$$|" + info("alice"), info("bob")}},
      {"own entry in another case listed",
       ":srv 353 me = #c :@me bob\r\n",
       {info("bob")},
       {},
       "ME"},
      {"'+' kept in the nick", ":srv NAMES #c :+bob\r\n", {info("bob")}},
      {"PREFIX past the 15th parameter not read",
       ":srv 005 me A B C D E F G H I J K L M N PREFIX=(qov)~@+ :are supported\r\n"
       ":srv 353 me = #c :~bob\r\n",
       {"$OpList bob$$|" + info("bob")}},
      {"several status prefixes not all removed, or voice taken for an operator",
       ":srv 005 me PREFIX=(qaohv)~&@%+ :are\r\n"
       ":srv 353 me = #c :@+alice +%bob ~carol &dave %+me\r\n",
       {"$OpList alice$$|" + info("alice"), info("bob"), "$OpList carol$$|" + info("carol"),
        "$OpList dave$$|" + info("dave")},
       {},
       "me"},
      {"trailing space or lone '@' gives an empty user",
       ":srv 353 me = #c :@ bob \r\n",
       {info("bob")}},
      {"PART of another channel ignored", ":bob!u@h PART #other\r\n", {"$Quit bob|"}},
      {"QUIT without prefix sends something", "QUIT :bye\r\n", {}},
      {"kick of another user",
       ":op!~o@host KICK #c bob :spam\r\n",
       {"<op> op is kicking bob because: spam|", "$Quit bob|"}},
      {"kick without reason",
       ":op!~o@host KICK #c bob\r\n",
       {"<op> op is kicking bob because: |", "$Quit bob|"}},
      {"CTCP or formatting bytes in a kick reason shown",
       ":op!~o@host KICK #c bob :\x01sp\x03"
       "04am\x01\r\n",
       {"<op> op is kicking bob because: spam|", "$Quit bob|"}},
      {"own kick not closing the client",
       ":op!~o@host KICK #c ME :out\r\n",
       {"<op> op is kicking ME because: out|"},
       {},
       "me",
       0x40,
       0,
       "#c",
       1},
      {"kick without prefix drops the $Quit", "KICK #c bob :x\r\n", {"$Quit bob|"}},
      {"nameless users listed",
       ":!u@h JOIN #c\r\n:!u@h QUIT :x\r\n:!u@h PART #c\r\n:op!u@h KICK #c  :x\r\n"
       ":bob!u@h NICK :\r\n:!u@h NICK :x\r\n",
       {}},
      {"kick of nobody closes a client without a nick",
       "KICK #c  :x\r\nKICK #c\r\n",
       {},
       {},
       "",
       0x40,
       0,
       "#c",
       0},
      {"client without a nick renamed by a nameless sender",
       ":!u@h NICK :evil\rQUIT\r\n",
       {},
       {},
       "",
       0x40,
       1},
      {"nick change without NickChange",
       ":bob!~bob@host NICK :rob\r\n",
       {"*** bob is now known as rob|$Quit bob|" + info("rob", "~bob@host")}},
      {"own nick change with NickChange",
       ":Me!u@h NICK :me2\r\n",
       {"*** Me is now known as me2|$ClientNick me2|$NickChange Me me2|"},
       {},
       "me",
       0x40,
       1},
      {"own nick change not followed",
       ":Me!u@h NICK :neo\r\n:bob!u@h PRIVMSG NEO :hi\r\n",
       {"*** Me is now known as neo|$Quit Me|" + info("neo", "u@h"),
        "$To: neo From: bob $<bob> hi|"}},
      {"other's nick change with NickChange",
       ":bob!u@h NICK rob\r\n",
       {"*** bob is now known as rob|$NickChange bob rob|"},
       {},
       "me",
       0x40,
       1},
      {"NICK without prefix sends without NickChange", "NICK :x\r\n", {}},
      {"mode letters take wrong parameters",
       ":op!~o@host MODE #c +o-o+b alice bob *!*@x\r\n",
       {"*** op sets mode +o-o+b alice bob *!*@x|$OpList alice$$|$Quit bob|" + info("bob")}},
      {"user mode without parameters", ":me MODE me :+i\r\n", {}},
      {"'v' takes no parameter",
       ":op MODE #c +vo bob alice\r\n",
       {"*** op sets mode +vo bob alice|$OpList alice$$|"}},
      {"unannounced 'h' or 'q' taken for a status mode",
       ":op MODE #c +hqo x\r\n",
       {"*** op sets mode +hqo x|$OpList x$$|"}},
      {"announced ranks: owner not an operator, or halfop and voice made operators",
       ":srv 005 me PREFIX=(qaohv)~&@%+ :are supported\r\n:op MODE #c +qhv-a x y z w\r\n",
       {"*** op sets mode +qhv-a x y z w|$OpList x$$|$Quit w|" + info("w")}},
      {"an announced symbol ranked above '@' not an operator",
       ":srv 005 me CHANTYPES=# PREFIX=(Yov)!@+ :ok\r\n:srv 353 me = #c :!bob +al @+x\r\n",
       {"$OpList bob$$|" + info("bob"), info("al"), "$OpList x$$|" + info("x")}},
      {"limit not told", ":op MODE #c -l\r\n", {"*** op sets mode -l|"}},
      {"key not taken by 'k'",
       ":op MODE #c -k+o key al\r\n",
       {"*** op sets mode -k+o key al|$OpList al$$|"}},
      {"ban not told, or rank changes told",
       ":op!u@h MODE #c +b :*!*@evil$\r\n:op!u@h MODE #c +o-o al al\r\nMODE #c +m\r\n",
       {"*** op sets mode +b *!*@evil&#36;|", "$OpList al$$|$Quit al|" + info("al"),
        "*** Mode +m|"}},
      {"'o' without parameter gives an empty operator", ":op MODE #c +o \r\n", {}},
      {"losing one of two operator ranks keeps the mark",
       ":srv 005 me PREFIX=(qaohv)~&@%+ :ok\r\n:srv 353 me = #c :~@bob &al\r\n"
       ":op MODE #c -q+o-ao bob al al bob\r\n",
       {"$OpList bob$$|" + info("bob"), "$OpList al$$|" + info("al"),
        "$OpList al$$|$Quit bob|" + info("bob")}},
      {"a renamed operator comes back as one; one who left is forgotten",
       ":srv 353 me = #c :@bob @al\r\n:bob!u@h NICK rob\r\n:al!u@h QUIT :x\r\n"
       ":al!u@h JOIN #c\r\n:op MODE #c +v-o-o al rob al\r\n",
       {"$OpList bob$$|" + info("bob"), "$OpList al$$|" + info("al"),
        "*** bob is now known as rob|$Quit bob|$OpList rob$$|" + info("rob", "u@h"), "$Quit al|",
        info("al", "u@h"),
        "*** op sets mode +v-o-o al rob al|$Quit rob|" + info("rob") + "$Quit al|" + info("al")}},
  };
}
INSTANTIATE_TEST_SUITE_P(Membership, ServerTranslation, ::testing::ValuesIn(membershipRows()),
                         kRowName);

std::vector<Case> messagesAndTopicRows() {
  return {
      {"channel message", ":bob!~bob@host PRIVMSG #c :hello\r\n", {"<bob> hello|"}},
      {"private message not to the stored nick",
       ":bob!~bob@host PRIVMSG me :hi\r\n",
       {"$To: Me From: bob $<bob> hi|"},
       {},
       "Me"},
      {"longer target taken as own nick", ":bob!u@h PRIVMSG me2 :hi\r\n", {"<bob> hi|"}},
      {"empty target taken as an empty own nick",
       ":bob!u@h PRIVMSG  :hi\r\n",
       {"<bob> hi|"},
       {},
       ""},
      {"lines received together not joined",
       ":bob!u@h PRIVMSG #c :one\r\n:bob!u@h PRIVMSG #c :two\r\n",
       {"<bob> one\r\ntwo|"}},
      {"private lines not joined",
       ":bob!u@h PRIVMSG ME :a\r\n:bob!u@h PRIVMSG me :b\r\n",
       {"$To: me From: bob $<bob> a\r\nb|"}},
      {"another sender's line joined",
       ":bob!u@h PRIVMSG #c :one\r\n:alice!u@h PRIVMSG #c :x\r\n:bob!u@h PRIVMSG #c :two\r\n",
       {"<bob> one|", "<alice> x|", "<bob> two|"}},
      {"colliding prefix joined",
       ":aa!u@h PRIVMSG #c :a\r\n:bY!u@h PRIVMSG #c :b\r\n",
       {"<aa> a|", "<bY> b|"}},
      {"private and channel lines joined",
       ":bob!u@h PRIVMSG me :a\r\n:bob!u@h PRIVMSG #c :b\r\n",
       {"$To: me From: bob $<bob> a|", "<bob> b|"}},
      {"formatting shown in chat",
       ":bob!u@h PRIVMSG #c :\x02"
       "b\x0f \x03"
       "04,12r\x03 \x1di\x1d \x1fu\x16v\x11m\x1es "
       "\x04"
       "ff00AA,00ff00h\x04 z\r\n",
       {"<bob> b r i uvms h z|"}},
      {"formatting shown in a private message",
       ":bob!u@h PRIVMSG me :\x03"
       "4hi\x0f\r\n",
       {"$To: me From: bob $<bob> hi|"}},
      {"line without prefix", "PRIVMSG #c :x\r\n", {"<PRIVMSG> x|"}},
      {"topic numeric", ":srv 332 me #c :Welcome\x02 all\r\n", {"$HubName #c - Welcome all|"}},
      {"topic's setter and time raw, or not in local time",
       ":srv 332 me #c :t\r\n:srv 333 me #c alice!a@h 1796747861\r\n"
       ":srv 333 me #c bob :1796747861\r\n:srv 333 me #c carol\r\n:srv 333 me #c\r\n",
       {"$HubName #c - t|", "*** Topic set by alice on 2026-12-08 17:37|",
        "*** Topic set by bob on 2026-12-08 17:37|", "*** Topic set by carol|", "*** Topic set|"}},
      {"empty topic", ":op!~o@host TOPIC #c :\r\n", {"$HubName #c|"}},
      {.name = "topic's hub name not the channel as joined",
       .input = ":op TOPIC #win :t$\r\n",
       .client = {"$HubName #win - t&#36;|"},
       .channel = "win"},
      {"topic of formatting codes only", ":op TOPIC #c :\x02\0034\x1f\r\n", {"$HubName #c|"}},
      {"topic over 1022 characters",
       ":op TOPIC #c :" + std::string(2000, 't') + "\r\n",
       {"$HubName #c - " + std::string(1022, 't') + "|"}},
      // Highlights: the client's IRC nick named in a text is its DC nick.
      {.name = "IRC nick at the start or the end, or in capitals, not the DC nick",
       .input = ":al!u@h PRIVMSG #c :bob_smith: hi\r\n:al!u@h PRIVMSG #c :BOB_SMITH, hi. "
                "(Bob_Smith) ok bob_smith\r\n",
       .client = {"<al> bob.smith: hi\r\nbob.smith, hi. (bob.smith) ok bob.smith|"},
       .nick = "bob.smith",
       .ircNick = "bob_smith"},
      {.name = "IRC nick inside a longer word replaced",
       .input = ":al!u@h PRIVMSG #c :bob_smithy xbob_smith bob_smith2 [bob_smith] bob_smith- "
                "`bob_smith ^bob_smith\r\n",
       .client = {"<al> bob_smithy xbob_smith bob_smith2 [bob_smith] bob_smith- `bob_smith "
                  "^bob_smith|"},
       .nick = "bob.smith",
       .ircNick = "bob_smith"},
      {.name = "IRC nick not found under rfc1459 case mapping, or inside formatting",
       .input = ":al!u@h PRIVMSG #c :{X}|Y_Z: hi \x02[x]\\y_z\x02!\r\n",
       .client = {"<al> [x]\\y.z: hi [x]\\y.z!|"},
       .nick = "[x]\\y.z",
       .ircNick = "[x]\\y_z"},
      {.name = "IRC nick found in other letters than the ascii case mapping allows",
       .input = ":srv 005 me CASEMAPPING=ascii :are supported\r\n"
                ":al!u@h PRIVMSG #c :{X}|Y_Z: hi [X]\\Y_Z\r\n",
       .client = {"<al> {X}&#124;Y_Z: hi [x]\\y.z|"},
       .nick = "[x]\\y.z",
       .ircNick = "[x]\\y_z"},
      {.name = "IRC nick not found under strict-rfc1459, or '~' taken for '^' there",
       .input = ":srv 005 me CASEMAPPING=strict-rfc1459 :are supported\r\n"
                ":al!u@h PRIVMSG #c :{X}~B_ {X}^B_\r\n",
       .client = {"<al> {X}~B_ [x]^b.|"},
       .nick = "[x]^b.",
       .ircNick = "[x]^b_"},
      {.name = "rfc1459 not '~' for '^', or a mapping of another server kept",
       .input = ":srv 005 me CASEMAPPING=ascii :are supported\r\n"
                ":srv 005 me CASEMAPPING=rfc1459 :are supported\r\n"
                ":al!u@h PRIVMSG #c :A~B_\r\n",
       .client = {"<al> a^b.|"},
       .nick = "a^b.",
       .ircNick = "a^b_"},
      {.name = "IRC nick replaced in a private message, or the sender replaced",
       .input = ":bob_smith_!u@h PRIVMSG bob_smith :bob_smith?\r\n",
       .client = {"$To: bob.smith From: bob_smith_ $<bob_smith_> bob.smith?|"},
       .nick = "bob.smith",
       .ircNick = "bob_smith"},
      {.name = "DC nick not escaped",
       .input = ":al!u@h PRIVMSG #c :a_b|c: $\r\n",
       .client = {"<al> a&#36;b&#124;c: &#36;|"},
       .nick = "a$b|c",
       .ircNick = "a_b|c"},
      {.name = "DC nick and the text before it read as an escape",
       .input = ":al!u@h PRIVMSG #c :&#_36_x\r\n",
       .client = {"<al> &amp;#36;x|"},
       .nick = "36;x",
       .ircNick = "_36_x"},
      {.name = "text changed while the IRC nick is the DC nick",
       .input = ":al!u@h PRIVMSG #c :BOB: hi bob\r\n",
       .client = {"<al> BOB: hi bob|"},
       .nick = "bob",
       .ircNick = "bob"},
      {.name = "DC nick not in the client's character set",
       .input = ":al!u@h PRIVMSG #c :Vasya: \xd0\xbf\xd1\x80\xd0\xb8\r\n",
       .client = {"<al> \xc2\xe0\xf1\xff: \xef\xf0\xe8|"},
       .nick = "\xd0\x92\xd0\xb0\xd1\x81\xd1\x8f",
       .charset = "windows-1251",
       .ircNick = "Vasya"},
  };
}
INSTANTIATE_TEST_SUITE_P(MessagesAndTopic, ServerTranslation,
                         ::testing::ValuesIn(messagesAndTopicRows()), kRowName);

std::vector<Case> capabilityLineRows() {
  return {
      {.name = "away marks not sent, sent for the user, or sent again unchanged",
       .input = ":bob!u@h AWAY :gone\r\n:bob!u@h AWAY :lunch\r\n:bob!u@h AWAY\r\n"
                ":al!a@h AWAY :\r\n:me!m@h AWAY :x\r\n",
       .client = {away("bob", "u@h"), info("bob", "u@h")},
       .caps = kCapAwayNotify},
      {.name = "away mark lost when a member is listed again, or kept past their leaving",
       .input = ":bob!u@h AWAY :gone\r\n:bob!u@h NICK rob\r\n:rob!u@h QUIT :x\r\n"
                ":rob!u@h JOIN #c\r\n",
       .client = {away("bob", "u@h"), "*** bob is now known as rob|$Quit bob|" + away("rob", "u@h"),
                  "$Quit rob|", info("rob", "u@h")},
       .caps = kCapAwayNotify},
      {.name = "lines of capabilities not in use not shown as before",
       .input = ":bob!u@h AWAY :gone\r\n:bob!u@h CHGHOST n h\r\n:bob!u@h ACCOUNT b\r\n"
                "@time=2026-12-08T17:03:00Z :bob!u@h PRIVMSG #c :old\r\n"
                ":srv 353 me = #c :bob!u@h\r\n:srv 366 me #c :End\r\n"
                ":srv 352 me #c u h srv bob G :0 Bob\r\n:srv 315 me #c :End of WHO\r\n",
       .client = {"AWAY :gone|", "CHGHOST n h|", "ACCOUNT b|", "<bob> old|", info("bob!u@h"),
                  "<srv> #c u h srv bob G :0 Bob\r\n#c :End of WHO|"}},
      {.name = "channel's WHO not asked once, its replies shown, or away marks not read from it",
       .input = ":bob!~b@h1 AWAY :x\r\n:srv 366 me #c :End\r\n:srv 372 me :motd\r\n"
                ":srv 352 me #c ~b h1 srv bob H :0 Bob\r\n:srv 352 me #c a h2 srv al G@ :0 Al\r\n"
                ":srv 352 me #c a h2 srv al G@ :0 Al\r\n:srv 352 me #c m h srv me G :0 Me\r\n"
                ":srv 315 me #c :End of WHO\r\n:srv 366 me #c :End\r\n"
                ":srv 352 me #c x y srv z H :0 Z\r\n",
       .client = {away("bob", "~b@h1"), "<srv> motd|", info("bob", "~b@h1"), away("al", "a@h2"),
                  "<srv> #c x y srv z H :0 Z|"},
       .server = {"WHO #c\r\n"},
       .caps = kCapAwayNotify},
      {.name = "WHO asked after another channel's names, or not as the channel was joined",
       .input = ":srv 366 me #other :End\r\n:srv 366 me #QUAY :End\r\n",
       .client = {},
       .server = {"WHO #quay\r\n"},
       .channel = "quay",
       .caps = kCapAwayNotify},
      {.name = "host change not followed, or an away member shown back",
       .input = ":bob!u@h AWAY :x\r\n:bob!old@oldhost CHGHOST newuser newhost\r\n"
                ":al!a@h CHGHOST b :c\r\n:me!m@h CHGHOST n h\r\n",
       .client = {away("bob", "u@h"), away("bob", "newuser@newhost"), info("al", "b@c")},
       .caps = kCapAwayNotify | kCapChghost},
      {.name = "extended JOIN not listed as a plain one",
       .input = ":bob!u@h JOIN #c account :Real Name\r\n",
       .client = {info("bob", "u@h")},
       .caps = kCapExtendedJoin},
      {.name = "names with user and host not split",
       .input = ":srv 353 me = #c :@+bob!u@h al!a@b me!m@h carl\r\n",
       .client = {"$OpList bob$$|" + info("bob", "u@h"), info("al", "a@b"), info("carl")},
       .caps = kCapMultiPrefix | kCapUserhostInNames},
      {.name = "account, tag-only or others' invite lines shown, or an invite not told",
       .input = ":bob!u@h ACCOUNT bobby\r\n@+typing=active :bob!u@h TAGMSG #c\r\n"
                ":alice!a@h INVITE me :#other\r\n:alice!a@h INVITE ME #x$y\r\n"
                ":alice!a@h INVITE bob #other\r\n",
       .client = {"*** alice invites you to #other (type +join #other)|",
                  "*** alice invites you to #x&#36;y (type +join #x&#36;y)|"},
       .caps = kCapAccountNotify | kCapMessageTags | kCapInviteNotify},
      {.name = "played-back chat without its time, or its time not local",
       .input = "@time=2026-12-08T17:03:11.250Z :alice!a@h PRIVMSG #c :text\r\n"
                "@time=2026-12-07T17:03:00Z :alice!a@h PRIVMSG me :hi\r\n"
                "@time=2026-12-08T17:03:00Z :alice!a@h NOTICE #c :n\r\n"
                "@time=2026-12-08T17:03:00Z :alice!a@h PRIVMSG #c :\x01"
                "ACTION waves\x01\r\n"
                "@time=2026-12-08T17:03:00Z :srv NOTICE me :hi\r\n",
       .client = {"<alice> [18:03] text|", "$To: me From: alice $<alice> [2026-12-07 18:03] hi|",
                  "<-alice-> [18:03] n|", "<alice> /me [18:03] waves|", "*** me [18:03] hi|"},
       .caps = kCapServerTime},
      {.name = "times in a run not each line's own, or current or unreadable times shown",
       .input = "@time=2026-12-08T17:03:00Z :bob!u@h PRIVMSG #c :one\r\n"
                "@time=2026-12-08T17:04:00Z :bob!u@h PRIVMSG #c :two\r\n"
                ":bob!u@h PRIVMSG #c :three\r\n"
                "@time=2026-12-08T18:09:00Z :al!u@h PRIVMSG #c :a\r\n"
                "@time=2026-12-08T18:30:00Z :al!u@h PRIVMSG #c :b\r\n"
                "@time=2026-02-30T10:00:00Z :al!u@h PRIVMSG #c :c\r\n"
                "@time=2026-12-08T17:03:00." +
                std::string(60, '0') +
                "Z :al!u@h PRIVMSG #c :d\r\n"
                "@time=yesterday;time :al!u@h PRIVMSG #c :e\r\n",
       .client = {"<bob> [18:03] one\r\n[18:04] two\r\nthree|", "<al> a\r\nb\r\nc\r\nd\r\ne|"},
       .caps = kCapServerTime},
  };
}
INSTANTIATE_TEST_SUITE_P(CapabilityLines, ServerTranslation,
                         ::testing::ValuesIn(capabilityLineRows()), kRowName);

// The DC nick the client chose stays its own; IRC knows it by a nick the
// server accepts, and lines to that nick are the client's.
struct NickRow {
  const char* name;  // what is broken when the row fails
  std::string dcNick;
  std::string input;
  std::vector<std::string> server;
  std::vector<std::string> client;
  std::string_view endReason = "";
  std::string before = "";  // server lines before the client's "$ValidateNick"
  std::uint8_t flags = kLoginInfoReceived | kLoginUserSent;
};
void PrintTo(const NickRow& row, std::ostream* os) {
  *os << row.name;
}

class ServerNicks : public ::testing::TestWithParam<NickRow> {};

TEST_P(ServerNicks, RefusedNicksAreReplacedAndTheClientIsTold) {
  const NickRow& row = GetParam();
  auto relay = makeRelay("#c", "me");
  relay->loginFlags = row.flags | kLoginHubNamed;
  RecordingOutput out;
  if (!row.before.empty()) {
    relay->loginFlags |= kLoginValidated | kLoginNickSent;
    relay->nickCandidate.assign("me");
    feedServer(*relay, row.before, out);
  }
  testing::feedClient(*relay, "$ValidateNick " + row.dcNick + "|", out);
  out.clear();
  feedServer(*relay, row.input, out);
  EXPECT_EQ(out.server, row.server);
  EXPECT_EQ(out.client, row.client);
  EXPECT_EQ((out.sessionEnd() ? out.sessionEnd()->reason : std::string()), row.endReason);
  EXPECT_EQ(relay->nick.view(), row.dcNick);
}

std::vector<NickRow> nickRows() {
  const std::string welcome = ":srv 001 dcuser_ :Welcome\r\n";
  std::string refusals;
  for (int i = 0; i < 11; ++i) {
    refusals += ":srv 433 * n :in use\r\n";
  }
  return {
      {"nick in use not replaced, or the IRC user of that nick taken for the client",
       "dcuser",
       ":srv 433 * dcuser :Nickname already in use\r\n" + welcome +
           ":srv 353 dcuser_ = #c :dcuser_ @dcuser\r\n:bob!u@h PRIVMSG dcuser_ :hi\r\n"
           ":dcuser!u@h PRIVMSG dcuser_ :me too\r\n:dcuser!u@h NICK :eve\r\n"
           ":eve!u@h NICK :DCuser\r\n:op!u@h KICK #c dcuser :x\r\n",
       {"NICK dcuser_\r\n", "JOIN #c\r\n"},
       {"*** On IRC you are dcuser_ (the server refused dcuser)|",
        "$OpList dcuser[irc]$$|" + info("dcuser[irc]"), "$To: dcuser From: bob $<bob> hi|",
        "$To: dcuser From: dcuser[irc] $<dcuser[irc]> me too|",
        "*** dcuser[irc] is now known as eve|$Quit dcuser[irc]|$OpList eve$$|" + info("eve", "u@h"),
        "*** eve is now known as DCuser[irc]|$Quit eve|$OpList DCuser[irc]$$|" +
            info("DCuser[irc]", "u@h"),
        "<op> op is kicking dcuser[irc] because: x|", "$Quit dcuser[irc]|"}},
      {"long nick not cut to nine when refused",
       "averyverylongnick",
       ":srv 432 * averyverylongnick :Erroneous nickname\r\n:srv 001 averyvery :Hi\r\n",
       {"NICK averyvery\r\n", "JOIN #c\r\n"},
       {"*** On IRC you are averyvery (the server refused averyverylongnick)|"}},
      {"Latin form of a Cyrillic nick not cut to the limit, or no alternate of it",
       "\xD0\xA9\xD1\x83\xD0\xBA\xD0\xB0\xD1\x89\xD1\x83\xD0\xBA\xD0\xB0",
       ":srv 432 * Shchukashchuka :Erroneous nickname\r\n:srv 433 * Shchukash :in use\r\n"
       ":srv 001 Shchukas_ :Hi\r\n",
       {"NICK Shchukash\r\n", "NICK Shchukas_\r\n", "JOIN #c\r\n"},
       {"*** On IRC you are Shchukas_ (the server refused Shchukash)|"}},
      {"forbidden characters sent to IRC",
       "bob.smith",
       ":srv 001 bob_smith :Hi\r\n",
       {"JOIN #c\r\n"},
       {"*** On IRC you are bob_smith (bob.smith is not a valid IRC nick)|"}},
      {"refusals tried for ever",
       "x",
       refusals,
       {"NICK x_\r\n", "NICK x1\r\n", "NICK x2\r\n", "NICK x3\r\n", "NICK x4\r\n", "NICK x5\r\n",
        "NICK x6\r\n", "NICK x7\r\n", "NICK x8\r\n", "NICK x9\r\n"},
       {},
       "the IRC server refused every nick tried, the last x9"},
      {"channel refused by 437 taken for the nick",
       "dcuser",
       ":srv 437 * #c :Channel temporarily unavailable\r\n",
       {"JOIN #c\r\n"},
       {"<srv> #c :Channel temporarily unavailable|"}},
      {"later nick change not cut to the announced NICKLEN, or the rename not told",
       "averyverylongnick",
       ":me!u@h NICK :averyvery\r\n:srv 433 averyvery x :in use\r\n",
       {},
       {"*** On IRC you are averyvery (the server's nicks are at most 9 characters)|",
        "<srv> x :in use|"},
       "",
       ":srv 001 me :Hi\r\n:srv 005 me NICKLEN=9 PREFIX=(ov)@+ :are supported\r\n",
       kLoginInfoReceived | kLoginUserSent | kLoginJoinSent},
      {"refused later nick change not retried",
       "dcuser",
       ":srv 433 me dcuser :in use\r\n:me!u@h NICK :dcuser_\r\n",
       {"NICK dcuser_\r\n"},
       {"*** On IRC you are dcuser_ (the server refused dcuser)|"},
       "",
       ":srv 001 me :Hi\r\n",
       kLoginInfoReceived | kLoginUserSent | kLoginJoinSent},
  };
}
INSTANTIATE_TEST_SUITE_P(Rows, ServerNicks, ::testing::ValuesIn(nickRows()), kRowName);

std::string credentials(const std::string& plain) {
  std::string encoded(base64Size(plain.size()), '\0');
  encoded.resize(base64Encode(plain, encoded));
  return encoded;
}

std::vector<Case> ctcpRows() {
  const std::string version = "NOTICE alice :\x01VERSION Quayside " QUAYSIDE_VERSION "\x01\r\n";
  return {
      {"action shown raw",
       ":alice!u@h PRIVMSG #c :\x01"
       "ACTION dances\x01\r\n",
       {"<alice> /me dances|"}},
      {"private action shown raw",
       ":alice!u@h PRIVMSG me :\x01"
       "ACTION \x02"
       "dances\r\n",
       {"$To: me From: alice $<alice> /me dances|"}},
      {.name = "IRC nick in an action not the DC nick",
       .input = ":alice!u@h PRIVMSG #c :\x01"
                "ACTION pokes BOB_smith\x01\r\n",
       .client = {"<alice> /me pokes bob.smith|"},
       .nick = "bob.smith",
       .ircNick = "bob_smith"},
      {"action joined to the sender's run",
       ":bob!u@h PRIVMSG #c :one\r\n:bob!u@h PRIVMSG #c :\x01"
       "ACTION x\x01\r\n",
       {"<bob> one|", "<bob> /me x|"}},
      {"VERSION not answered", ":alice!u@h PRIVMSG me :\x01VERSION\x01\r\n", {}, {version}},
      {"PING not echoed",
       ":alice!u@h PRIVMSG me :\x01PING 1700000000 5\x01\r\n",
       {},
       {"NOTICE alice :\x01PING 1700000000 5\x01\r\n"}},
      {"request to the channel answered", ":alice!u@h PRIVMSG #c :\x01VERSION\x01\r\n", {}, {}},
      {"PING echo carries a line break",
       ":alice!u@h PRIVMSG me :\x01PING 1\r2\nQUIT\x01\r\n",
       {},
       {"NOTICE alice :\x01PING 1\x01\r\n"}},
      {"PING echo over the line limit",
       ":alice!u@h PRIVMSG me :\x01PING " + std::string(600, '7') + "\r\n",
       {},
       {"NOTICE alice :\x01PING " + std::string(489, '7') + "\x01\r\n"}},
      {"other request shown", ":alice!u@h PRIVMSG me :\x01TIME\x01\r\n", {}},
      {"request without a prefix answered", "PRIVMSG me :\x01VERSION\x01\r\n", {}},
      {"CTCP reply shown", ":alice!u@h NOTICE me :\x01VERSION x 1\x01\r\n", {}},
  };
}
INSTANTIATE_TEST_SUITE_P(Ctcp, ServerTranslation, ::testing::ValuesIn(ctcpRows()), kRowName);

std::vector<Case> charsetRows() {
  const std::string privet = "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";  // UTF-8
  const std::string privet1251 = "\xcf\xf0\xe8\xe2\xe5\xf2";
  return {
      {"UTF-8 client given invalid UTF-8",
       ":bob!u@h PRIVMSG #c :caf\xe9 \x80\r\n",
       {"<bob> caf\xc3\xa9 \xe2\x82\xac|"}},
      {"UTF-8 client's text changed",
       ":bob!u@h PRIVMSG #c :caf\xc3\xa9\r\n",
       {"<bob> caf\xc3\xa9|"}},
      {.name = "UTF-8 named: invalid bytes are not guessed",
       .input = ":bob!u@h PRIVMSG #c :caf\xe9 \xc3\xa9\r\n",
       .client = {"<bob> caf\xef\xbf\xbd \xc3\xa9|"},
       .charset = "utf-8"},
      {.name = "cp1252 client given UTF-8",
       .input = ":bob!u@h PRIVMSG #c :caf\xc3\xa9 \xe2\x82\xac\r\n",
       .client = {"<bob> caf\xe9 \x80|"},
       .charset = "windows-1252"},
      {.name = "missing characters not '?'",
       .input = ":bob!u@h PRIVMSG me :\xd0\x92|\xf0\x9f\x98\x80\r\n",
       .client = {"$To: me From: bob $<bob> ?&#124;?|"},
       .charset = "windows-1252"},
      {.name = "invalid UTF-8 not read as windows-1252",
       .input = ":bob!u@h PRIVMSG #c :caf\xe9\r\n",
       .client = {"<bob> caf\xe9|"},
       .charset = "windows-1252"},
      {.name = "cp1251 topic and channel",
       .input = ":op!u@h TOPIC #" + privet + " :" + privet + "\r\n",
       .client = {"$HubName #" + privet1251 + " - " + privet1251 + "|"},
       .channel = "#\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",
       .charset = "windows-1251"},
      {.name = "cp1251 nick and kick reason",
       .input = ":\xd0\x9e!u@h KICK #c \xd0\x92 :" + privet + "\r\n",
       .client = {"<\xce> \xce is kicking \xc2 because: " + privet1251 + "|", "$Quit \xc2|"},
       .charset = "windows-1251"},
      {.name = "cp1252 joining nick",
       .input = ":J\xc3\xb6rg!u@h JOIN #c\r\n",
       .client = {info("J\xf6rg", "u@h")},
       .charset = "windows-1252"},
  };
}
INSTANTIATE_TEST_SUITE_P(Charset, ServerTranslation, ::testing::ValuesIn(charsetRows()), kRowName);

std::vector<Case> loginRows() {
  using enum LoginMode;
  using enum LoginStep;
  const std::string refused = "*** The IRC server irc.example.net refused the password|";
  const std::string notLoggedIn = " you are not logged in|";
  // Account "b" * 49 twice and a password of 200 bytes: 300 bytes, 400 in base64.
  const std::string nick49(49, 'b');
  const std::string p200(200, 'p');
  const std::string p201(201, 'p');
  const std::string exact = credentials(nick49 + '\0' + nick49 + '\0' + p200);
  const std::string over = credentials(nick49 + '\0' + nick49 + '\0' + p201);
  return {
      {.name = "ACK of sasl starts PLAIN",
       .input = ":srv CAP * ACK :sasl\r\n",
       .client = {},
       .server = {"AUTHENTICATE PLAIN\r\n"},
       .login = kSasl,
       .step = kCapRequested,
       .capStep = CapStep::kRequested},
      {.name = "odd spacing and case in the ACK",
       .input = ":srv CAP   bob  ack   :multi-prefix  sasl \r\n",
       .client = {},
       .server = {"AUTHENTICATE PLAIN\r\n"},
       .login = kSasl,
       .step = kCapRequested,
       .capStep = CapStep::kRequested},
      {.name = "ACK without sasl taken as one",
       .input = ":srv CAP * ACK :sasl2 -sasl\r\nCAP\r\n",
       .client = {"CAP|"},
       .login = kSasl,
       .step = kCapRequested},
      {.name = "a NUL in the capability list hanging the relay",
       .input = std::string(":srv CAP * ACK :multi-prefix\0 sasl\r\n:srv CAP * NAK :\0sasl\r\n"sv),
       .client = {},
       .login = kSasl,
       .step = kCapRequested},
      {.name = "NAK not ending SASL",
       .input = ":srv CAP * NAK :sasl\r\n",
       .client = {"*** The IRC server irc.example.net does not offer SASL logins;" + notLoggedIn},
       .server = {"CAP END\r\n"},
       .login = kSasl,
       .step = kCapRequested,
       .capStep = CapStep::kRequested},
      {.name = "credentials not sent for the empty challenge",
       .input = "AUTHENTICATE +\r\n",
       .client = {},
       .server = {"AUTHENTICATE Ym9iAGJvYgBzZWtyaXQ=\r\n"},
       .nick = "bob",
       .login = kSasl,
       .step = kMechanismSent,
       .password = "sekrit"},
      {.name = "challenge with prefix and colon not taken",
       .input = ":srv AUTHENTICATE :+\r\n",
       .client = {},
       .server = {"AUTHENTICATE Ym9iAGJvYgBzZWtyaXQ=\r\n"},
       .nick = "bob",
       .login = kSasl,
       .step = kMechanismSent,
       .password = "sekrit"},
      {.name = "exactly 400 bytes not followed by '+'",
       .input = "AUTHENTICATE +\r\n",
       .client = {},
       .server = {"AUTHENTICATE " + exact + "\r\nAUTHENTICATE +\r\n"},
       .nick = nick49,
       .login = kSasl,
       .step = kMechanismSent,
       .password = p200},
      {.name = "credentials not cut into 400-byte pieces",
       .input = "AUTHENTICATE +\r\n",
       .client = {},
       .server = {"AUTHENTICATE " + over.substr(0, 400) + "\r\nAUTHENTICATE " + over.substr(400) +
                  "\r\n"},
       .nick = nick49,
       .login = kSasl,
       .step = kMechanismSent,
       .password = p201},
      {.name = "credentials sent twice",
       .input = "AUTHENTICATE +\r\nAUTHENTICATE +\r\n",
       .client = {},
       .server = {"AUTHENTICATE Ym9iAGJvYgBzZWtyaXQ=\r\n"},
       .nick = "bob",
       .login = kSasl,
       .step = kMechanismSent,
       .password = "sekrit"},
      {.name = "another challenge answered",
       .input = "AUTHENTICATE " + std::string(9000, 'A') + "\r\n",
       .client = {"*** The IRC server irc.example.net asked a SASL question that PLAIN does not "
                  "answer;" +
                  notLoggedIn},
       .server = {"AUTHENTICATE *\r\n", "CAP END\r\n"},
       .nick = "bob",
       .login = kSasl,
       .step = kMechanismSent,
       .password = "sekrit"},
      {.name = "success not ending SASL, or joined to the logged-in line",
       .input = ":srv 900 bob bob!b@h bob :You are now logged in as bob\r\n"
                ":srv 903 bob :SASL authentication successful\r\n",
       .client = {"*** You are logged in as bob|"},
       .server = {"CAP END\r\n"},
       .nick = "bob",
       .login = kSasl,
       .step = kPayloadSent},
      {.name = "channel joined before SASL ends",
       .input = ":srv 900 bob b!b@h bob :in\r\n:srv 903 bob :ok\r\n:srv 001 bob :Welcome\r\n",
       .client = {"*** You are logged in as bob|"},
       .server = {"CAP END\r\n", "JOIN #c\r\n"},
       .nick = "bob",
       .flags = 0x0F,
       .login = kSasl,
       .step = kPayloadSent},
      {.name = "channel joined before the PASS welcome",
       .input = "NOTICE AUTH :hi\r\n:srv 001 bob :Welcome\r\n",
       .client = {"*** hi|"},
       .server = {"JOIN #c\r\n"},
       .nick = "bob",
       .flags = 0x0F,
       .login = kPass,
       .step = kPassSent},
      {.name = "refused SASL password not closing with $BadPass",
       .input = ":srv 904 bob :SASL authentication failed\r\n",
       .client = {"$BadPass|", refused},
       .server = {"CAP END\r\n"},
       .closes = 1,
       .login = kSasl,
       .step = kPayloadSent},
      {.name = "refused mechanism taken for a bad password",
       .input = ":srv 908 bob PLAIN :are available\r\n:srv 904 bob :failed\r\n",
       .client = {"<srv> PLAIN :are available|",
                  "*** The IRC server irc.example.net does not take SASL PLAIN logins;" +
                      notLoggedIn},
       .server = {"CAP END\r\n"},
       .login = kSasl,
       .step = kMechanismSent},
      {.name = "904 before anything was sent taken as a verdict",
       .input = ":srv 904 bob :failed\r\n",
       .client = {"<srv> failed|"},
       .login = kSasl,
       .step = kCapRequested},
      {.name = "aborted SASL not ended",
       .input = ":srv 906 bob :aborted\r\n",
       .client = {"*** The IRC server irc.example.net did not complete the SASL login;" +
                  notLoggedIn},
       .server = {"CAP END\r\n"},
       .login = kSasl,
       .step = kPayloadSent},
      {.name = "464 not refusing the PASS password",
       .input = ":srv 464 * :Password incorrect\r\n",
       .client = {"$BadPass|", refused},
       .closes = 1,
       .login = kPass,
       .step = kPassSent},
      {.name = "ngIRCd's ERROR not refusing the PASS password",
       .input = "ERROR :Access denied: Bad password?\r\n",
       .client = {"$BadPass|", refused},
       .closes = 1,
       .login = kPass,
       .step = kPassSent},
      {.name = "other ERROR taken for a refused password",
       .input = "ERROR :Closing link (too many)\r\n",
       .client = {},
       .login = kPass,
       .step = kPassSent},
      {.name = "ERROR after the welcome taken for a refused password",
       .input = ":srv 001 bob :Welcome\r\nERROR :bad password\r\n",
       .client = {},
       .login = kPass,
       .step = kPassSent},
      {.name = "logged-out line not a sentence",
       .input = ":srv 901 bob bob!b@h :You are now logged out\r\n",
       .client = {"*** You are logged out|"},
       .login = kSasl,
       .step = kDone},
      {.name = "without a login mode the login lines not shown as before",
       .input = "AUTHENTICATE +\r\n:srv 900 bob :in\r\n"
                ":srv 904 bob :x\r\nERROR :bad password\r\n",
       .client = {"AUTHENTICATE +|", "*** in|", "<srv> x|"},
       .step = kMechanismSent,
       .password = "sekrit"},
  };
}
INSTANTIATE_TEST_SUITE_P(Login, ServerTranslation, ::testing::ValuesIn(loginRows()), kRowName);

std::vector<Case> capabilityRows() {
  using enum CapStep;
  const std::string notOffered =
      "*** The IRC server irc.example.net does not offer SASL logins; you are not logged in|";
  return {
      {.name = "a capability asked for that was not listed, or a listed one not asked for",
       .input = ":srv CAP * LS :sasl server-time=x foo MULTI-PREFIX\r\n",
       .client = {},
       .server = {"CAP REQ :multi-prefix server-time\r\n"},
       .capStep = kListing},
      {.name = "a list in several lines not read whole",
       .input = ":srv CAP * LS * :multi-prefix\r\n:srv CAP * LS :cap-notify\r\n",
       .client = {},
       .server = {"CAP REQ :multi-prefix cap-notify\r\n"},
       .capStep = kListing},
      {.name = "nothing wanted listed, and registration held for ever",
       .input = ":srv CAP * LS :sasl foo\r\n",
       .client = {},
       .server = {"CAP END\r\n"},
       .capStep = kListing},
      {.name = "sasl not asked for with the rest",
       .input = ":srv CAP * LS :sasl server-time\r\n",
       .client = {},
       .server = {"CAP REQ :server-time sasl\r\n"},
       .login = LoginMode::kSasl,
       .step = LoginStep::kCapRequested,
       .capStep = kListing},
      {.name = "sasl wanted but not listed, and the user not told",
       .input = ":srv CAP * LS :multi-prefix\r\n:srv CAP * ACK :multi-prefix\r\n",
       .client = {notOffered},
       .server = {"CAP REQ :multi-prefix\r\n", "CAP END\r\n"},
       .login = LoginMode::kSasl,
       .step = LoginStep::kCapRequested,
       .capStep = kListing},
      {.name = "an answer to the request not ending the negotiation",
       .input = ":srv CAP * ACK :multi-prefix\r\n",
       .client = {},
       .server = {"CAP END\r\n"},
       .capStep = kRequested},
      {.name = "a refused request not ending the negotiation",
       .input = ":srv CAP * NAK :multi-prefix chghost\r\n",
       .client = {},
       .server = {"CAP END\r\n"},
       .capStep = kRequested},
      {.name = "a capability offered later not asked for, or one withdrawn answered",
       .input = ":srv CAP me NEW :server-time foo\r\n:srv CAP me DEL :multi-prefix\r\n",
       .client = {},
       .server = {"CAP REQ :server-time\r\n"},
       .capStep = kDone},
      {.name = "a server without CAP told more about it, or its refusal shown",
       .input = ":srv 421 me CAP :Unknown command\r\n:srv 421 me CAPX :Unknown command\r\n",
       .client = {"<srv> CAPX :Unknown command|"},
       .capStep = kListing},
      {.name = "a SASL user of a server without CAP not told, and the channel never joined",
       .input = ":srv 421 me CAP :Unknown command\r\n",
       .client = {notOffered},
       .login = LoginMode::kSasl,
       .step = LoginStep::kCapRequested,
       .capStep = kListing},
      {.name = "a welcome with no CAP answer not ending the negotiation",
       .input = ":srv 001 me :Welcome\r\n:srv CAP * LS :multi-prefix\r\n",
       .client = {notOffered},
       .flags = 0,
       .login = LoginMode::kSasl,
       .step = LoginStep::kCapRequested,
       .capStep = kListing},
  };
}
INSTANTIATE_TEST_SUITE_P(Capabilities, ServerTranslation, ::testing::ValuesIn(capabilityRows()),
                         kRowName);

// Whatever the server sends, the password leaves only once, encoded, in
// AUTHENTICATE lines, and never reaches the client.
TEST(ServerLogin, HostileLoginLinesNeverLeakThePassword) {
  const std::string account = "bob";
  const std::string password = "SECRETPW";
  const std::string encoded = credentials(account + '\0' + account + '\0' + password);
  const std::vector<std::string> pieces = {"AUTHENTICATE +",
                                           "AUTHENTICATE :+",
                                           "AUTHENTICATE " + std::string(10000, 'A'),
                                           ":s CAP * ACK :sasl",
                                           ":s CAP * NAK :sasl",
                                           ":s CAP  *  ACK   sasl",
                                           ":s 903 bob :ok",
                                           ":s 904 bob :no",
                                           ":s 464 bob :no",
                                           "ERROR :password",
                                           ":s 001 bob :hi",
                                           ":s PRIVMSG bob :AUTHENTICATE +",
                                           "904",
                                           "CAP"};
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    auto relay = makeRelay("#c", account);
    relay->options.login = round % 3 == 0 ? LoginMode::kPass : LoginMode::kSasl;
    relay->loginStep = static_cast<LoginStep>(random() % 7);
    relay->password.assign(password);
    RecordingOutput out;
    std::string input;
    for (int count = 0; count < 8; ++count) {
      input += pieces[random() % pieces.size()] + "\r\n";
    }
    feedServer(*relay, input, out);
    std::size_t payloads = 0;
    for (const std::string& sent : out.server) {
      EXPECT_EQ(sent.find(password), std::string::npos);
      if (sent.find(encoded) != std::string::npos) {
        EXPECT_TRUE(sent.starts_with("AUTHENTICATE " + encoded + "\r\n")) << sent;
        ++payloads;
      }
    }
    EXPECT_LE(payloads, 1u);
    for (const std::string& sent : out.client) {
      EXPECT_EQ(sent.find(password), std::string::npos);
      EXPECT_EQ(sent.find(encoded), std::string::npos);
    }
  }
}

TEST(ServerRuns, LinesInSeparatePiecesAreNeverJoined) {
  auto relay = makeRelay();
  RecordingOutput out;
  feedServer(*relay, ":srv 372 me :one\r\n:bob PRIVMSG #c :a\r\n:bob PRIVMSG #c :b", out);
  feedServer(*relay, "\r\n:srv 372 me :two\r\n", out);
  // A ban list in two receives is two messages, but its count is whole.
  feedServer(*relay, ":srv 367 me #c a!*@*\r\n", out);
  feedServer(*relay, ":srv 367 me #c b!*@*\r\n:srv 368 me #c :End\r\n", out);
  EXPECT_EQ(out.client,
            (std::vector<std::string>{"<srv> one|", "<bob> a|", "<bob> b|", "<srv> two|",
                                      "*** a!*@* is banned from #c|",
                                      "*** b!*@* is banned from #c\r\n#c has 2 bans|"}));
}

// Every '|' the client receives ends a command the system wrote: nothing in
// an IRC field can end a command early or start one of its own.
TEST(ServerHostileInput, HostileFieldsNeverAddNmdcCommands) {
  struct Template {
    std::string line;  // each 'X' stands for the hostile field
    std::size_t commands;
    std::uint8_t features = 0;
    bool mapped = false;  // the DC nick is the field, and "me_" on IRC
  };
  const std::vector<Template> templates = {
      {":X!u@h PRIVMSG #c :X\r\n", 1},
      {":X!u@h PRIVMSG me :X\r\n", 1},
      {":X 372 me :X\r\n:X 376 me :X\r\n", 1},
      {":s 311 me X X X * :X\r\n:s 317 me X 5 7 :X\r\n:s 301 me X :X\r\n:s 318 me X :X\r\n", 1},
      {":s 367 me X X X 7\r\n:s 368 me X :X\r\n", 1},
      {":s 333 me X X 7\r\n", 1},
      {":s 482 me X X :X\r\n", 1},
      {":s 900 me X X :X\r\n", 1},
      {"NOTICE X :X\r\n", 1},
      {":X!X@X JOIN #c\r\n", 1},
      {":s 353 me = #c :@X X\r\n", 3},
      {":X!u@h QUIT :X\r\n", 1},
      {":X!u@h KICK #c X :X\r\n", 2},
      {":X!X@h NICK :X\r\n", 3},
      {":X!X@h NICK :X\r\n", 2, 0x01},
      {":op MODE #c +o-o X X\r\n", 3},
      {":s TOPIC #c :X\r\n", 1},
      {"X :X\r\n", 1},
      {":s X :X\r\n", 1},
      {":a!u@h PRIVMSG #c :me_ X me_\r\n", 1, 0, true},
      {":a!u@h PRIVMSG me_ :me_\r\n:a!u@h PRIVMSG me_ :\x01"
       "ACTION me_\x01\r\n",
       2, 0, true},
  };
  for (const std::string field : {"|", "$", "$ForceMove|$Search", "&#124;|&amp;", "a|b$c"}) {
    for (const Template& t : templates) {
      std::string line = t.line;
      for (std::size_t at = line.find('X'); at != std::string::npos; at = line.find('X', at)) {
        line.replace(at, 1, field);
        at += field.size();
      }
      SCOPED_TRACE(line);
      auto relay = makeRelay("#c", t.mapped ? field : "me");
      relay->ircNick.assign(t.mapped ? "me_" : "");
      relay->loginFlags = kLoginHubNamed;
      relay->clientFeatures = t.features;
      RecordingOutput out;
      feedServer(*relay, line, out);
      std::size_t pipes = 0;
      for (const std::string& sent : out.client) {
        pipes += static_cast<std::size_t>(std::count(sent.begin(), sent.end(), '|'));
      }
      EXPECT_EQ(pipes, t.commands);
    }
  }
}

std::string unescaped(const std::string& text) {
  std::string plain(text.size(), '\0');
  plain.resize(nmdcUnescape(text, plain.data(), plain.size()));
  return plain;
}

TEST(ServerOutput, ClientUnescapingGivesTheIrcTextBack) {
  auto relay = makeRelay();
  RecordingOutput out;
  const std::string text = "&#36; &amp; $x | &#124;& &";
  feedServer(*relay, ":bob PRIVMSG #c :" + text + "\r\n", out);
  EXPECT_EQ(out.client,
            (std::vector<std::string>{"<bob> &amp;#36; &amp;amp; &#36;x &#124; &amp;#124;& &|"}));
  EXPECT_EQ(unescaped(out.client.at(0)), "<bob> " + text + "|");
}

TEST(ServerOutput, OversizedOutputGoesOutInWholeCommandsWithinTheArea) {
  const std::string pipes(9000, '|');
  std::string modeLine = ":op MODE #c ";
  std::string modeOut;
  for (int i = 0; i < 1800; ++i) {
    modeLine.insert(12, "-o");
    modeLine += " a";
    modeOut += "$Quit a|" + info("a");
  }
  struct Row {
    const char* name;
    std::string line;
    std::string head;      // every send starts with it; "" for whole commands
    std::string expected;  // what the client reads back from all sends
    std::string dcNick = "me";
    std::string ircNick = "";
  };
  std::string mentions;
  std::string mentioned;
  for (int i = 0; i < 4000; ++i) {
    mentions += "x ";
    mentioned += std::string(100, '|') + " ";
  }
  for (const Row& row : std::vector<Row>{
           {"numeric text lost", ":srv 372 me :" + pipes + "\r\n", "<srv> ", pipes},
           {"status reply text lost", ":srv 401 me x :" + pipes + "\r\n", "*** ", "x: " + pipes},
           {"chat text lost", ":bob PRIVMSG #c :" + pipes + "\r\n", "<bob> ", pipes},
           {"mode output lost", modeLine + "\r\n", "", modeOut},
           {"long DC nick in place of a short IRC nick lost",
            ":bob PRIVMSG #c :" + mentions + "\r\n", "<bob> ", mentioned, std::string(100, '|'),
            "x"},
       }) {
    SCOPED_TRACE(row.name);
    auto relay = makeRelay("#c", row.dcNick);
    relay->ircNick.assign(row.ircNick);
    RecordingOutput out;
    feedServer(*relay, row.line, out);
    ASSERT_GT(out.client.size(), 1u);
    std::string all;
    for (const std::string& sent : out.client) {
      EXPECT_LE(sent.size(), kOutCapacity);
      EXPECT_EQ(sent.back(), '|');
      EXPECT_EQ(sent.substr(0, row.head.size()), row.head);
      // A chat part is the head, a piece of the text and its '|'.
      all +=
          row.head.empty() ? sent : sent.substr(row.head.size(), sent.size() - row.head.size() - 1);
    }
    EXPECT_EQ(unescaped(all), row.expected);
  }
}

TEST(ServerHostileInput, HostileBytesNeverBreakFraming) {
  const std::vector<std::string> inputs = {
      std::string("PRIVMSG \0#c :\0x\r\n:\0\r\n"sv),
      ":\r\n:srv 00\r\n:srv 001\r\n:srv 001 \r\n:srv 353\r\n:srv 311 "
      "me\r\nKICK\r\nNICK\r\nMODE\r\n",
      std::string(":srv 317 me\r\n:srv 367 \r\n:srv 333 me #c x 99999999999999999999\r\n"
                  ":srv 311 me :\r\n:srv 401 me \0 x :\0\r\n:srv 338 me b\0\r\n"sv) +
          ":srv 311 me " + std::string(9000, 'w') + " " + std::string(900, ' ') + "\r\n",
      ":srv 001 me :" + std::string(9980, '\x03') + "\r\n",
      std::string(12000, 'x') + "\r\nPING :after\r\n",
  };
  constexpr std::string_view kAlphabet = "\r\n :!@#$|+-o\x03\x02PRIVMSGKJN0123";
  std::mt19937 random(7);
  std::string noise(50000, '\0');
  for (char& byte : noise) {
    byte = kAlphabet[random() % kAlphabet.size()];
  }
  auto relay = makeRelay("#c", "o");
  relay->loginFlags = 0x0F;
  RecordingOutput out;
  for (const std::string& input : inputs) {
    feedServer(*relay, input, out);
  }
  feedServer(*relay, noise, out);
  EXPECT_NE(std::find(out.server.begin(), out.server.end(), "PONG :after\r\n"), out.server.end());
  for (const std::string& sent : out.client) {
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), '|');
    EXPECT_LE(sent.size(), kOutCapacity);
  }
}

}  // namespace
}  // namespace quayside
