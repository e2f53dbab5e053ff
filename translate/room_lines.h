#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"
#include "translate/server_output.h"

#include <string_view>

namespace quayside {

// What both translations say and send about rooms (rooms.h).

// Whether `name` is written as a channel ('#', '&', '+' or '!' first), not a nick.
bool isChannelName(std::string_view name);
// Whether `name` is the Bridge's own channel, the hub itself.
bool isMainChannel(const RelayState& relay, std::string_view name);

// The joined room `name` names (a message's target), or null.
const Room* roomOf(const RelayState& relay, std::string_view name);

// Why the room `name` cannot be joined now (the option's checks, the hub's
// own channel, one joined already, the room limit, the server's CHANLIMIT),
// or an empty string. Said as "*** Cannot join <what>".
std::string roomRefusal(const RelayState& relay, std::string_view name);

// Adds the option's rooms, once, when the main channel's JOIN goes; those
// that cannot be joined are told in their window and logged.
void addOptionRooms(RelayState& relay, RelayOutput& out);

// Sends the JOINs of the rooms that wait for theirs, once the main
// channel's JOIN went: as few lines as fit 512 bytes and the server's
// TARGMAX for JOIN.
void joinWantedRooms(RelayState& relay, RelayOutput& out);

// A private message from the room: "$To: <me> From: <room> $" in the head;
// the caller goes on with "<sender> ".
void appendRoomHead(const RelayState& relay, Composer& head, std::string_view room);

// "$To: <me> From: <room> $<room> *** " then `words` (the system's) and
// `foreign` (from IRC: formatting removed, escaped) as one message.
void tellInRoom(const RelayState& relay, RelayOutput& out, std::string_view room,
                std::string_view words, std::string_view foreign = {});

// The room as a hub user: its "$MyINFO" (the topic as description), and
// for clients that take it the "$BotList" of every joined room.
void showRoomUser(const RelayState& relay, RelayOutput& out, const Room& room, bool withBotList);
void dropRoomUser(RelayOutput& out, std::string_view room);

// The gateway's own commands in main chat, never sent to IRC: "+join
// #name", "+part #name" and "+rooms", each exactly so (one argument for the
// first two). True when `text` was one of them and has been done.
bool takeRoomCommand(RelayState& relay, RelayOutput& out, std::string_view text);

// Leaves the room: its PART goes, and the room is dropped when the server
// says it is left; one not joined yet is dropped at once.
void partRoom(RelayState& relay, RelayOutput& out, Room& room);

}  // namespace quayside
