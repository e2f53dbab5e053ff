#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quayside {

// Paces the lines a relay sends to its IRC server the way servers count
// them: every line costs a 2-second penalty and lines may go while the
// penalties stay within a 10-second allowance. So at most 5 lines go at
// once, then one every 2 seconds. Lines wait in order and are never dropped;
// a PONG jumps the queue, since a server drops a client whose answer to its
// PING comes late, and costs no allowance (servers do not count it against
// the client's chat). Registration (PASS, CAP, AUTHENTICATE, NICK, USER and
// JOIN before any other line) goes at once too, and is counted. The clock comes in as a parameter,
// and the bytes go out through `send`, so the schedule is plain arithmetic to test.
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

  // Takes whole lines ending in CR LF (a final piece without one counts as a
  // line): a PONG goes at once, the others after those already waiting.
  // Whatever the allowance lets through goes at once, in one send.
  void add(std::string_view lines, TimePoint now);

  // Sends the waiting lines that are due at `now`, in one send.
  void sendDue(TimePoint now);

  // When the next waiting line is due; none when nothing waits, so an idle
  // relay has no pacing deadline.
  std::optional<TimePoint> nextSendAt() const;

  // Whether so much waits that the client should not be read for now.
  bool full() const { return queued_.size() - head_ >= kQueueLimit; }

  // Bytes held for later; their storage is let go whenever the queue empties.
  std::size_t queuedBytes() const { return queued_.size() - head_; }
  // The lines among them (a final piece without CR LF counts as one).
  std::size_t queuedLines() const;

 private:
  bool mayGo(TimePoint now) const;
  void charge(TimePoint now);

  Send send_;
  // Where the penalties have brought the server's count; a line may go
  // while adding its penalty keeps this within the allowance of now.
  TimePoint penaltyUntil_{};
  // Until the first other line: registration lines go at once.
  bool registering_ = true;
  std::string queued_;    // waiting lines, each with its CR LF
  std::size_t head_ = 0;  // where the first waiting line starts
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
