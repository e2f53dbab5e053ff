#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"
#include "translate/server_reading.h"
#include "translate/server_translation.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quayside {

class LongMessage;

// The IRC line being translated, with the complete lines after it that a
// run may take along.
struct ServerLine {
  RelayState& relay;
  RelayOutput& out;
  const IrcLine& irc;
  FollowingLines& following;
  const LocalTimeSource& localTime;
  const UnixClock& now;

  bool hasPrefix() const { return irc.hasSource(); }
};

// The handlers the rule table (server_translation.cpp) routes lines to.

// One entry of a names list (353): the nick, the status symbols before it
// and, with userhost-in-names, its "user@host".
struct NamesEntry {
  std::string_view nick;
  std::string_view symbols;
  std::string_view userHost;
};
// Takes the next entry that names someone off the front of `names`.
std::optional<NamesEntry> takeNamesEntry(const RelayState& relay, std::string_view& names);

// Channel membership: the client's user list follows the channel.
void handleJoin(const ServerLine& line);
void handleNamesList(const ServerLine& line);
void handleDeparture(const ServerLine& line);
void handleKick(const ServerLine& line);
void handleNickChange(const ServerLine& line);
void handleModeChange(const ServerLine& line);

// Messages and topic.
void handleMessage(const ServerLine& line);
void handleTopic(const ServerLine& line);
// Appends "[18:03] " (or "[2026-12-07 18:03] ") when the chat line's
// server-time tag says it was said over a minute ago, such as history
// played back on joining; nothing for any other line.
void appendSayingTime(const ServerLine& line, const IrcLine& irc, LongMessage& message);
// The Unix time the line's server-time tag tells, while server-time is in
// use; nothing without one, or for one that cannot be read.
std::optional<std::int64_t> taggedTime(const RelayState& relay, const IrcLine& irc);

// What members' away marks and hosts change to (away-notify, the channel's
// WHO, chghost), and the lines read only for that.
bool takeAway(const ServerLine& line);
bool takeHostChange(const ServerLine& line);
void noteWhoReply(const ServerLine& line);
void endWhoReplies(const ServerLine& line);

// Lines about the rooms (server_rooms.cpp); false for a line about the
// main channel or none, which the rules after them take.
bool takeRoomJoin(const ServerLine& line);
bool takeRoomPart(const ServerLine& line);
bool takeRoomKick(const ServerLine& line);
bool takeRoomQuit(const ServerLine& line);
bool takeRoomNick(const ServerLine& line);
bool takeRoomNames(const ServerLine& line);
bool takeRoomTopic(const ServerLine& line);
bool takeRoomMode(const ServerLine& line);
bool takeRoomRefusal(const ServerLine& line);

// Replies told as sentences in status lines ("*** ..."): WHOIS, the ban
// list, who set the topic, the SASL account, the common errors.
bool isSentenceReply(std::uint32_t number);
// Tells the reply, and takes along the lines of the same WHOIS or ban list
// from the same sender that follow it in the receive: one status message.
void tellSentenceReply(const ServerLine& line);

}  // namespace quayside
