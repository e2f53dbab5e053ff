#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"
#include "translate/server_reading.h"
#include "translate/server_translation.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quayside {

// The IRC line being translated, with the complete lines after it that a
// run may take along.
struct ServerLine {
  RelayState& relay;
  RelayOutput& out;
  ServerData data;
  FollowingLines& following;
  const LocalTimeSource& localTime;

  bool hasPrefix() const { return data.at(0) == ':'; }
};

// The handlers the line dispatch routes to; `at` is just after the bytes that
// chose the handler (the command word, or "353 " / "332 " of a numeric).

// Channel membership: the client's user list follows the channel.
void handleJoin(const ServerLine& line, std::size_t at);
void handleNamesList(const ServerLine& line, std::size_t at);
void handleDeparture(const ServerLine& line, std::size_t at);
void handleKick(const ServerLine& line, std::size_t at);
void handleNickChange(const ServerLine& line, std::size_t at);
void handleModeChange(const ServerLine& line, std::size_t at);

// Messages and topic.
void handleMessage(const ServerLine& line, std::size_t at);
void handleTopic(const ServerLine& line, std::size_t at);

// Replies told as sentences in status lines ("*** ..."): WHOIS, the ban
// list, who set the topic, the SASL account, the common errors.
bool isSentenceReply(std::uint32_t number);
// Tells the reply numeric `number` whose digits are at `digits`, and takes
// along the lines of the same WHOIS or ban list from `prefix` that follow it
// in the receive: one status message.
void tellSentenceReply(const ServerLine& line, std::string_view prefix, std::size_t digits,
                       std::uint32_t number);

}  // namespace quayside
