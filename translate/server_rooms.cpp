// Lines about the rooms: the client's own joins, parts and kicks change the
// hub's room users; members' are only counted; the topic and refusals are
// told inside the room's window, and nothing else is (joins and quits of
// room members are noise in a DC window).
#include "translate/irc_nick.h"
#include "translate/room_lines.h"
#include "translate/server_handlers.h"
#include "translate/server_output.h"

#include <algorithm>
#include <array>
#include <string>

namespace quayside {
namespace {

constexpr std::size_t kTopicLimit = kTopicCapacity - 2;  // as the main channel's
constexpr std::string_view kLineBreaks("\r\n\0", 3);
// "PART " and CR LF around the name fit the server's 512 bytes.
constexpr std::size_t kPartNameLimit = 512 - 7;

bool isOwn(const ServerLine& line, std::string_view nick) {
  return nickMatches(ircNickOf(line.relay), nick);
}

// The channel a JOIN, PART or KICK names first ("JOIN #a,#b" is not what
// servers send, but its first is what the line is about).
std::string_view channelOf(std::string_view parameter) {
  return parameter.substr(0, parameter.find(','));
}

std::string plainText(std::string_view text) {
  std::array<char, kStreamCapacity> plain;
  return {plain.data(), stripFormatting(text, plain.data(), plain.size())};
}

void setTopic(Room& room, std::string_view text) {
  room.topic = plainText(text);
  if (room.topic.size() > kTopicLimit) {
    room.topic.resize(kTopicLimit);
  }
}

// The room is gone: its user leaves the hub.
void leaveRoom(const ServerLine& line, const Room& room, const std::string& why) {
  const std::string name(room.name.view());
  const bool shown = room.step == RoomStep::kJoined;
  line.relay.rooms.remove(name);
  if (shown) {
    dropRoomUser(line.out, name);
  }
  line.out.note(why);
}

}  // namespace

bool takeRoomJoin(const ServerLine& line) {
  RelayState& relay = line.relay;
  const std::string_view channel = channelOf(line.irc.parameter(0));
  const std::string_view nick = senderNick(line.irc);
  if (channel.empty() || relay.channel.empty() || isMainChannel(relay, channel) || nick.empty()) {
    return false;
  }
  Room* room = relay.rooms.find(channel);
  if (!isOwn(line, nick)) {
    if (room != nullptr) {
      room->members.add(nick);
    }
    return room != nullptr;
  }
  if (room == nullptr && (relay.loginFlags & kLoginHubNamed) == 0) {
    return false;  // the answer to the channel's JOIN, forwarded elsewhere: still the hub
  }
  if (room == nullptr) {
    // A JOIN the client never asked for (the server's own doing): a room
    // for the session, or, past the limit, left again.
    if (!roomNameProblem(channel).empty() || (room = relay.rooms.add(channel)) == nullptr) {
      // A name with a line break in it would make its PART two lines, and
      // one too long for a line cannot be named at all.
      if (channel.find_first_of(kLineBreaks) == std::string_view::npos &&
          channel.size() <= kPartNameLimit) {
        line.out.send(Peer::kServer, "PART " + std::string(channel), "\r\n");
      }
      line.out.note("left " + std::string(channel) + ", which the server joined: no room for it");
      return true;
    }
  }
  if (room->step == RoomStep::kJoined) {
    return true;
  }
  room->name.assign(channel);  // as the server spells it
  room->step = RoomStep::kJoined;
  room->members.clear();
  showRoomUser(relay, line.out, *room, true);
  line.out.note("joined room " + std::string(room->name.view()));
  return true;
}

bool takeRoomPart(const ServerLine& line) {
  const std::string_view channel = channelOf(line.irc.parameter(0));
  Room* room = channel.empty() ? nullptr : line.relay.rooms.find(channel);
  if (room == nullptr) {
    return false;
  }
  const std::string_view nick = senderNick(line.irc);
  if (isOwn(line, nick)) {
    leaveRoom(line, *room, "left room " + std::string(room->name.view()));
  } else {
    room->members.remove(nick);
  }
  return true;
}

bool takeRoomKick(const ServerLine& line) {
  const IrcLine& irc = line.irc;
  const std::string_view channel = channelOf(irc.parameter(0));
  Room* room = channel.empty() ? nullptr : line.relay.rooms.find(channel);
  if (room == nullptr) {
    return false;
  }
  const std::string_view kicked = irc.middle(1);
  if (!isOwn(line, kicked)) {
    room->members.remove(kicked);
    return true;
  }
  std::string words = "*** You were kicked from " + std::string(room->name.view());
  if (line.hasPrefix()) {
    std::string storage;
    words += " by " + std::string(memberName(line.relay, senderNick(irc), storage));
  }
  const std::string reason = plainText(irc.textAfter(2));
  tellInRoom(line.relay, line.out, room->name.view(), words + (reason.empty() ? "" : ": "), reason);
  leaveRoom(line, *room,
            "kicked from room " +
                words.substr(std::string_view("*** You were kicked from ").size()) +
                (reason.empty() ? "" : " (" + reason + ")"));
  return true;
}

bool takeRoomQuit(const ServerLine& line) {
  RelayState& relay = line.relay;
  const std::string_view nick = senderNick(line.irc);
  if (!line.hasPrefix() || nick.empty() || relay.rooms.all().empty()) {
    return false;
  }
  // A member of rooms only was never a user of the hub.
  const bool onlyInRooms = relay.rooms.onlyInRooms(nick);
  for (Room& room : relay.rooms.all()) {
    room.members.remove(nick);
  }
  return onlyInRooms;
}

bool takeRoomNick(const ServerLine& line) {
  RelayState& relay = line.relay;
  const std::string_view oldNick = senderNick(line.irc);
  const std::string_view newNick =
      line.irc.parameter(0).substr(0, line.irc.parameter(0).find_first_of(" !:"));
  if (oldNick.empty() || newNick.empty() || relay.rooms.all().empty() || isOwn(line, oldNick)) {
    return false;
  }
  const bool onlyInRooms = relay.rooms.onlyInRooms(oldNick);
  for (Room& room : relay.rooms.all()) {
    if (room.members.contains(oldNick)) {
      room.members.remove(oldNick);
      room.members.add(newNick);
    }
  }
  return onlyInRooms;
}

bool takeRoomNames(const ServerLine& line) {
  // "353 me = #room :names" (some servers leave out the '='); "366 me #room :End".
  const IrcLine& irc = line.irc;
  const std::size_t count = irc.parameterCount();
  const bool names = irc.numeric() == 353;
  if (count < (names ? 3U : 2U) || (names && !irc.hasTrailing())) {
    return false;
  }
  Room* room = line.relay.rooms.find(irc.parameter(names ? count - 2 : 1));
  if (room == nullptr) {
    return false;
  }
  std::string_view entries = irc.parameter(count - 1);
  while (names) {
    const std::optional<NamesEntry> entry = takeNamesEntry(line.relay, entries);
    if (!entry) {
      break;
    }
    if (!isOwn(line, entry->nick)) {
      room->members.add(entry->nick);
    }
  }
  return true;
}

bool takeRoomTopic(const ServerLine& line) {
  // "TOPIC #room :text" changes it; "332 me #room :text" tells it on
  // joining; "333 me #room setter time" says who set it (not told).
  const IrcLine& irc = line.irc;
  const bool change = !irc.isNumeric();
  const std::string_view channel = irc.parameter(change ? 0 : 1);
  Room* room = channel.empty() ? nullptr : line.relay.rooms.find(channel);
  if (room == nullptr) {
    return false;
  }
  if (irc.numeric() == 333) {
    return true;
  }
  const std::string_view text = irc.hasTrailing() ? irc.parameter(irc.parameterCount() - 1) : "";
  setTopic(*room, text);
  if (room->step == RoomStep::kJoined) {
    showRoomUser(line.relay, line.out, *room, false);
  }
  if (!change) {
    tellInRoom(line.relay, line.out, room->name.view(), "*** The topic is: ", room->topic);
    return true;
  }
  std::string storage;
  const std::string setter =
      line.hasPrefix() ? std::string(memberName(line.relay, senderNick(irc), storage)) : "";
  tellInRoom(line.relay, line.out, room->name.view(),
             "*** " + setter + (room->topic.empty() ? " clears the topic" : " sets the topic: "),
             room->topic);
  return true;
}

bool takeRoomMode(const ServerLine& line) {
  // A room's modes change no hub operator and are not told.
  const std::string_view target = line.irc.parameter(0);
  return !target.empty() && line.relay.rooms.find(target) != nullptr;
}

bool takeRoomRefusal(const ServerLine& line) {
  // "474 me #room :Cannot join channel (+b)" about a room asked for.
  const IrcLine& irc = line.irc;
  Room* room = line.relay.rooms.find(irc.parameter(1));
  if (room == nullptr || room->step == RoomStep::kJoined) {
    return false;
  }
  const std::string reason = plainText(irc.textAfter(2));
  const std::string name(room->name.view());
  tellInRoom(line.relay, line.out, name, "*** Cannot join " + name + ": ", reason);
  leaveRoom(line, *room, "room " + name + " not joined: " + reason);
  return true;
}

}  // namespace quayside
