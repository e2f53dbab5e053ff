#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

// An end that retrying at once cannot change. The first four are one DC
// nick's; the last two are the server's, so they hold every nick.
enum class HoldCause : std::uint8_t {
  kKick,         // the DC user was kicked from the channel
  kPassword,     // the IRC server refused the hub password
  kNicks,        // the IRC server refused every nick tried
  kServerError,  // the server ended the session with ERROR
  kCertificate,  // the server's certificate is not trusted
  kUnreachable,  // the server could not be reached, or refused the connection or TLS
};

// A reading of the clock the holds are kept in: the steady time a hold ends
// by, and the local time of day its end is shown in.
struct HoldClock {
  std::chrono::steady_clock::time_point steady;
  std::int32_t secondOfDay = 0;  // local time, 0 to 86,399
};

// One hold: until when retries are answered without a connect, and what
// they are told.
struct Hold {
  HoldCause cause = HoldCause::kUnreachable;
  std::string reason;  // the last reason, as the client was told it (UTF-8)
  std::chrono::steady_clock::time_point until;
  std::string untilText;  // "HH:MM", local time
};

// The holds of one Bridge, per DC nick (the empty nick stands for every
// nick). A refusal holds its nick 30 s, doubling with each refusal in a row
// up to 5 minutes; a kick holds it 60 s; the server's welcome ends the
// nick's hold and the Bridge's and starts the count again. Relay threads
// record and look up concurrently, the window's thread reads: one mutex
// guards the entries. At most kEntryLimit nicks are remembered; past that the
// longest expired (else the soonest to expire) is dropped.
class RefusalHolds {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kEntryLimit = 64;
  static constexpr std::size_t kReasonLimit = 2048;  // bytes of a reason kept
  static constexpr std::chrono::seconds kFirstHold{30};
  static constexpr std::chrono::seconds kLongestHold{300};
  static constexpr std::chrono::seconds kKickHold{60};

  // Records a refusal for `nick` (empty: every nick); returns the hold it starts.
  Hold refuse(std::string_view nick, HoldCause cause, std::string_view reason,
              const HoldClock& now);

  // The server welcomed `nick`: its hold and the Bridge's end, and its next
  // refusal counts as a first.
  void welcomed(std::string_view nick);

  // The hold that answers a client named `nick` at `now`: its own or the
  // whole Bridge's, whichever ends later.
  std::optional<Hold> find(std::string_view nick, Clock::time_point now) const;

  // Whether some nick is held at `now`.
  bool anyActive(Clock::time_point now) const;

  // The hold recorded last among those still running at `now`.
  std::optional<Hold> newest(Clock::time_point now) const;

 private:
  struct Entry {
    std::string nick;
    Hold hold;
    std::uint32_t refusals = 0;  // in a row, kicks not counted
    std::uint64_t order = 0;     // when recorded, as a count
  };

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;  // guarded by mutex_
  std::uint64_t recorded_ = 0;  // guarded by mutex_
};

// The State column's words: "held after a kick until 18:05".
std::string heldText(const Hold& hold);

}  // namespace quayside
