#include "core/member_ranks.h"

#include <algorithm>
#include <utility>

namespace quayside {
namespace {

bool sameNick(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

}  // namespace

std::vector<MemberRanks::Member>::const_iterator MemberRanks::find(std::string_view nick) const {
  return std::find_if(members_.begin(), members_.end(),
                      [&](const Member& member) { return sameNick(member.nick, nick); });
}

MemberRanks::Member* MemberRanks::find(std::string_view nick) {
  const auto found = std::as_const(*this).find(nick);
  return found == members_.end() ? nullptr : &*(members_.begin() + (found - members_.cbegin()));
}

bool MemberRanks::holdsAny(std::string_view nick) const {
  const auto member = find(nick);
  return member != members_.end() && member->ranks != 0;
}

bool MemberRanks::isAway(std::string_view nick) const {
  const auto member = find(nick);
  return member != members_.end() && member->away;
}

void MemberRanks::keep(std::string_view nick, std::uint16_t ranks, bool away) {
  Member* member = find(nick);
  if (member == nullptr) {
    if ((ranks != 0 || away) && members_.size() < kTrackedLimit) {
      members_.push_back({std::string(nick), ranks, away});
    }
    return;
  }
  if (ranks != 0 || away) {
    member->ranks = ranks;
    member->away = away;
    return;
  }
  // Order does not matter: the last one fills the hole.
  if (member != &members_.back()) {
    *member = std::move(members_.back());
  }
  members_.pop_back();
}

void MemberRanks::set(std::string_view nick, std::uint16_t ranks) {
  keep(nick, ranks, isAway(nick));
}

void MemberRanks::forget(std::string_view nick) {
  keep(nick, 0, false);
}

void MemberRanks::setAway(std::string_view nick, bool away) {
  const Member* member = find(nick);
  keep(nick, member != nullptr ? member->ranks : 0, away);
}

void MemberRanks::grant(std::string_view nick, std::uint16_t rank) {
  const Member* member = find(nick);
  set(nick, static_cast<std::uint16_t>((member != nullptr ? member->ranks : 0) | rank));
}

bool MemberRanks::revoke(std::string_view nick, std::uint16_t rank) {
  const Member* member = find(nick);
  if (member == nullptr) {
    return false;
  }
  const auto left = static_cast<std::uint16_t>(member->ranks & ~rank);
  set(nick, left);
  return left != 0;
}

void MemberRanks::rename(std::string_view from, std::string_view to) {
  const Member* member = find(from);
  if (member == nullptr) {
    return;
  }
  const std::uint16_t ranks = member->ranks;
  const bool away = member->away;
  forget(from);
  keep(to, ranks, away);
}

}  // namespace quayside
