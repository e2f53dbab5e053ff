#pragma once

#include "bridge/bridge.h"
#include "relay/relay_thread.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quayside {

// The window's clock: a steady count of seconds for spacing notices, and the
// local date and time for the texts.
struct LocalTime {
  std::int64_t seconds = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int year = 0;
  int month = 0;
  int day = 0;
};
using LocalClock = std::function<LocalTime()>;

// One relay event, copied on the relay's own thread: the Relay itself is
// never read anywhere else.
struct RelayReport {
  enum class Type : std::uint8_t { kConnected, kWelcomed, kNote, kEnded };
  Type type = Type::kConnected;
  std::uintptr_t relay = 0;          // the Relay's identity while it lives
  std::uint32_t bridgeId = 0;        // the runtime id of the Bridge that accepted it
  std::string nick;                  // the IRC nick, once welcomed
  std::size_t rooms = 0;             // rooms joined when it was made
  EndKind kind = EndKind::kFailure;  // kEnded only
  std::string reason;                // kEnded only
  std::string fingerprint;           // kEnded: of the certificate refused
  std::string line;                  // the event's text, as the daemon logs it
};

RelayReport reportOf(RelayReport::Type type, const Relay& relay, std::string_view reason = {},
                     EndKind kind = EndKind::kFailure);

// One line of the event log; `fingerprint` is set on a refused certificate.
struct LogLine {
  std::string text;
  const Bridge* bridge = nullptr;  // null when it concerns no Bridge still shown
  std::string fingerprint;
};

// A short notice for the notification area.
struct Notice {
  std::string title;
  std::string text;
};

// What the Bridges' sessions are doing and what happened, for the window:
// sessions per Bridge, the last failure, the bounded event log and the
// spacing of notices. Knows nothing of widgets; window thread only.
class SessionActivity {
 public:
  static constexpr std::size_t kLogLimit = 1000;
  static constexpr std::int64_t kNoticeSpacingSeconds = 60;

  explicit SessionActivity(LocalClock clock);

  // Appends "HH:MM:SS text" (made one line), dropping the oldest line past
  // kLogLimit; returns the line's text.
  const std::string& log(std::string_view text, const Bridge* bridge = nullptr,
                         std::string fingerprint = {});

  // Takes a relay's report: counts its session, keeps a failure, logs it.
  // A Bridge is found by the texts and options its Relays are copied from;
  // a session keeps its Bridge until it ends.
  struct Taken {
    const Bridge* bridge = nullptr;
    std::optional<Notice> notice;  // due for a failure the user can act on
  };
  Taken take(const RelayReport& report, const BridgeList& bridges);

  // The Bridge's settings changed: its last failure no longer applies.
  void clearFailure(const Bridge& bridge);
  // The Bridge is deleted: nothing refers to it any more.
  void forget(const Bridge& bridge);

  // The State column: "not listening", "listening", "1 session (nick)"
  // (", 3 rooms" added while it is in rooms), "N sessions", a running hold
  // ("held after a kick until 18:05"), or the last failure and when.
  std::string stateText(const Bridge& bridge) const;
  std::size_t sessionCount() const { return sessions_.size(); }
  const std::deque<LogLine>& lines() const { return lines_; }

 private:
  struct Session {
    const Bridge* bridge = nullptr;
    std::string nick;
    std::size_t rooms = 0;  // joined, as its last report said
  };
  struct PerBridge {
    std::string failure;  // with its time; empty when none stands
    std::optional<std::int64_t> noticedAt;
  };

  LocalClock clock_;
  std::unordered_map<std::uintptr_t, Session> sessions_;
  std::unordered_map<const Bridge*, PerBridge> bridges_;
  std::deque<LogLine> lines_;
};

}  // namespace quayside
