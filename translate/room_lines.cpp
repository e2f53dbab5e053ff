#include "translate/room_lines.h"

#include "translate/composer.h"
#include "translate/nmdc_text.h"
#include "translate/server_reading.h"

#include <array>
#include <string>

namespace quayside {
namespace {

constexpr std::size_t kIrcLineLimit = 512 - 2;  // CR LF not counted

// "*** text|" in main chat.
void tellStatus(RelayOutput& out, std::string_view words) {
  LongMessage message(out);
  message.head().append("*** ");
  message.endHead();
  message.appendText(words);
  message.send();
}

void joinRoom(RelayState& relay, RelayOutput& out, std::string_view name) {
  if (const std::string refusal = roomRefusal(relay, name); !refusal.empty()) {
    tellStatus(out, "Cannot join " + std::string(name) + ": " + refusal);
    return;
  }
  relay.rooms.add(name);
  joinWantedRooms(relay, out);
}

void listRooms(const RelayState& relay, RelayOutput& out) {
  if (relay.rooms.all().empty()) {
    tellStatus(out, "You are in no rooms (type +join #channel to join one)");
    return;
  }
  LongMessage message(out);
  message.head().append("*** ");
  message.endHead();
  message.appendPlain("Rooms:");
  for (const Room& room : relay.rooms.all()) {
    message.appendBreak();
    message.appendText(room.name.view());
    if (room.step != RoomStep::kJoined) {
      message.appendPlain(": joining");
      continue;
    }
    // The DC user is a member too.
    const std::size_t members = room.members.size() + 1;
    message.appendPlain(": " + std::to_string(members) + (room.members.overflowed() ? "+" : "") +
                        (members == 1 ? " member" : " members"));
    if (!room.topic.empty()) {
      message.appendPlain(", topic: ");
      message.appendText(room.topic);
    }
  }
  message.send();
}

}  // namespace

void partRoom(RelayState& relay, RelayOutput& out, Room& room) {
  const std::string name(room.name.view());
  if (room.step != RoomStep::kWanted) {
    out.send(Peer::kServer, "PART " + name, "\r\n");
  }
  // A joined room goes when the server says it is left; one not joined yet
  // goes now, so a JOIN the server never answers cannot keep it.
  if (room.step != RoomStep::kJoined) {
    relay.rooms.remove(name);
    out.note("room " + name + " not joined: left before the server answered");
  }
}

bool takeRoomCommand(RelayState& relay, RelayOutput& out, std::string_view text) {
  if (text == "+rooms") {
    listRooms(relay, out);
    return true;
  }
  const bool join = text.starts_with("+join ");
  if (!join && !text.starts_with("+part ")) {
    return false;
  }
  const std::string_view name = text.substr(6);
  if (name.empty() || name.find_first_of(" \r\n") != std::string_view::npos) {
    return false;  // not one argument: chat
  }
  if (join) {
    joinRoom(relay, out, name);
    return true;
  }
  if (Room* room = relay.rooms.find(name); room != nullptr) {
    partRoom(relay, out, *room);
  } else {
    tellStatus(out, "You are not in " + std::string(name));
  }
  return true;
}

const Room* roomOf(const RelayState& relay, std::string_view target) {
  if (!isChannelName(target)) {
    return nullptr;
  }
  const Room* room = relay.rooms.find(target);
  return room != nullptr && room->step == RoomStep::kJoined ? room : nullptr;
}

bool isChannelName(std::string_view name) {
  return !name.empty() && std::string_view("#&+!").find(name.front()) != std::string_view::npos;
}

bool isMainChannel(const RelayState& relay, std::string_view name) {
  std::array<char, kChannelCapacity + 1> bytes;
  Composer target(bytes);
  appendChannelTarget(target, relay.channel.view());
  return nickMatches(target.view(), name);
}

std::string roomRefusal(const RelayState& relay, std::string_view name) {
  if (std::string problem = roomNameProblem(name); !problem.empty()) {
    return problem;
  }
  const std::string shown(name);
  if (isMainChannel(relay, name)) {
    return shown + " is this hub's own channel";
  }
  if (relay.rooms.find(name) != nullptr) {
    return "you are in " + shown + " already";
  }
  if (relay.rooms.all().size() >= kRoomLimit) {
    return "you are in " + std::to_string(kRoomLimit) + " rooms already (type +part #room first)";
  }
  // The main channel counts as one.
  if (relay.channelLimit != 0 && relay.rooms.all().size() + 1 >= relay.channelLimit) {
    return "the server lets a user into " + std::to_string(relay.channelLimit) +
           " channels at most";
  }
  return {};
}

void addOptionRooms(RelayState& relay, RelayOutput& out) {
  for (const RoomName& room : relay.options.roomList()) {
    // The Bridge's checks keep the main channel out; a file edited by hand
    // may not have been through them.
    if (isMainChannel(relay, room.view())) {
      continue;
    }
    if (const std::string refusal = roomRefusal(relay, room.view()); !refusal.empty()) {
      tellInRoom(relay, out, room.view(), "*** Cannot join " + std::string(room.view()) + ": ",
                 refusal);
      out.note("room " + std::string(room.view()) + " not joined: " + refusal);
      continue;
    }
    relay.rooms.add(room.view());
  }
}

void joinWantedRooms(RelayState& relay, RelayOutput& out) {
  if ((relay.loginFlags & kLoginJoinSent) == 0) {
    return;
  }
  std::array<char, kIrcLineLimit> bytes;
  Composer composer(bytes);
  std::size_t targets = 0;
  const auto send = [&] {
    if (targets > 0) {
      out.send(Peer::kServer, composer.view(), "\r\n");
    }
    composer.clear();
    targets = 0;
  };
  for (Room& room : relay.rooms.all()) {
    if (room.step != RoomStep::kWanted) {
      continue;
    }
    const std::string_view name = room.name.view();
    if (targets > 0 && (composer.size() + 1 + name.size() > kIrcLineLimit ||
                        (relay.joinTargets != 0 && targets == relay.joinTargets))) {
      send();
    }
    composer.append(targets == 0 ? std::string_view("JOIN ") : std::string_view(","));
    composer.append(name);
    ++targets;
    room.step = RoomStep::kJoining;
  }
  send();
}

void appendRoomHead(const RelayState& relay, Composer& head, std::string_view room) {
  head.append("$To: ");
  head.appendEscaped(relay.nick.view());
  head.append(" From: ");
  head.appendEscaped(room);
  head.append(" $");
}

void tellInRoom(const RelayState& relay, RelayOutput& out, std::string_view room,
                std::string_view words, std::string_view foreign) {
  LongMessage message(out);
  appendRoomHead(relay, message.head(), room);
  message.head().append('<');
  message.head().appendEscaped(room);
  message.head().append("> ");
  message.endHead();
  message.appendText(words);
  std::array<char, kStreamCapacity> plain;
  message.appendText({plain.data(), stripFormatting(foreign, plain.data(), plain.size())});
  message.send();
}

void showRoomUser(const RelayState& relay, RelayOutput& out, const Room& room, bool withBotList) {
  Batch batch(out, Peer::kClient);
  addWhole(batch, [&](Composer& c) { appendUserInfo(c, room.name.view(), room.topic); });
  if (!withBotList || (relay.clientFeatures & kFeatureBotList) == 0) {
    return;
  }
  addWhole(batch, [&](Composer& c) {
    c.append("$BotList ");
    for (const Room& joined : relay.rooms.all()) {
      if (joined.step == RoomStep::kJoined) {
        c.appendEscaped(joined.name.view());
        c.append("$$");
      }
    }
    c.terminate("|");
  });
}

void dropRoomUser(RelayOutput& out, std::string_view room) {
  Batch batch(out, Peer::kClient);
  addWhole(batch, [&](Composer& c) {
    c.append("$Quit ");
    c.appendEscaped(room);
    c.terminate("|");
  });
}

}  // namespace quayside
