#pragma once

#include "core/fixed_text.h"
#include "core/member_ranks.h"
#include "core/session_options.h"
#include "translate/kept_lines.h"
#include "translate/rooms.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

class TextConverter;

// Received bytes held per direction; one more byte holds the NUL after them.
inline constexpr std::size_t kStreamCapacity = 10000;
// The longest chat or private message the client may send (its '|' not
// counted); the framing holds one that outgrows kStreamCapacity on the heap.
inline constexpr std::size_t kLongMessageLimit = 65536;

inline constexpr std::size_t kNickCapacity = 101;  // 100 characters and a NUL
inline constexpr std::size_t kMyInfoCapacity = 1024;
inline constexpr std::size_t kServerTextCapacity = 512;
inline constexpr std::size_t kChannelCapacity = 256;
inline constexpr std::size_t kTopicCapacity = 1024;  // 1,022 characters are kept
inline constexpr std::size_t kEndReasonCapacity = 512;
inline constexpr std::size_t kPasswordCapacity = 256;
inline constexpr std::size_t kAddressTextCapacity = 48;   // "[" IPv6 text "]" and a NUL
inline constexpr std::size_t kStatusPrefixCapacity = 17;  // 16 channel status modes and a NUL
// IRC lines of chat typed before the server's welcome, held until it comes:
// as much as the pacer lets wait.
inline constexpr std::size_t kHeldChatLimit = 65536;
inline constexpr std::size_t kToldNoFilesLimit = 64;

// How the IRC server compares nicks (its 005 CASEMAPPING).
enum class CaseMapping : std::uint8_t {
  kRfc1459,        // A-Z with a-z, []\~ with {}|^: what servers that say nothing use
  kStrictRfc1459,  // A-Z with a-z, []\ with {}|
  kAscii,          // A-Z with a-z only
};

// loginFlags bits; each only ever goes from 0 to 1 while the Relay lives, but
// for the client's own two (validated, info received), which a lingering
// session forgets when its client leaves.
inline constexpr std::uint8_t kLoginValidated = 0x01;     // "$Hello" sent, or NICK from user info
inline constexpr std::uint8_t kLoginNickSent = 0x02;      // a NICK line went to the server
inline constexpr std::uint8_t kLoginInfoReceived = 0x04;  // "$MyINFO $ALL " received
inline constexpr std::uint8_t kLoginUserSent = 0x08;      // the USER line went to the server
inline constexpr std::uint8_t kLoginJoinSent = 0x20;      // the channel JOIN went to the server
inline constexpr std::uint8_t kLoginHubNamed = 0x40;      // first JOIN announced as the hub name
inline constexpr std::uint8_t kLoginWelcomed = 0x80;      // the server's welcome (001) arrived

// clientFeatures bits.
inline constexpr std::uint8_t kFeatureNickChange = 0x01;
inline constexpr std::uint8_t kFeatureBotList = 0x02;  // takes "$BotList" (the rooms)

// The IRCv3 capabilities Quayside asks a server for, one bit each.
inline constexpr std::uint16_t kCapMultiPrefix = 0x0001;      // every status a member holds
inline constexpr std::uint16_t kCapAwayNotify = 0x0002;       // AWAY lines from members
inline constexpr std::uint16_t kCapAccountNotify = 0x0004;    // ACCOUNT lines (never shown)
inline constexpr std::uint16_t kCapExtendedJoin = 0x0008;     // JOIN with account and realname
inline constexpr std::uint16_t kCapChghost = 0x0010;          // CHGHOST lines
inline constexpr std::uint16_t kCapServerTime = 0x0020;       // @time= tags
inline constexpr std::uint16_t kCapMessageTags = 0x0040;      // tags on any line, TAGMSG
inline constexpr std::uint16_t kCapCapNotify = 0x0080;        // CAP NEW and DEL
inline constexpr std::uint16_t kCapUserhostInNames = 0x0100;  // names as nick!user@host
inline constexpr std::uint16_t kCapInviteNotify = 0x0200;     // INVITE to others of the channel
inline constexpr std::uint16_t kCapSasl = 0x0400;             // with login=sasl only

// How far the capability negotiation has come.
enum class CapStep : std::uint8_t {
  kNone,       // nothing sent yet
  kListing,    // "CAP LS 302" went with the registration; its answer awaited
  kRequested,  // "CAP REQ" went; its ACK or NAK awaited
  kDone,       // "CAP END" went, or the server knows no CAP: registration as before
};

// How far the server login with the client's hub password has come
// (options.login other than none); only ever moves forward.
enum class LoginStep : std::uint8_t {
  kIdle,           // no password asked for yet
  kAsked,          // "$GetPass" went to the client
  kPassSent,       // pass: PASS went to the server, no welcome yet
  kCapRequested,   // sasl: the password waits for the capability negotiation to ask for sasl
  kMechanismSent,  // sasl: "AUTHENTICATE PLAIN" went to the server
  kPayloadSent,    // sasl: the credentials went to the server
  kDone,           // welcomed (pass) or "CAP END" sent (sasl): the password is gone
};

