#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace quayside {

// The caps on one Bridge's local connections, shared by its listener and its
// Relays, so that no local program can make Quayside an amplifier: a
// connection counts as unvalidated from its accept until the client names
// itself, then as a session until it ends; IRC connections start at most one
// per kConnectSpacing, in the order the sessions asked. Relay threads and the
// accepting thread call concurrently: one mutex guards the counts.
class Admission {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kUnvalidatedLimit = 64;
  static constexpr std::chrono::seconds kConnectSpacing{2};

  enum class Verdict : std::uint8_t { kAdmitted, kFirstRefused, kRefused };

  // Whether one more connection may wait for its nick: not when 64 wait
  // already, or the sessions are at `maxSessions`. Counts it when admitted.
  // The first refusal after an admission says so, for one log line per run.
  Verdict admitConnection(std::uint16_t maxSessions);

  // The counted connection has named itself: it becomes a session unless
  // `maxSessions` run already (then it stops counting and false is returned).
  bool admitSession(std::uint16_t maxSessions);

  // A counted connection ends, before (`validated` false) or after it
  // became a session.
  void release(bool validated);

  // When the caller's IRC connection may start: `now`, or kConnectSpacing
  // after the start given to the previous caller.
  Clock::time_point connectSlot(Clock::time_point now);

  std::size_t unvalidated() const;
  std::size_t sessions() const;

 private:
  mutable std::mutex lock_;
  std::size_t unvalidated_ = 0;
  std::size_t sessions_ = 0;
  Clock::time_point lastSlot_ = Clock::time_point::min();
  bool refusing_ = false;
};

inline Admission::Verdict Admission::admitConnection(std::uint16_t maxSessions) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (unvalidated_ >= kUnvalidatedLimit || sessions_ >= maxSessions) {
    return std::exchange(refusing_, true) ? Verdict::kRefused : Verdict::kFirstRefused;
  }
  refusing_ = false;
  ++unvalidated_;
  return Verdict::kAdmitted;
}

inline bool Admission::admitSession(std::uint16_t maxSessions) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (unvalidated_ > 0) {
    --unvalidated_;
  }
  if (sessions_ >= maxSessions) {
    return false;
  }
  ++sessions_;
  return true;
}

inline void Admission::release(bool validated) {
  const std::lock_guard<std::mutex> guard(lock_);
  std::size_t& count = validated ? sessions_ : unvalidated_;
  if (count > 0) {
    --count;
  }
}

inline Admission::Clock::time_point Admission::connectSlot(Clock::time_point now) {
  const std::lock_guard<std::mutex> guard(lock_);
  const Clock::time_point slot =
      lastSlot_ == Clock::time_point::min() ? now : std::max(now, lastSlot_ + kConnectSpacing);
  lastSlot_ = slot;
  return slot;
}

inline std::size_t Admission::unvalidated() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return unvalidated_;
}

inline std::size_t Admission::sessions() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return sessions_;
}

// One connection's place in its Bridge's Admission: released when the
// Relay that carries it ends, however it ends.
class AdmissionTicket {
 public:
  AdmissionTicket() = default;
  explicit AdmissionTicket(std::shared_ptr<Admission> admission)
      : admission_(std::move(admission)) {}
  AdmissionTicket(AdmissionTicket&& other) noexcept = default;
  AdmissionTicket& operator=(AdmissionTicket&& other) noexcept {
    if (this != &other) {
      leave();
      admission_ = std::move(other.admission_);
      validated_ = other.validated_;
    }
    return *this;
  }
  AdmissionTicket(const AdmissionTicket&) = delete;
  AdmissionTicket& operator=(const AdmissionTicket&) = delete;
  ~AdmissionTicket() { leave(); }

  Admission* admission() const { return admission_.get(); }

  // The connection named itself; false (and no longer counted) when the
  // Bridge has no room for one more session.
  bool validate(std::uint16_t maxSessions) {
    if (!admission_ || validated_) {
      return true;
    }
    if (!admission_->admitSession(maxSessions)) {
      admission_.reset();
      return false;
    }
    validated_ = true;
    return true;
  }

 private:
  void leave() {
    if (admission_) {
      admission_->release(validated_);
      admission_.reset();
    }
  }

  std::shared_ptr<Admission> admission_;
  bool validated_ = false;
};

}  // namespace quayside
