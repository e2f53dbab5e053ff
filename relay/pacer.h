#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

// Paces the lines a relay sends to its IRC server the way servers count
// them: every line costs a 2-second penalty and lines may go while the
// penalties stay within a 10-second allowance. So at most 5 lines go at
// once, then one every 2 seconds. Lines to one target (the channel, a nick;
// every other command counts as one more target) keep their order, and the
// targets take turns, the one served longest ago first: a private message
// typed during a long paste goes at the next turn, not after the paste.
// Lines are dropped only when asked (dropWaiting); a PONG jumps the queue, since a server drops a
// client whose answer to its PING comes late, and costs no allowance (servers do not count it
// against the client's chat). Registration (PASS, CAP, AUTHENTICATE, NICK, USER and JOIN before any
// other line) goes at once too, and is counted. The clock comes in as a parameter, and the bytes go
// out through `send`, so the schedule is plain arithmetic to test.
class Pacer {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Send = std::function<void(std::string_view)>;

  static constexpr std::chrono::seconds kPenalty{2};
  static constexpr std::chrono::seconds kAllowance{10};
  // Past this many waiting bytes the relay stops reading its client until
  // the queue drains (about a 64 KiB paste's worth of lines).
  static constexpr std::size_t kQueueLimit = std::size_t{64} * 1024;

  explicit Pacer(Send send) : send_(std::move(send)) {}

  // What one add left waiting for its busiest target, for telling the user.
  struct Queued {
    std::string target;             // the channel or nick (empty: other commands)
    std::size_t lines = 0;          // the target's lines in the add, those sent at once included
    std::size_t waiting = 0;        // of those, the ones left waiting
    std::chrono::seconds until{0};  // until the last line waiting now can go
  };

  // Takes whole lines ending in CR LF (a final piece without one counts as a
  // line): a PONG goes at once, the others after those already waiting.
  // Whatever the allowance lets through goes at once, in one send.
  Queued add(std::string_view lines, TimePoint now);

  // Drops every waiting line; returns how many there were.
  std::size_t dropWaiting();

  // Sends the waiting lines that are due at `now`, in one send.
  void sendDue(TimePoint now);

  // When the next waiting line is due; none when nothing waits, so an idle
  // relay has no pacing deadline.
  std::optional<TimePoint> nextSendAt() const;

  // Whether so much waits that the client should not be read for now.
  bool full() const { return waitingBytes_ >= kQueueLimit; }

  // Bytes held for later; their storage is let go whenever the queue empties.
  std::size_t queuedBytes() const { return waitingBytes_; }
  // The lines among them (a final piece without CR LF counts as one).
  std::size_t queuedLines() const { return waiting_.size(); }

 private:
  struct Waiting {
    std::string line;  // with its CR LF
    std::string target;
  };
  struct Turn {
    std::string target;
    std::uint64_t servedAt = 0;  // which send served it last; 0: not since it waits
  };

  bool mayGo(TimePoint now) const;
  void charge(TimePoint now);
  // The waiting line that goes next: the first of the target served longest ago.
  std::size_t nextLine() const;
  std::uint64_t servedAt(std::string_view target) const;
  // Records that a line of `target` went.
  void served(std::string_view target);

  Send send_;
  // Where the penalties have brought the server's count; a line may go
  // while adding its penalty keeps this within the allowance of now.
  TimePoint penaltyUntil_{};
  // Until the first other line: registration lines go at once.
  bool registering_ = true;
  std::vector<Waiting> waiting_;  // in the order they came
  std::size_t waitingBytes_ = 0;
  // The targets with lines waiting, and when each was served last.
  std::vector<Turn> turns_;
  std::uint64_t sends_ = 0;
};

// Bounds the answers IRC users can make a relay send (CTCP replies): at most
// kBurst in any kWindow, the rest refused. A flood of requests then costs a
// few lines, never a queue.
class AnswerLimiter {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  static constexpr std::size_t kBurst = 4;
  static constexpr std::chrono::seconds kWindow{2};

  enum class Verdict {
    kSend,          // counted; send the answer
    kFirstRefused,  // refused, the first since the last answer sent (worth one log line)
    kRefused,       // refused again
  };

  Verdict take(TimePoint now);

  // A refusal made elsewhere (the pacer already holds lines): the next take
  // that refuses is not the first.
  Verdict refuse() {
    const bool first = !refusing_;
    refusing_ = true;
    return first ? Verdict::kFirstRefused : Verdict::kRefused;
  }

 private:
  std::array<TimePoint, kBurst> sent_{};  // the last kBurst answers' times, a ring
  std::size_t next_ = 0;                  // the oldest of them
  std::size_t count_ = 0;
  bool refusing_ = false;
};

}  // namespace quayside