// How far the client that takes a lingering session over has come
// (detachedAt nonzero all the while).
enum class ReturnStep : std::uint8_t {
  kAway,       // no client is attached
  kLoggingIn,  // a client took the session over; its "$MyINFO" is awaited
  kListing,    // its user list is rebuilt from the channel's names, asked for again
};

// What the translations read and change: one hub session's conversation
// state. Plain data, owned by the Relay's thread like the rest of the Relay.
struct RelayState {
  std::uint8_t loginFlags = 0;
  std::uint8_t clientFeatures = 0;

  FixedText<kNickCapacity> nick;
  FixedText<kMyInfoCapacity> myInfo;
  FixedText<kServerTextCapacity> serverText;
  FixedText<kChannelCapacity> channel;
  FixedText<kTopicCapacity> topic;
  // The client's nick on IRC, apart from its DC nick (`nick`), which stays
  // as the client chose it. `ircNick` is the one the server accepted (empty
  // before the welcome: the DC nick stands in); `nickCandidate` the one the
  // NICK in flight asks for; `refusedNick` the last the server refused.
  FixedText<kNickCapacity> ircNick;
  FixedText<kNickCapacity> nickCandidate;
  FixedText<kNickCapacity> refusedNick;
  std::uint8_t nickLength = 0;    // the server's longest nick (005 NICKLEN); 0 while unknown
  std::uint8_t nickAttempt = 0;   // which alternate the candidate is (0: the DC nick made valid)
  std::uint8_t nickRefusals = 0;  // refusals since the DC nick was chosen
  bool nickPending = false;       // a NICK sent after the welcome awaits its answer
  // The channel status modes and their prefix symbols, highest rank first,
  // as the server's 005 PREFIX announced them; empty: the default "(ov)@+".
  FixedText<kStatusPrefixCapacity> statusModes;
  FixedText<kStatusPrefixCapacity> statusSymbols;
  CaseMapping caseMapping = CaseMapping::kRfc1459;  // from 005 CASEMAPPING
  // From 005: the channels one JOIN may name (TARGMAX's JOIN) and the
  // channels a user may be in (CHANLIMIT's for '#'); 0 while unknown.
  std::uint16_t joinTargets = 0;
  std::uint16_t channelLimit = 0;
  // Which operator ranks each channel member holds, so losing one of two
  // keeps the member's operator mark.
  MemberRanks memberRanks;
  // The other channels joined as rooms, and who is in them.
  Rooms rooms;

  std::uint8_t upstreamKind = 0;  // nonzero: IRC server (default port 6667); 0: DC hub (411)
  std::uint8_t clientKind = 0;

  SessionOptions options;  // the Bridge's, at accept
  // The client's character set (options.charset), opened by the relay thread
  // for the Relay's life and owned there; null while the client speaks UTF-8.
  TextConverter* clientCharset = nullptr;
  // With the UTF-8 default: the client sent bytes that are not UTF-8, so it
  // speaks windows-1252, and is answered in it (its own nick in "$Hello" must
  // come back as it sent it).
  bool clientSpeaksWindows1252 = false;

  // Chat and private messages the client sent before the welcome, as the
  // IRC lines they become (at most kHeldChatLimit bytes; empty, and holding
  // no memory, once sent), and how many messages they are.
  std::string heldChat;
  std::uint32_t heldMessages = 0;
  // The users whose files the client asked for and was told IRC has none
  // (once each; at most kToldNoFilesLimit names, the oldest forgotten).
  std::vector<std::string> toldNoFiles;
  // The bans of the ban list being received (367), told with its end (368).
  std::uint32_t bansListed = 0;

  // The capabilities the server listed (CAP LS, NEW, DEL) and those it
  // acknowledged; which of them are in use changes what its lines mean.
  std::uint16_t capsOffered = 0;
  std::uint16_t capsEnabled = 0;
  CapStep capStep = CapStep::kNone;
  // The channel's WHO (asked once after joining, when members' away marks
  // follow) is being answered: its replies are read, not shown.
  bool whoPending = false;
  bool whoAsked = false;  // that WHO went: once per session

  // With the Bridge's linger option: the Unix time the DC client left
  // while the session lingers on without one; 0 while a client is attached
  // and has been shown what was kept for it.
  std::int64_t detachedAt = 0;
  ReturnStep returnStep = ReturnStep::kAway;
  // What was said while no client was attached, for the one that returns.
  KeptLines kept;

  LoginStep loginStep = LoginStep::kIdle;
  // The client's password (IRC form), held only from "$MyPass" until SASL
  // has sent it, and wiped then.
  FixedText<kPasswordCapacity> password;
};

}  // namespace quayside
