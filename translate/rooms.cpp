#include "translate/rooms.h"

#include "translate/server_reading.h"

#include <algorithm>

namespace quayside {

std::uint64_t NickSet::hashOf(std::string_view nick) {
  // FNV-1a over the folded bytes.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char byte : nick) {
    hash ^= static_cast<unsigned char>(byte | 0x20);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void NickSet::add(std::string_view nick) {
  const std::uint64_t hash = hashOf(nick);
  const auto at = std::lower_bound(hashes_.begin(), hashes_.end(), hash);
  if (at != hashes_.end() && *at == hash) {
    return;
  }
  if (hashes_.size() == kRoomMemberLimit) {
    overflowed_ = true;
    return;
  }
  hashes_.insert(at, hash);
}

void NickSet::remove(std::string_view nick) {
  const std::uint64_t hash = hashOf(nick);
  const auto at = std::lower_bound(hashes_.begin(), hashes_.end(), hash);
  if (at != hashes_.end() && *at == hash) {
    hashes_.erase(at);
  }
}

bool NickSet::contains(std::string_view nick) const {
  return std::binary_search(hashes_.begin(), hashes_.end(), hashOf(nick));
}

void NickSet::clear() {
  std::vector<std::uint64_t>().swap(hashes_);
  overflowed_ = false;
}

Room* Rooms::find(std::string_view name) {
  const auto at = std::find_if(rooms_.begin(), rooms_.end(), [&](const Room& room) {
    return nickMatches(room.name.view(), name);
  });
  return at == rooms_.end() ? nullptr : &*at;
}

const Room* Rooms::find(std::string_view name) const {
  return const_cast<Rooms*>(this)->find(name);
}

Room* Rooms::add(std::string_view name) {
  if (rooms_.size() == kRoomLimit) {
    return nullptr;
  }
  Room& room = rooms_.emplace_back();
  room.name.assign(name);
  return &room;
}

void Rooms::remove(std::string_view name) {
  std::erase_if(rooms_, [&](const Room& room) { return nickMatches(room.name.view(), name); });
  if (rooms_.empty()) {
    std::vector<Room>().swap(rooms_);
  }
}

std::size_t Rooms::joinedCount() const {
  return static_cast<std::size_t>(std::count_if(rooms_.begin(), rooms_.end(), [](const Room& room) {
    return room.step == RoomStep::kJoined;
  }));
}

bool Rooms::onlyInRooms(std::string_view nick) const {
  if (mainMembers_.overflowed() || mainMembers_.contains(nick)) {
    return false;
  }
  return std::any_of(rooms_.begin(), rooms_.end(),
                     [&](const Room& room) { return room.members.contains(nick); });
}

}  // namespace quayside
