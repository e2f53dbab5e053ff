#pragma once

#include "relay/relay.h"
#include "translate/output.h"
#include "translate/server_reading.h"

#include <cstddef>

namespace quayside {

// The IRC line being translated: it starts at `start` in the received data
// and ends at the CR LF at `end`.
struct ServerLine {
  Relay& relay;
  RelayOutput& out;
  ServerData data;
  std::size_t start;
  std::size_t end;

  bool hasPrefix() const { return data.at(start) == ':'; }
  // Takes the line after the CR LF at `lineBreak` into this call: the pair
  // becomes two blanks, so the relay thread steps over the taken line.
  void takeNextLine(std::size_t lineBreak) const {
    relay.serverBuffer[lineBreak] = ' ';
    relay.serverBuffer[lineBreak + 1] = ' ';
  }
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
