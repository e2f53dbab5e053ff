#include "translate/client_translation.h"

#include "support/recording_output.h"
#include "support/relay_fixture.h"
#include "translate/linger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace quayside {
namespace {

using namespace std::string_literals;
using testing::RecordingOutput;
using Sends = std::vector<std::string>;

constexpr std::uint8_t kLoggedIn = kLoginValidated | kLoginNickSent | kLoginWelcomed;
constexpr std::uint8_t kRegistered = kLoggedIn | kLoginInfoReceived | kLoginUserSent;

// The operator menu as the client must receive it, `target` at every "{T}".
std::string menuFor(std::string_view target) {
  std::string menu =
      "$UserCommand 255 15 |$UserCommand 2 6 Op$&#36;MODE {T} +o %[nick]&#124;|$UserCommand 2 6 "
      "Deop$&#36;MODE {T} -o %[nick]&#124;|$UserCommand 2 6 Whois$&#36;WHOIS %[nick]&#124;|"
      "$UserCommand 2 1 Topic ...$&#36;TOPIC {T} :%[line:Enter new topic:]&#124;|$UserCommand 0 "
      "1 |$UserCommand 2 1 Banlist$&#36;MODE {T} +b&#124;|$UserCommand 2 1 Set Ban ...$&#36;MODE "
      "{T} +b %[line:Enter the user info that will be banned:]&#124;|$UserCommand 2 1 Unban "
      "...$&#36;MODE {T} -b %[line:Enter the user info that will be unbanned:]&#124;|$UserCommand "
      "0 1 |$UserCommand 2 1 Change nick ...$&#36;ValidateNick %[line:Enter your new nick]&#124;|"
      "$UserCommand 0 1 |$UserCommand 1 1 Join room ...$<%[mynick]> +join %[line:Channel]&#124;|"
      "$UserCommand 2 2 Leave room$<%[mynick]> +part %[nick]&#124;|";
  for (auto at = menu.find("{T}"); at != std::string::npos; at = menu.find("{T}", at)) {
    menu.replace(at, 3, target);
  }
  return menu;
}

const std::string kInfo = "$MyINFO $ALL bob a desc<DC V:1>$ $LAN(T3)\x01$bob@example.org$1234$|";
const std::string kUser = "USER bob \"example.org\" \"irc.example.net\" :a desc\r\n";
const std::string kKickChat = "<op> is kicking eve because: spam|";
// What every real client answers our lock with: bytes of 0x80 and above.
const std::string kRealKey =
    "$Key \x14\xd1\xc0\x11\xb0\xa0\x10\x10"
    "A \xd1\xb1\xb1\xc0\xc0"
    "01\xe0@A\x81\xa0\xa1\xd0\x10|";
const std::string kCafeUtf8 = "caf\xc3\xa9 \xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";

struct Exchange {
  const char* name;
  Sends reads;  // one receive each
  Sends client{};
  Sends server{};
  std::uint8_t flags = kLoggedIn;  // loginFlags before the first read
  const char* channel = "chan";
  const char* nick = "bob";
  const char* serverText = "irc://irc.example.net:6667";
  LoginMode login = LoginMode::kNone;
  int closes = 0;
  const char* charset = "";  // the client's; empty: UTF-8
  const char* ircNick = "";  // the accepted IRC nick; empty: the DC nick
  int drops = 0;             // "+stop"s passed to the relay
  const char* rooms = "";    // as testing::addRooms takes them
  // Nonzero: the session's client left then (detachClient, its AWAY
  // recorded) and the reads are a client taking it over (attachClient).
  std::int64_t detachedAt = 0;
};
void PrintTo(const Exchange& e, std::ostream* os) {
  *os << e.name;
}

std::unique_ptr<Relay> run(const Exchange& e, RecordingOutput& out,
                           Translator& translator = testing::fixedZoneTranslator()) {
  auto relay = testing::makeRelay(e.channel, e.nick);
  relay->serverText.assign(e.serverText);
  relay->loginFlags = e.flags;
  relay->options.login = e.login;
  relay->clientCharset = testing::charsetFor(e.charset);
  relay->options.charset.assign(e.charset);
  relay->ircNick.assign(e.ircNick);
  testing::addRooms(*relay, e.rooms);
  if (e.detachedAt != 0) {
    detachClient(*relay, out, e.detachedAt);
    attachClient(*relay);
  }
  for (const std::string& bytes : e.reads) {
    testing::feedClient(*relay, bytes, out, translator);
  }
  return relay;
}

class ClientTranslation : public ::testing::TestWithParam<Exchange> {};

TEST_P(ClientTranslation, SendsExactly) {
  RecordingOutput out;
  run(GetParam(), out);
  EXPECT_EQ(out.client, GetParam().client);
  EXPECT_EQ(out.server, GetParam().server);
  EXPECT_EQ(out.closes, GetParam().closes);
  EXPECT_EQ(out.drops, GetParam().drops);
}

const std::string kSupportsNc = "$Supports NickChange UserCommand NoGetINFO NoHello |";
// clang-format off
const Exchange kExchanges[] = {
    // Login: {name, reads, client, server, flags, channel, nick, serverText}.
    {"UsualOrder", {"$Supports NoHello |$Key x|$ValidateNick bob|$GetNickList|" + kInfo},
     {"$Supports UserCommand NoGetINFO NoHello |", "$Hello bob|", kInfo, menuFor("#chan")},
     {"CAP LS 302\r\nNICK bob\r\n", kUser}, 0, "chan", ""},
    {"InfoFirstSendsNickAndUserTogether", {kInfo}, {kInfo, menuFor("#chan")},
     {"CAP LS 302\r\nNICK bob\r\n" + kUser}, 0, "chan", ""},
    {"ValidateNickNeedsSpace", {"$ValidateNick|$ValidateNickX|"}, {}, {}, 0},
    {"ChangeNickRenamesOnIrcToo", {"$ValidateNick carol|"}, {"$Hello carol|"}, {"NICK carol\r\n"},
     kRegistered},
    {"SameNickAgainSentToIrcAgain", {"$ValidateNick bob|$ValidateNick bob|"},
     {"$Hello bob|", "$Hello bob|"}, {"CAP LS 302\r\nNICK bob\r\n"}, 0},
    // A client taking a lingering session over (the first left at 18:02).
    {.name = "ReturningClientRegisteredAgainOrNotGivenTheHubRoomsAndNames",
     .reads = {"$Supports BotList NoHello |$Key x|$ValidateNick bob|" + kInfo},
     .client = {"$Supports UserCommand NoGetINFO NoHello |", "$Hello bob|", kInfo, menuFor("#chan"),
                "$HubName #chan|", "$MyINFO $ALL #help $ $IRC\x01$$0$|$BotList #help$$|"},
     .server = {"AWAY :Away (DC client disconnected)\r\n", "AWAY\r\n", "NAMES #chan\r\n"},
     .flags = kRegistered | kLoginJoinSent | kLoginHubNamed, .rooms = "#help ~#dev",
     .detachedAt = testing::kFixedNow - 68 * 60},
    {.name = "ReturningClientWithoutChannelNotWelcomedBackAtOnce",
     .reads = {"$ValidateNick bob|" + kInfo},
     .client = {"$Hello bob|", kInfo, menuFor("#chan"),
                "*** Welcome back: nothing was said since 18:02|"},
     .server = {"AWAY :Away (DC client disconnected)\r\n", "AWAY\r\n"},
     .flags = kRegistered, .detachedAt = testing::kFixedNow - 68 * 60},
    {"NickLineBreakSendsSecondIrcCommand", {"$ValidateNick a\r\nQUIT :x|$ValidateNick b\nc|"},
     {"$Hello a|", "$Hello b|"}, {"CAP LS 302\r\nNICK a\r\n", "NICK b\r\n"}, 0},
    {"StoredNickLineBreakReachesNickLine", {kInfo}, {kInfo, menuFor("#chan")},
     {"CAP LS 302\r\nNICK evil_QUIT\r\nUSER evilQUIT \"example.org\" \"irc.example.net\" :a desc\r\n"}, 0, "chan",
     "evil\rQUIT"},
    {"NickForbiddenOnIrcSentAsIs", {"$ValidateNick 1user|$ValidateNick \xD0\x92\xD0\xB0\xD1\x81\xD1\x8F|$ValidateNick \xC2\xE0|$ValidateNick |"},
     // Bytes that are not UTF-8 are windows-1252, and answered in it.
     {"$Hello 1user|", "$Hello \xD0\x92\xD0\xB0\xD1\x81\xD1\x8F|", "$Hello \xC2\xE0|", "$Hello |"},
     {"CAP LS 302\r\nNICK _1user\r\n", "NICK Vasya\r\n", "NICK Aa\r\n", "NICK quayside\r\n"}, 0},
    // Cyrillic as BGN/PCGN writes it, Latin letters without diacritics.
    {"NickNotWrittenInLatinLetters",
     {"$ValidateNick \xD0\xA9\xD1\x83\xD0\xBA\xD0\xB0|$ValidateNick \xD0\xA9\xD0\xA3\xD0\x9A\xD0\x90|"
      "$ValidateNick \xD0\x95\xD0\xBB\xD0\xB5\xD0\xBD\xD0\xB0|$ValidateNick \xD0\x9F\xD1\x91\xD1\x82\xD1\x80|"
      "$ValidateNick \xD0\x98\xD0\xBB\xD1\x8C\xD0\xB8\xD1\x87|$ValidateNick \xD0\x87\xD0\xB6\xD0\xB0\xD0\xBA|"
      "$ValidateNick J\xC3\xBCrgen|$ValidateNick \xC3\x86r\xC3\xB8|$ValidateNick Stra\xC3\x9F" "e|"
      "$ValidateNick Ju\xCC\x88rgen|$ValidateNick Nguy\xE1\xBB\x85n|"},
     {"$Hello \xD0\xA9\xD1\x83\xD0\xBA\xD0\xB0|", "$Hello \xD0\xA9\xD0\xA3\xD0\x9A\xD0\x90|",
      "$Hello \xD0\x95\xD0\xBB\xD0\xB5\xD0\xBD\xD0\xB0|", "$Hello \xD0\x9F\xD1\x91\xD1\x82\xD1\x80|",
      "$Hello \xD0\x98\xD0\xBB\xD1\x8C\xD0\xB8\xD1\x87|", "$Hello \xD0\x87\xD0\xB6\xD0\xB0\xD0\xBA|",
      "$Hello J\xC3\xBCrgen|", "$Hello \xC3\x86r\xC3\xB8|", "$Hello Stra\xC3\x9F" "e|",
      "$Hello Ju\xCC\x88rgen|", "$Hello Nguy\xE1\xBB\x85n|"},
     {"CAP LS 302\r\nNICK Shchuka\r\n", "NICK SHCHUKA\r\n", "NICK Yelena\r\n", "NICK Petr\r\n", "NICK Ilich\r\n",
      "NICK Yizhak\r\n", "NICK Jurgen\r\n", "NICK AEro\r\n", "NICK Strasse\r\n", "NICK Jurgen\r\n",
      "NICK Nguyen\r\n"}, 0},
    // Mixed scripts, characters with no Latin form, and nicks whose Latin
    // form is empty or starts with a digit.
    {"NickLatinFormNotMadeValid",
     {"$ValidateNick \xD0\x92\xD0\xB0\xD1\x81\xD1\x8F.J\xC3\xBCrgen|$ValidateNick \xE6\x9D\x8E\xE5\xB0\x8F|"
      "$ValidateNick \xD0\x92\xD0\xB0\xD1\x81\xD1\x8F\xE2\x98\x83|$ValidateNick \xD0\xAC\xD0\xAC|"
      "$ValidateNick \xD0\xAC" "1|$ValidateNick \xCC\x81-x|"},
     {"$Hello \xD0\x92\xD0\xB0\xD1\x81\xD1\x8F.J\xC3\xBCrgen|", "$Hello \xE6\x9D\x8E\xE5\xB0\x8F|",
      "$Hello \xD0\x92\xD0\xB0\xD1\x81\xD1\x8F\xE2\x98\x83|", "$Hello \xD0\xAC\xD0\xAC|",
      "$Hello \xD0\xAC" "1|", "$Hello \xCC\x81-x|"},
     {"CAP LS 302\r\nNICK Vasya_Jurgen\r\n", "NICK __\r\n", "NICK Vasya_\r\n", "NICK quayside\r\n", "NICK _1\r\n",
      "NICK _-x\r\n"}, 0},
    {"NickUnescapedForIrcEscapedInHello", {"$ValidateNick b&#124;x&amp;#36;|"},
     {"$Hello b&#124;x&amp;#36;|"}, {"CAP LS 302\r\nNICK b|x__36_\r\n"}, 0},
    {"SupportsNickChangeAnyCaseAndRemembered",
     {"$Supports NoHello nICKchanGE |$Supports NoHello |$Supports|"}, {kSupportsNc, kSupportsNc},
     {}, 0},
    {"SecondInfoOnlyEchoed", {"$MyINFO $ALL x$|$MyINFO $ALL|"}, {"$MyINFO $ALL x$|"}, {},
     kRegistered},
    {"RealnameIsNickWithoutDescription", {"$MyINFO $ALL bob$ $L$x@h$0$|"},
     {"$MyINFO $ALL bob$ $L$x@h$0$|", menuFor("#chan")}, {"USER bob \"h\" \"x\" :bob\r\n"},
     kLoggedIn, "chan", "bob", "x"},
    {"EmptyRealnameRefusedByTheServerOrEmptyHostChanged", {"$MyINFO $ALL bob $ $L$x@$0$|"},
     {"$MyINFO $ALL bob $ $L$x@$0$|", menuFor("#chan")}, {"USER bob \"\" \"x\" :bob\r\n"},
     kLoggedIn, "chan", "bob", "x"},
    {"RealnameAndHostUnescaped", {"$MyINFO $ALL bob a&#36;b&#124;c<x>$ $L$x@h&#124;$0$|"},
     {"$MyINFO $ALL bob a&#36;b&#124;c<x>$ $L$x@h&#124;$0$|", menuFor("#chan")},
     {"USER bob \"h|\" \"x\" :a$b|c\r\n"}, kLoggedIn, "chan", "bob", "x"},
    {"UserFieldLineBreaksSendSecondIrcCommand", {"$MyINFO $ALL bob a\rQUIT<x>$ $L$x@h\nQUIT$0$|"},
     {"$MyINFO $ALL bob a\rQUIT<x>$ $L$x@h\nQUIT$0$|", menuFor("#chan")},
     {"USER bob \"h\" \"x\" :a\r\n"}, kLoggedIn, "chan", "bob", "x"},
    {"RealnameFromNickKeepsLineBreak", {"$MyINFO $ALL x$ $L$x@h$0$|"},
     {"$MyINFO $ALL x$ $L$x@h$0$|", menuFor("#chan")}, {"USER evil \"h\" \"x\" :e\r\n"},
     kLoggedIn, "chan", "e\rvil", "x"},
    {"ServerTextLosesSchemeAndPort", {kInfo}, {kInfo, menuFor("&l")},
     {"USER bob \"example.org\" \"host\" :a desc\r\n"}, kLoggedIn, "&l", "bob", "DcHub://host:1"},
    {"UserNameKeepsWhatIrcAccepts", {kInfo}, {kInfo, menuFor("")},
     {"USER SEo-_.x \"example.org\" \"irc.example.net\" :a desc\r\n"}, kLoggedIn, "",
     "[SE]o|-_.~\xc3\xa9x"},
    {"UserNameFallback", {kInfo}, {kInfo, menuFor("#chan")},
     {"USER quayside \"example.org\" \"irc.example.net\" :a desc\r\n"}, kLoggedIn, "#chan", "[]"},
    // The gate and the operator pass-through.
    {"NothingPassesBeforeLogin", {"<bob> hi|$MODE #c +o x|$To: a From: b $<b> c|"}, {}, {}, 0},
    {"PassThroughUnescapedToNul",
     {"$MODE #c +b a&#36;b&#124;c\0x|$TOPIC #c :t|$WHOIS b|$TOPICAL x|$MODE|$Kick x|"s}, {},
     {"MODE #c +b a$b|c\r\n", "TOPIC #c :t\r\n", "WHOIS b\r\n", "TOPICAL x\r\n",
      "KICK #chan x\r\n"}},
    {"PassThroughLineBreakSendsSecondIrcCommand",
     {"$MODE #c +o bob\rQUIT|$TOPIC #c :a\nb|$WHOIS x\r\nQUIT|"}, {},
     {"MODE #c +o bob\r\n", "TOPIC #c :a\r\n", "WHOIS x\r\n"}},
    {"PassThroughCutToServerLimit", {"$TOPIC #c :" + std::string(600, 'x') + "|"}, {},
     {"TOPIC #c :" + std::string(500, 'x') + "\r\n"}},
    // Private messages.
    {"PrivateMessageUnescapedAndCut",
     {"$To: b&#124;x From: a $<a> 5&#36; &amp;#124;|$To:bob From: a $<a>hi\r\n\nyo|"}, {},
     {"PRIVMSG b|x :5$ &#124;\r\n", "PRIVMSG bob :hi\r\nPRIVMSG bob :yo\r\n"}},
    {"PrivateMessageDropped", {"$To: b From: a hi|$To: b From: a $ <a> x|$To: b From: a $<a> |"
     "$To: b From: a $<a|$To: " + std::string(400, 'n') + " From: a $<a> hi|"}},
    // Own nick taken on IRC: the member holding it is listed with "[irc]".
    {.name = "PrivateMessageToMarkedNameGoesToTheMember",
     .reads = {"$To: bob[irc] From: bob $<bob> hi|$To: al[irc] From: bob $<bob> hi|"},
     .server = {"PRIVMSG bob :hi\r\n", "PRIVMSG al[irc] :hi\r\n"},
     .ircNick = "bob_"},
    {"PrivateMessageToNickWithLineBreakSent",
     {"$To: bob\rQUIT From: a $<a> hi|$To: b\nx From: a $<a> hi|"}},
    // Actions and character sets.
    // Rooms: "+" commands in main chat, private messages to a room.
    {.name = "RoomCommandsSentToIrcOrNotDone",
     .reads = {"<bob> +join #dev|<bob> +join nope|<bob> +join #CHAN|<bob> +join #a #b|"
               "<bob> +part #help|<bob> +part #zzz|<bob> +rooms|"},
     .client = {"<bob> +join #dev|", "<bob> +join nope|",
                "*** Cannot join nope: \"nope\" does not start with #, &, + or !|",
                "<bob> +join #CHAN|", "*** Cannot join #CHAN: #CHAN is this hub's own channel|",
                "<bob> +join #a #b|", "<bob> +part #help|", "<bob> +part #zzz|",
                "*** You are not in #zzz|", "<bob> +rooms|",
                "*** Rooms:\r\n#help: 2 members\r\n#dev: joining|"},
     .server = {"JOIN #dev\r\n", "PRIVMSG #chan :+join #a #b\r\n", "PART #help\r\n"},
     .flags = kLoggedIn | kLoginJoinSent, .rooms = "#help"},
    {.name = "RoomPrivateMessagesNotSaidInTheRoom",
     .reads = {"$To: #help From: bob $<bob> hi|$To: #help From: bob $<bob> /me waves|"
               "$To: #nope From: bob $<bob> hi|$To: #help From: bob $<bob> +part|"},
     .client = {"$To: bob From: #nope $<#nope> *** You are not in #nope (type +join #nope)|"},
     .server = {"PRIVMSG #help :hi\r\n", "PRIVMSG #help :\x01" "ACTION waves\x01\r\n",
                "PART #help\r\n"},
     .rooms = "#help"},
    {.name = "StopSentToIrcOrNotPassedOn", .reads = {"<bob> +stop|<bob> +stop now|"},
     .client = {"<bob> +stop|", "<bob> +stop now|"}, .server = {"PRIVMSG #chan :+stop now\r\n"},
     .drops = 1},
    {"MeNotSentAsAction", {"<bob> /me waves|<bob> /meow|<bob> /me|"},
     {"<bob> /me waves|", "<bob> /meow|", "<bob> /me|"},
     {"PRIVMSG #chan :\x01" "ACTION waves\x01\r\n", "PRIVMSG #chan :/meow\r\n",
      "PRIVMSG #chan :/me\r\n"}},
    {"MeLinesAfterTheFirstNotPlain", {"$To: al From: bob $<bob> /me waves\r\n\r\nand more|"}, {},
     {"PRIVMSG al :\x01" "ACTION waves\x01\r\n", "PRIVMSG al :and more\r\n"}},
    // A client on the UTF-8 default that sends windows-1252 is answered in it.
    {.name = "InvalidUtf8NotReadAsWindows1252", .reads = {"<bob> caf\xe9 \x80|", "<bob> ok|"},
     .client = {"<bob> caf\xe9 \x80|", "<bob> ok|"},
     .server = {"PRIVMSG #chan :caf\xc3\xa9 \xe2\x82\xac\r\n", "PRIVMSG #chan :ok\r\n"}},
    {.name = "KeyBytesDoNotMakeUtf8ChatWindows1252",
     .reads = {kRealKey + "<bob> " + kCafeUtf8 + "|", "$To: al From: bob $<bob> " + kCafeUtf8 + "|"},
     .client = {"<bob> " + kCafeUtf8 + "|"},
     .server = {"PRIVMSG #chan :" + kCafeUtf8 + "\r\n", "PRIVMSG al :" + kCafeUtf8 + "\r\n"}},
    // Each line is read on its own: a UTF-8 line after a windows-1252 one
    // is still UTF-8, and the answers stay in windows-1252.
    {.name = "Windows1252ChatAfterKeyEachLineReadOnItsOwn",
     .reads = {kRealKey + "<bob> caf\xe9|", "<bob> caf\xc3\xa9 \xc3\x83|"},
     .client = {"<bob> caf\xe9|", "<bob> caf\xe9 \xc3|"},
     .server = {"PRIVMSG #chan :caf\xc3\xa9\r\n", "PRIVMSG #chan :caf\xc3\xa9 \xc3\x83\r\n"}},
    {.name = "Utf8NamedNeverGuessesWindows1252",
     .reads = {kRealKey + "<bob> caf\xe9|", "<bob> " + kCafeUtf8 + "|"},
     .client = {"<bob> caf\xef\xbf\xbd|", "<bob> " + kCafeUtf8 + "|"},
     .server = {"PRIVMSG #chan :caf\xef\xbf\xbd\r\n", "PRIVMSG #chan :" + kCafeUtf8 + "\r\n"},
     .charset = "UTF8"},
    {.name = "Cp1252ChatNotConverted", .reads = {"<bob> caf\xe9 \x80|"},
     .client = {"<bob> caf\xe9 \x80|"}, .server = {"PRIVMSG #chan :caf\xc3\xa9 \xe2\x82\xac\r\n"},
     .charset = "windows-1252"},
    {.name = "Cp1251PrivateMessageAndNickNotConverted",
     .reads = {"$To: \xc0 From: bob $<bob> \xcf\xf0\xe8|$ValidateNick \xc2|"},
     .client = {"$Hello \xc2|"},
     // The DC nick is converted, then made a valid IRC nick.
     .server = {"PRIVMSG \xd0\x90 :\xd0\x9f\xd1\x80\xd0\xb8\r\n", "NICK V\r\n"},
     .charset = "windows-1251"},
    // Chat lines.
    {"ChatEchoedAndSentWithText", {"<bob> hello|<bob>  hi|<bob>|<bob hi|"},
     {"<bob> hello|", "<bob>  hi|", "<bob>|", "<bob hi|"},
     {"PRIVMSG #chan :hello\r\n", "PRIVMSG #chan : hi\r\n"}},
    {"SettingsChannelBreakEndsChatLineEarly", {"<bob> hi|"}, {"<bob> hi|"},
     {"PRIVMSG #chan :hi\r\n"}, kLoggedIn, "chan\r\nQUIT :x"},
    {"SettingsServerBreakEndsUserLineEarly", {kInfo}, {kInfo, menuFor("#chan")},
     {"USER bob \"example.org\" \"irc\" :a desc\r\n"}, kLoggedIn, "chan", "bob", "irc\r\nQUIT"},
    {"ChatBreaksMakeLines", {"<b> \none\r\n\r\ntwo\r\n|"}, {"<b> \none\r\n\r\ntwo\r\n|"},
     {"PRIVMSG #chan : \r\nPRIVMSG #chan :one\r\nPRIVMSG #chan :two\r\n"}},
    {"ChatUnescapedButEchoedAsIs", {"<b> a&#124;b&#36;&amp;#36;&\0x|"s},
     {"<b> a&#124;b&#36;&amp;#36;&\0x|"s}, {"PRIVMSG #chan :a|b$&#36;&\r\n"}},
    // Kicks.
    {"KickInOneRead", {kKickChat + "$Kick b&#124;x|"}, {}, {"KICK #chan b|x :spam\r\n"}},
    // A "$Kick" cut by the receive is never acted on in part; once whole it
    // is a kick of its own.
    {"KickWithHalfKickCommandKicksPartOfNick", {kKickChat + "$Kick ev", "e|"}, {kKickChat},
     {"PRIVMSG #chan :is kicking eve because: spam\r\n", "KICK #chan eve\r\n"}},
    {"KickOfNickWithBreakOrNulKicksAnother",
     {kKickChat + "$Kick ev\re|", kKickChat + "$Kick e\nve|", kKickChat + "$Kick e\0ve|"s}},
    {"KickCommandInLaterReadIsChat", {kKickChat, "$Kick eve|"}, {kKickChat},
     {"PRIVMSG #chan :is kicking eve because: spam\r\n", "KICK #chan eve\r\n"}},
    {"BecauseBeforeKickingIsChat", {"<o> because: x is kicking e|$Kick e|"},
     {"<o> because: x is kicking e|"},
     {"PRIVMSG #chan :because: x is kicking e\r\n", "KICK #chan e\r\n"}},
    {"BareKickHasNoReason",
     {"$Kick b&#124;x|$Kick |$Kick e\rQUIT|$Kick e\0x|$Kick "s + std::string(500, 'e') + "|"},
     {}, {"KICK #chan b|x\r\n"}},
    {"BareKickWaitsForLogin", {"$Kick eve|"}, {}, {}, 0},
    {"FileRequestsToIrcUsersAnsweredOncePerUser",
     {"$ConnectToMe al 1.2.3.4:5|$RevConnectToMe bob a&#36;l|$ConnectToMe al 1.2.3.4:6|"
      "$RevConnectToMe bob|"},
     {"*** al is on IRC: IRC users share no files|",
      "*** a&#36;l is on IRC: IRC users share no files|"}},
    {"KickReasonCutForRelaying",
     {"<o> is kicking e because: " + std::string(500, 'r') + "|$Kick e|"}, {},
     {"KICK #chan e :" + std::string(402 - 16, 'r') + "\r\n"}},
    // The hub password for the server login: {.name, .reads, .client, .server, ...}.
    {.name = "PassGoesFirst",
     .reads = {"$Supports NoHello |$Key x|$ValidateNick bob|", "$MyPass s&#36;cr&#124;t|",
               "$Version 1,0091|$GetNickList|" + kInfo},
     .client = {"$Supports UserCommand NoGetINFO NoHello |", "$GetPass|", "$Hello bob|", kInfo,
                menuFor("#chan")},
     .server = {"PASS s$cr|t\r\nCAP LS 302\r\nNICK bob\r\n", kUser}, .flags = 0, .nick = "",
     .login = LoginMode::kPass},
    {.name = "SaslWaitsForTheCapabilityList", .reads = {"$ValidateNick bob|", "$MyPass pw|", kInfo},
     .client = {"$GetPass|", "$Hello bob|", kInfo, menuFor("#chan")},
     .server = {"CAP LS 302\r\nNICK bob\r\n", kUser}, .flags = 0, .nick = "",
     .login = LoginMode::kSasl},
    {.name = "RegistrationAndChatWaitForPassword",
     .reads = {"$ValidateNick bob|" + kInfo + "<bob> early|$MODE #c +o x|", "$MyPass pw|"},
     .client = {"$GetPass|", kInfo, "$Hello bob|", menuFor("#chan")},
     .server = {"PASS pw\r\nCAP LS 302\r\nNICK bob\r\n", kUser}, .flags = 0, .nick = "",
     .login = LoginMode::kPass},
    {.name = "InfoFirstAsksForPassword", .reads = {kInfo, "$MyPass pw|"},
     .client = {kInfo, "$GetPass|", menuFor("#chan")},
     .server = {"PASS pw\r\n", "CAP LS 302\r\nNICK bob\r\n" + kUser}, .flags = 0, .nick = "",
     .login = LoginMode::kPass},
    {.name = "PassParameterTrailingWhenItMustBe",
     .reads = {"$ValidateNick a|$MyPass :x y|"}, .client = {"$GetPass|", "$Hello a|"},
     .server = {"PASS ::x y\r\nCAP LS 302\r\nNICK a\r\n"}, .flags = 0, .nick = "",
     .login = LoginMode::kPass},
    {.name = "EmptyPassTrailing", .reads = {"$ValidateNick a|$MyPass |"},
     .client = {"$GetPass|", "$Hello a|"}, .server = {"PASS :\r\nCAP LS 302\r\nNICK a\r\n"}, .flags = 0,
     .nick = "", .login = LoginMode::kPass},
    {.name = "UnaskedMyPassIgnored", .reads = {"$MyPass pw|<bob> hi|"}, .client = {"<bob> hi|"},
     .server = {"PRIVMSG #chan :hi\r\n"}},
    {.name = "NickChangeAfterPasswordAsUsual",
     .reads = {"$ValidateNick bob|", "$MyPass pw|$MyPass again|", "$ValidateNick carol|"},
     .client = {"$GetPass|", "$Hello bob|", "$Hello carol|"},
     .server = {"PASS pw\r\nCAP LS 302\r\nNICK bob\r\n", "NICK carol\r\n"}, .flags = 0, .nick = "",
     .login = LoginMode::kPass},
    {.name = "LineBreakInPassRefused", .reads = {"$ValidateNick bob|$MyPass a\r\nQUIT|"},
     .client = {"$GetPass|", "$BadPass|",
                "*** The IRC server irc.example.net cannot be sent a password with a line break|"},
     .flags = 0, .nick = "", .login = LoginMode::kPass, .closes = 1},
    {.name = "PasswordWithNulRefusedNotCut",
     .reads = {"$ValidateNick bob|$MyPass ab\0cd|"s},
     .client = {"$GetPass|", "$BadPass|",
                "*** The IRC server irc.example.net cannot be sent a password with a NUL byte|"},
     .flags = 0, .nick = "", .login = LoginMode::kSasl, .closes = 1},
    {.name = "OverlongPasswordRefused",
     .reads = {"$ValidateNick bob|$MyPass " + std::string(256, 'p') + "|"},
     .client = {"$GetPass|", "$BadPass|",
                "*** The IRC server irc.example.net takes no password longer than 255 bytes from "
                "this gateway|"},
     .flags = 0, .nick = "", .login = LoginMode::kSasl, .closes = 1},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, ClientTranslation, ::testing::ValuesIn(kExchanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ClientChatCutting, LongLegacyPasteReachesIrcWhole) {
  // 16,000 windows-1252 bytes grow to 32,000 UTF-8 bytes on their way.
  RecordingOutput out;
  run({"LongLegacyPaste", {"<bob> " + std::string(16000, '\xe9') + "|"}}, out);
  std::size_t text = 0;
  for (const std::string& group : out.server) {
    for (std::size_t at = 0; (at = group.find(":", at)) != std::string::npos; ++at) {
      const std::size_t end = group.find("\r\n", at);
      text += end - at - 1;
      at = end;
    }
  }
  EXPECT_EQ(text, 32000u);
}

// A client takes a lingering session over and leaves again, before its
// user information cleared the away mark and after: the user is marked away
// only when not marked, and the session stays away since the first left.
TEST(ClientLoginState, ReturningClientThatLeavesAgainMarksTheUserAwayOnce) {
  const std::string kAway = "AWAY :Away (DC client disconnected)\r\n";
  auto relay = testing::makeRelay("chan", "bob");
  relay->loginFlags = kRegistered | kLoginJoinSent | kLoginHubNamed;
  RecordingOutput out;
  detachClient(*relay, out, 100);
  attachClient(*relay);
  detachClient(*relay, out, 200);
  attachClient(*relay);
  testing::feedClient(*relay, "$ValidateNick bob|" + kInfo, out, testing::fixedZoneTranslator());
  detachClient(*relay, out, 300);
  EXPECT_EQ(out.server, (Sends{kAway, "AWAY\r\n", "NAMES #chan\r\n", kAway}));
  EXPECT_EQ(relay->detachedAt, 100);
  EXPECT_TRUE(detached(*relay));
  EXPECT_EQ(relay->loginFlags & (kLoginValidated | kLoginInfoReceived), 0);
}

TEST(ClientLoginState, FlagsAndNickFollowTheLogin) {
  RecordingOutput out;
  auto relay = run({"Validate", {"$ValidateNick " + std::string(150, 'n') + "|"}, {}, {}, 0}, out);
  EXPECT_EQ(relay->loginFlags, 0x03);
  EXPECT_EQ(relay->nick.view(), std::string(100, 'n'));
  testing::feedClient(*relay, kInfo, out);
  EXPECT_EQ(relay->loginFlags, 0x0F);
  auto early = run(
      {"InfoFirst", {"$MyINFO $ALL " + std::string(150, 'n') + " d$|"}, {}, {}, 0, "c", ""}, out);
  EXPECT_EQ(early->loginFlags, 0x0F);
  EXPECT_EQ(early->nick.view(), std::string(99, 'n'));
}

TEST(ClientLoginState, PasswordHeldOnlyUntilSaslSendsIt) {
  for (const LoginMode mode : {LoginMode::kPass, LoginMode::kSasl}) {
    RecordingOutput out;
    auto relay = testing::makeRelay("c", "");
    relay->options.login = mode;
    testing::feedClient(*relay, "$ValidateNick bob|$MyPass " + std::string(255, 'p') + "|", out);
    EXPECT_EQ(relay->password.view(), mode == LoginMode::kSasl ? std::string(255, 'p') : "");
    EXPECT_EQ(relay->loginStep,
              mode == LoginMode::kSasl ? LoginStep::kCapRequested : LoginStep::kPassSent);
  }
}

TEST(ClientLoginState, UserLineHostMadeUpOrCutAndLineWithinLimit) {
  // The low 3 bits of the first word give 3 to 10 letters, the low 4 bits
  // of each further word one letter from 'a' to 'p'.
  const struct {
    std::vector<std::uint32_t> words;
    const char* host;
  } draws[] = {
      {{0, 0, 0, 0}, "aaa.com"},
      {{0xFFFFFFF8, 0x10, 0x21, 0x3F}, "abp.com"},
      {{7, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6}, "ponmlkjihg.com"},
  };
  for (const auto& draw : draws) {
    SCOPED_TRACE(draw.host);
    std::size_t next = 0;
    StandardTranslator translator([&] { return draw.words.at(next++); }, testing::fixedZoneTime,
                                  testing::fixedNow);
    RecordingOutput out;
    run({"NoMail", {"$MyINFO $ALL bob d$ $L$nomail$0$|"}}, out, translator);
    EXPECT_EQ(out.server.at(0),
              "USER bob \"" + std::string(draw.host) + "\" \"irc.example.net\" :d\r\n");
    EXPECT_EQ(next, draw.words.size());
  }
  RecordingOutput out;
  run({"Long",
       {"$MyINFO $ALL bob " + std::string(900, 'd') + "$ $L$x@" + std::string(80, 'h') + "$0$|"}},
      out);
  EXPECT_EQ(out.server.at(0).size(), 512u);
  EXPECT_NE(out.server.at(0).find('"' + std::string(63, 'h') + '"'), std::string::npos);
}

std::string repeat(std::string_view piece, int count) {
  std::string text;
  while (count-- > 0) {
    text += piece;
  }
  return text;
}

// Splits every send into lines, checking that each is whole and short enough.
Sends serverLines(const RecordingOutput& out, std::size_t limit) {
  Sends lines;
  for (const std::string& send : out.server) {
    EXPECT_LE(send.size(), kOutCapacity);
    EXPECT_TRUE(send.ends_with("\r\n"));
    for (std::size_t at = 0, end = 0; at < send.size(); at = end + 2) {
      end = send.find("\r\n", at);
      EXPECT_LE(end + 2 - at, limit);
      lines.push_back(send.substr(at, end - at));
    }
  }
  return lines;
}

TEST(ClientChatCutting, LinesFitRelayingAndKeepCharactersWhole) {
  const std::string head = "PRIVMSG #chan :";  // leaves 385 text bytes
  const std::string accents = repeat("\xc3\xa9", 300);
  const struct {
    std::string text;
    Sends texts;
    const char* charset = "";
  } rows[] = {
      {std::string(1000, 'x'),
       {std::string(385, 'x'), std::string(385, 'x'), std::string(230, 'x')}},
      {accents, {accents.substr(0, 384), accents.substr(384)}},  // backs off to a character
      // A break right at the room and one past it.
      {std::string(385, 'x') + "\n" + std::string(386, 'y') + "\ny",
       {std::string(385, 'x'), std::string(385, 'y'), "y", "y"}},
      // Not UTF-8: read as windows-1252 ("\xc3\x83" each), then cut.
      {std::string(400, '\xc3'),
       {repeat("\xc3\x83", 192), repeat("\xc3\x83", 192), repeat("\xc3\x83", 16)}},
      // Cut after conversion: 400 cp1251 bytes are 800 UTF-8 bytes.
      {std::string(400, '\xe9'),
       {repeat("\xd0\xb9", 192), repeat("\xd0\xb9", 192), repeat("\xd0\xb9", 16)},
       "windows-1251"},
  };
  for (const auto& row : rows) {
    RecordingOutput out;
    Exchange cut{"Cut", {"<b> " + row.text + "|"}};
    cut.charset = row.charset;
    run(cut, out);
    Sends texts;
    for (const std::string& line : serverLines(out, 402)) {
      texts.push_back(line.substr(head.size()));
    }
    EXPECT_EQ(texts, row.texts);
  }
}

TEST(ClientChatCutting, GroupLargerThanOutBufferLeavesInWholeLines) {
  RecordingOutput out;
  run({"Big",
       {"<b> " + repeat("line\n", 1900) + "|"},
       {},
       {},
       kLoggedIn,
       std::string(255, 'c').c_str()},
      out);
  EXPECT_GT(out.server.size(), 1u);
  EXPECT_EQ(serverLines(out, 402).size(), 1900u);
}

// Hostile bytes: the sanitizer builds catch any access out of bounds; here
// every send must stay whole and within the server's line limit.
TEST(ClientHostileInput, RandomCommandsStayInBounds) {
  std::mt19937 random(7);
  const Sends starts = {"$ValidateNick ", "$Supports ", "$MyINFO $ALL ", "$MODE ", "$TOPIC",
                        "$To: ",          "<",          "$Kick ",        ""};
  const Sends pieces = {
      "$<", ">",  " is kicking ", " because: ", "$", "&#124;", "&#36;", "&amp;",
      " ",  "\r", "\n",           "\0"s,        "@", "\xc3",   "\xa9",  "\xf0\x9f\x98\x80",
      "x"};
  for (int round = 0; round < 300; ++round) {
    std::string bytes;
    for (const std::size_t size = random() % 12000; bytes.size() < size; bytes += '|') {
      bytes += starts[random() % starts.size()];
      for (auto count = random() % 40; count > 0; --count) {
        bytes += random() % 8 == 0 ? std::string(random() % 1500, 'a')
                                   : pieces[random() % pieces.size()];
      }
    }
    RecordingOutput out;
    run({"Random", {bytes}, {}, {}, static_cast<std::uint8_t>(round % 2 == 0 ? 0 : kLoggedIn)},
        out);
    serverLines(out, 512);
  }
}

}  // namespace
}  // namespace quayside
