#include "relay/linger_board.h"

#include <algorithm>
#include <utility>

namespace quayside {

void LingerBoard::list(Seat& seat) {
  const std::lock_guard lock(mutex_);
  if (seat.id != 0) {
    return;
  }
  seat.id = ++listed_;
  seats_.push_back(&seat);
}

std::optional<ReturningClient> LingerBoard::unlist(Seat& seat) {
  const std::lock_guard lock(mutex_);
  std::erase(seats_, &seat);
  seat.id = 0;
  return std::exchange(seat.returning, std::nullopt);
}

std::optional<ReturningClient> LingerBoard::takeReturning(Seat& seat) {
  const std::lock_guard lock(mutex_);
  return std::exchange(seat.returning, std::nullopt);
}

std::vector<LingerBoard::Candidate> LingerBoard::find(std::string_view nick) const {
  const std::lock_guard lock(mutex_);
  std::vector<Candidate> found;
  for (auto seat = seats_.rbegin(); seat != seats_.rend() && found.size() < kCandidateLimit;
       ++seat) {
    if ((*seat)->nick == nick) {
      found.push_back({(*seat)->id, (*seat)->password});
    }
  }
  return found;
}

bool LingerBoard::empty() const {
  const std::lock_guard lock(mutex_);
  return seats_.empty();
}

bool LingerBoard::handOver(std::uint64_t id, ReturningClient& client) {
  const std::lock_guard lock(mutex_);
  const auto found =
      std::find_if(seats_.begin(), seats_.end(), [id](const Seat* seat) { return seat->id == id; });
  if (found == seats_.end()) {
    return false;
  }
  Seat& seat = **found;
  seats_.erase(found);
  seat.id = 0;
  seat.returning = std::move(client);
  // Under the lock: the seat's thread cannot unlist it and let its wakeup go meanwhile.
  if (seat.wakeup != nullptr) {
    seat.wakeup->raise();
  }
  return true;
}

void LingerBoard::endedWhileAway(std::string_view nick, std::string text) {
  const std::lock_guard lock(mutex_);
  std::erase_if(notices_, [nick](const EndNotice& notice) { return notice.nick == nick; });
  if (notices_.size() >= kEndNoticeLimit) {
    notices_.pop_front();
  }
  notices_.push_back({std::string(nick), std::move(text)});
}

std::optional<std::string> LingerBoard::takeEndNotice(std::string_view nick) {
  const std::lock_guard lock(mutex_);
  const auto found = std::find_if(notices_.begin(), notices_.end(),
                                  [nick](const EndNotice& notice) { return notice.nick == nick; });
  if (found == notices_.end()) {
    return std::nullopt;
  }
  std::string text = std::move(found->text);
  notices_.erase(found);
  return text;
}

}  // namespace quayside
