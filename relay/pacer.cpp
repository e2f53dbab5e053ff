#include "relay/pacer.h"

#include <algorithm>

namespace quayside {
namespace {

// The next line of `bytes`: up to and including its CR LF, or all of it.
std::string_view firstLine(std::string_view bytes) {
  const std::size_t end = bytes.find("\r\n");
  return end == std::string_view::npos ? bytes : bytes.substr(0, end + 2);
}

// The answer to the server's PING (the server translation answers "PINGX"
// with "PONGX" as well).
bool isPong(std::string_view line) {
  return line.starts_with("PONG");
}

// The lines of registration (the server password, SASL, the nick and user,
// the channel's JOIN): a login waiting behind the allowance would take
// seconds for nothing, and servers expect them in a burst.
bool isRegistration(std::string_view line) {
  for (const std::string_view command :
       {"PASS ", "CAP ", "AUTHENTICATE ", "NICK ", "USER ", "JOIN "}) {
    if (line.starts_with(command)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool Pacer::mayGo(TimePoint now) const {
  return std::max(penaltyUntil_, now) + kPenalty <= now + kAllowance;
}

void Pacer::charge(TimePoint now) {
  penaltyUntil_ = std::max(penaltyUntil_, now) + kPenalty;
}

void Pacer::add(std::string_view lines, TimePoint now) {
  sendDue(now);
  // Lines that may go at once are a run of `lines` itself: sent without a copy.
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  const auto sendRun = [&] {
    if (runEnd > runStart) {
      send_(lines.substr(runStart, runEnd - runStart));
    }
  };
  for (std::size_t at = 0; at < lines.size();) {
    const std::string_view line = firstLine(lines.substr(at));
    if (isPong(line)) {
      // Not charged: a server PINGing often must not starve the user's lines.
      sendRun();
      send_(line);
      runStart = runEnd = at + line.size();
    } else if (registering_ && isRegistration(line)) {
      // At once, but counted: the chat that follows still keeps the server's count.
      charge(now);
      runEnd = at + line.size();
    } else if (queuedBytes() == 0 && mayGo(now)) {
      registering_ = false;
      charge(now);
      runEnd = at + line.size();
    } else {
      registering_ = false;
      queued_.append(line);
    }
    at += line.size();
  }
  sendRun();
}

void Pacer::sendDue(TimePoint now) {
  std::size_t end = head_;
  while (end < queued_.size() && mayGo(now)) {
    end += firstLine(std::string_view(queued_).substr(end)).size();
    charge(now);
  }
  if (end == head_) {
    return;
  }
  send_(std::string_view(queued_).substr(head_, end - head_));
  head_ = end;
  if (head_ == queued_.size()) {
    std::string().swap(queued_);
    head_ = 0;
  } else if (head_ >= queued_.size() / 2) {
    // Keeps the storage within twice what waits.
    queued_.erase(0, head_);
    head_ = 0;
  }
}

AnswerLimiter::Verdict AnswerLimiter::take(TimePoint now) {
  // The oldest of the last kBurst answers decides: within the window, one
  // more would make kBurst + 1.
  TimePoint& oldest = sent_[next_];
  if (count_ == kBurst && now < oldest + kWindow) {
    const bool first = !refusing_;
    refusing_ = true;
    return first ? Verdict::kFirstRefused : Verdict::kRefused;
  }
  oldest = now;
  next_ = (next_ + 1) % kBurst;
  count_ = std::min(count_ + 1, kBurst);
  refusing_ = false;
  return Verdict::kSend;
}

std::size_t Pacer::queuedLines() const {
  std::size_t lines = 0;
  for (std::string_view rest = std::string_view(queued_).substr(head_); !rest.empty(); ++lines) {
    rest.remove_prefix(firstLine(rest).size());
  }
  return lines;
}

std::optional<Pacer::TimePoint> Pacer::nextSendAt() const {
  if (queuedBytes() == 0) {
    return std::nullopt;
  }
  return penaltyUntil_ + kPenalty - kAllowance;
}

}  // namespace quayside
