#pragma once

#include "core/session_options.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

// A room: another channel of the network, joined on the session's one IRC
// connection and shown to the DC client as a hub user named after it, whose
// chat arrives as private messages from it.

// Rooms at once: those of the option, those joined at run time and those
// the server joined the client to, together.
inline constexpr std::size_t kRoomLimit = kMostRooms;
// A room's members are followed up to this many; past it the count says
// "at least".
inline constexpr std::size_t kRoomMemberLimit = 4096;

enum class RoomStep : std::uint8_t {
  kWanted,   // its JOIN waits for the main channel's
  kJoining,  // its JOIN went; the server's echo or refusal awaited
  kJoined,   // the server's JOIN echo came: it is a user of the hub
};

// Nicks as 64-bit hashes of their letters folded as servers fold them (the
// bits nickMatches compares): 8 bytes a member, enough to count members and
// to follow them through NICK, PART, KICK and QUIT. Kept sorted, at most
// kRoomMemberLimit; `overflowed` once one more was left out.
class NickSet {
 public:
  static std::uint64_t hashOf(std::string_view nick);

  void add(std::string_view nick);
  void remove(std::string_view nick);
  bool contains(std::string_view nick) const;
  std::size_t size() const { return hashes_.size(); }
  bool overflowed() const { return overflowed_; }
  void clear();

 private:
  std::vector<std::uint64_t> hashes_;
  bool overflowed_ = false;
};

struct Room {
  RoomName name;  // as asked for; the server's spelling once joined
  RoomStep step = RoomStep::kWanted;
  std::string topic;  // formatting removed, at most 1,022 bytes
  NickSet members;    // the DC user not among them
};

// The session's rooms, in the order they were asked for, and the main
// channel's members (so that a room member's NICK or QUIT is not told in
// main chat). Empty, and holding no memory, on a Bridge without rooms
// until a member list arrives.
class Rooms {
 public:
  // The room named `name` (letters compared as nicks are), or null.
  Room* find(std::string_view name);
  const Room* find(std::string_view name) const;
  // Adds a room in step kWanted; null when kRoomLimit are there already.
  Room* add(std::string_view name);
  void remove(std::string_view name);

  std::span<Room> all() { return rooms_; }
  std::span<const Room> all() const { return rooms_; }
  std::size_t joinedCount() const;

  NickSet& mainMembers() { return mainMembers_; }
  const NickSet& mainMembers() const { return mainMembers_; }

  // Whether `nick` is known only from rooms: a member of one, and not of
  // the main channel as far as its list tells.
  bool onlyInRooms(std::string_view nick) const;

 private:
  std::vector<Room> rooms_;
  NickSet mainMembers_;
};

}  // namespace quayside
