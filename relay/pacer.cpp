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
  for (const std::string_view command : {"PASS ", "AUTHENTICATE ", "NICK ", "USER ", "JOIN "}) {
    if (line.starts_with(command)) {
      return true;
    }
  }
  return false;
}

// Whose turn a line waits for: the target of PRIVMSG and NOTICE, else the
// empty target every other command shares.
std::string_view targetOf(std::string_view line) {
  for (const std::string_view command : {"PRIVMSG ", "NOTICE "}) {
    if (line.starts_with(command)) {
      const std::string_view rest = line.substr(command.size());
      return rest.substr(0, rest.find_first_of(" \r\n"));
    }
  }
  return {};
}

}  // namespace

bool Pacer::mayGo(TimePoint now) const {
  return std::max(penaltyUntil_, now) + kPenalty <= now + kAllowance;
}

void Pacer::charge(TimePoint now) {
  penaltyUntil_ = std::max(penaltyUntil_, now) + kPenalty;
}

Pacer::Queued Pacer::add(std::string_view lines, TimePoint now) {
  sendDue(now);
  Queued busiest;
  std::vector<std::pair<std::string_view, Queued>> targets;
  const auto count = [&](std::string_view target, bool waits) {
    auto found = std::find_if(targets.begin(), targets.end(),
                              [&](const auto& entry) { return entry.first == target; });
    if (found == targets.end()) {
      found = targets.insert(targets.end(), {target, Queued{}});
    }
    ++found->second.lines;
    found->second.waiting += waits ? 1 : 0;
  };
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
    } else if (registering_ && line.starts_with("CAP ")) {
      // The capability negotiation is no chat, and counting its three lines
      // would hold the first chat lines back six seconds: at once, uncounted.
      runEnd = at + line.size();
    } else if (registering_ && isRegistration(line)) {
      // At once, but counted: the chat that follows still keeps the server's count.
      charge(now);
      runEnd = at + line.size();
    } else if (waiting_.empty() && mayGo(now)) {
      registering_ = false;
      charge(now);
      runEnd = at + line.size();
      count(targetOf(line), false);
      served(targetOf(line));
    } else {
      registering_ = false;
      const std::string_view target = targetOf(line);
      if (std::none_of(turns_.begin(), turns_.end(),
                       [&](const Turn& turn) { return turn.target == target; })) {
        turns_.push_back({std::string(target), 0});
      }
      waiting_.push_back({std::string(line), std::string(target)});
      waitingBytes_ += line.size();
      count(target, true);
    }
    at += line.size();
  }
  sendRun();
  for (const auto& [target, queued] : targets) {
    if (queued.waiting > busiest.waiting) {
      busiest = queued;
      busiest.target = target;
    }
  }
  if (busiest.waiting > 0) {
    // The last waiting line goes once all the penalties before it are paid.
    const TimePoint last =
        std::max(penaltyUntil_, now) + kPenalty * static_cast<long>(waiting_.size()) - kAllowance;
    busiest.until = std::chrono::ceil<std::chrono::seconds>(std::max(last - now, {}));
  }
  return busiest;
}

std::uint64_t Pacer::servedAt(std::string_view target) const {
  for (const Turn& turn : turns_) {
    if (turn.target == target) {
      return turn.servedAt;
    }
  }
  return 0;
}

void Pacer::served(std::string_view target) {
  const auto turn = std::find_if(turns_.begin(), turns_.end(),
                                 [&](const Turn& entry) { return entry.target == target; });
  const bool waits = std::any_of(waiting_.begin(), waiting_.end(),
                                 [&](const Waiting& line) { return line.target == target; });
  if (!waits && !waiting_.empty()) {
    // A target that comes back later has its turn at once.
    if (turn != turns_.end()) {
      turns_.erase(turn);
    }
    return;
  }
  // While nothing waits, the lines sent at once are remembered too, so the
  // rest of a paste waits behind what is typed after it.
  if (turn == turns_.end()) {
    turns_.push_back({std::string(target), ++sends_});
  } else {
    turn->servedAt = ++sends_;
  }
}

std::size_t Pacer::nextLine() const {
  std::size_t chosen = 0;
  std::uint64_t oldest = servedAt(waiting_.front().target);
  for (std::size_t i = 1; i < waiting_.size() && oldest > 0; ++i) {
    const std::uint64_t at = servedAt(waiting_[i].target);
    if (at < oldest) {
      oldest = at;
      chosen = i;
    }
  }
  return chosen;
}

void Pacer::sendDue(TimePoint now) {
  std::string due;
  while (!waiting_.empty() && mayGo(now)) {
    const std::size_t next = nextLine();
    Waiting line = std::move(waiting_[next]);
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(next));
    waitingBytes_ -= line.line.size();
    due += line.line;
    served(line.target);
    charge(now);
  }
  if (due.empty()) {
    return;
  }
  send_(due);
  if (waiting_.empty()) {
    // An idle relay holds no queue memory.
    std::vector<Waiting>().swap(waiting_);
    std::vector<Turn>().swap(turns_);
  }
}

std::size_t Pacer::dropWaiting() {
  const std::size_t dropped = waiting_.size();
  std::vector<Waiting>().swap(waiting_);
  std::vector<Turn>().swap(turns_);
  waitingBytes_ = 0;
  return dropped;
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

std::optional<Pacer::TimePoint> Pacer::nextSendAt() const {
  if (queuedBytes() == 0) {
    return std::nullopt;
  }
  return penaltyUntil_ + kPenalty - kAllowance;
}

}  // namespace quayside
