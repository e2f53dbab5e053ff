#pragma once

#include "relay/relay.h"
#include "translate/output.h"
#include "translate/server_reading.h"
#include "translate/server_translation.h"

#include <cstddef>

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

}  // namespace quayside
