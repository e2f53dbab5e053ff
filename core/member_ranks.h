#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

// The operator-ranked channel statuses (owner, admin, operator: one bit each)
// that members are known to hold, so that losing one rank while holding
// another keeps the member an operator, and which members are away, so that
// their user information keeps saying so when it is sent again. Only members
// holding a rank or away are kept; nicks compare as the server's lines are
// matched (bytes with 0x20 set).
class MemberRanks {
 public:
  // A hostile server can name any number of operators; past this many the
  // rest are not tracked, and lose their mark on any rank taken away.
  static constexpr std::size_t kTrackedLimit = 4096;

  // The member holds exactly `ranks` (a names-list entry).
  void set(std::string_view nick, std::uint16_t ranks);
  // The member gained `rank`.
  void grant(std::string_view nick, std::uint16_t rank);
  // The member lost `rank`; true when they still hold another.
  bool revoke(std::string_view nick, std::uint16_t rank);
  void rename(std::string_view from, std::string_view to);
  // The member left: nothing of them is kept.
  void forget(std::string_view nick);
  // Whether the member holds any operator rank.
  bool holdsAny(std::string_view nick) const;

  void setAway(std::string_view nick, bool away);
  bool isAway(std::string_view nick) const;

  std::size_t size() const { return members_.size(); }

 private:
  struct Member {
    std::string nick;
    std::uint16_t ranks = 0;
    bool away = false;
  };
  // Keeps the member's marks; one with none is dropped.
  void keep(std::string_view nick, std::uint16_t ranks, bool away);
  std::vector<Member>::const_iterator find(std::string_view nick) const;
  Member* find(std::string_view nick);

  std::vector<Member> members_;
};

}  // namespace quayside
