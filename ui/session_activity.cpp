#include "ui/session_activity.h"

#include "bridge/daemon.h"
#include "core/calendar_time.h"
#include "translate/linger.h"

#include <algorithm>
#include <utility>

namespace quayside {
namespace {

std::string twoDigits(int value) {
  const char digits[] = {static_cast<char>('0' + value / 10 % 10),
                         static_cast<char>('0' + value % 10)};
  return {digits, 2};
}

// The log's "2026-12-08 18:02:11", as the daemon's lines begin.
std::string logTimeText(const LocalTime& time) {
  return dateTimeText({time.year, static_cast<std::uint8_t>(time.month),
                       static_cast<std::uint8_t>(time.day), static_cast<std::uint8_t>(time.hour),
                       static_cast<std::uint8_t>(time.minute),
                       static_cast<std::uint8_t>(time.second)});
}

std::string clockText(const LocalTime& time, bool seconds) {
  std::string text = twoDigits(time.hour) + ":" + twoDigits(time.minute);
  return seconds ? text + ":" + twoDigits(time.second) : text;
}

// The reason's first clause: "cannot connect to the server: Connection
// refused" says enough as "cannot connect to the server".
std::string_view firstClause(std::string_view reason) {
  return reason.substr(0, std::min(reason.find(": "), reason.find(" (")));
}

bool actionable(EndKind kind) {
  return kind == EndKind::kCertificateRefused || kind == EndKind::kPasswordRefused ||
         kind == EndKind::kNickRefused;
}

std::string failureWords(const RelayReport& report, bool wasSession) {
  switch (report.kind) {
    case EndKind::kCertificateRefused:
      return "refused: certificate not trusted";
    case EndKind::kPasswordRefused:
      return "refused: password";
    case EndKind::kNickRefused:
      return "refused: nick";
    case EndKind::kFailure:
    case EndKind::kByClient:
    case EndKind::kHeld:
      break;
  }
  return (wasSession ? "ended: " : "failed: ") + std::string(firstClause(report.reason));
}

std::string noticeText(EndKind kind) {
  switch (kind) {
    case EndKind::kCertificateRefused:
      return "The server's certificate is not trusted. Its line in the log offers to trust it.";
    case EndKind::kPasswordRefused:
      return "The IRC server refused the password.";
    default:
      return "The IRC server refused every nick tried.";
  }
}

}  // namespace

RelayReport reportOf(RelayReport::Type type, const Relay& relay, std::string_view reason,
                     EndKind kind) {
  RelayReport report;
  report.type = type;
  report.relay = reinterpret_cast<std::uintptr_t>(&relay);
  report.bridgeId = relay.bridgeId;
  report.nick = std::string(ircNick(relay));
  report.rooms = relay.rooms.joinedCount();
  report.away = detached(relay);
  switch (type) {
    case RelayReport::Type::kConnected:
      report.line = relayConnectedText(relay);
      break;
    case RelayReport::Type::kWelcomed:
      report.line = relayWelcomedText(relay);
      break;
    case RelayReport::Type::kNote:
      report.line = relayNoteText(relay, reason);
      break;
    case RelayReport::Type::kEnded:
      report.line = relayEndedText(relay, reason);
      report.kind = kind;
      report.reason = std::string(reason);
      if (kind == EndKind::kCertificateRefused) {
        report.fingerprint = std::string(relay.serverFingerprint.view());
      }
      break;
  }
  return report;
}

SessionActivity::SessionActivity(LocalClock clock) : clock_(std::move(clock)) {}

const std::string& SessionActivity::log(std::string_view text, const Bridge* bridge,
                                        std::string fingerprint) {
  if (lines_.size() >= kLogLimit) {
    lines_.pop_front();
  }
  lines_.push_back({logTimeText(clock_()) + " " + logSafe(text), bridge, std::move(fingerprint)});
  return lines_.back().text;
}

SessionActivity::Taken SessionActivity::take(const RelayReport& report, const BridgeList& bridges) {
  Taken taken;
  const auto session = sessions_.find(report.relay);
  if (session != sessions_.end()) {
    taken.bridge = session->second.bridge;
  } else {
    // The accepting Bridge, which an Update keeps; none once deleted.
    const auto accepting = std::find_if(bridges.begin(), bridges.end(), [&](const Bridge& bridge) {
      return bridge.id == report.bridgeId;
    });
    taken.bridge = accepting == bridges.end() ? nullptr : &*accepting;
  }

  // Every report says how many rooms its session is in; notes come as rooms
  // are joined and left.
  // Notes also come as a session's client leaves and returns.
  if (session != sessions_.end()) {
    session->second.rooms = report.rooms;
    if (!report.away) {
      session->second.awaySince.clear();
    } else if (session->second.awaySince.empty()) {
      session->second.awaySince = clockText(clock_(), false);
    }
  }
  switch (report.type) {
    case RelayReport::Type::kConnected:
      sessions_[report.relay] = Session{taken.bridge, {}, report.rooms, {}};
      if (taken.bridge != nullptr) {
        bridges_[taken.bridge].failure.clear();
      }
      break;
    case RelayReport::Type::kWelcomed:
      if (session != sessions_.end()) {
        session->second.nick = report.nick;
      }
      break;
    case RelayReport::Type::kNote:
      break;
    case RelayReport::Type::kEnded: {
      const bool wasSession = session != sessions_.end();
      if (wasSession) {
        sessions_.erase(session);
      }
      // A held retry is shown by the hold itself.
      if (taken.bridge == nullptr || report.kind == EndKind::kByClient ||
          report.kind == EndKind::kHeld) {
        break;
      }
      const LocalTime now = clock_();
      PerBridge& state = bridges_[taken.bridge];
      state.failure = failureWords(report, wasSession) + ", " + clockText(now, false);
      if (actionable(report.kind) &&
          (!state.noticedAt || now.seconds - *state.noticedAt >= kNoticeSpacingSeconds)) {
        state.noticedAt = now.seconds;
        taken.notice = Notice{"Quayside: port " + std::to_string(taken.bridge->localPort),
                              noticeText(report.kind)};
      }
      break;
    }
  }
  log(report.line, taken.bridge, report.fingerprint);
  return taken;
}

void SessionActivity::clearFailure(const Bridge& bridge) {
  const auto found = bridges_.find(&bridge);
  if (found != bridges_.end()) {
    found->second.failure.clear();
  }
}

void SessionActivity::forget(const Bridge& bridge) {
  bridges_.erase(&bridge);
  for (auto& [relay, session] : sessions_) {
    if (session.bridge == &bridge) {
      session.bridge = nullptr;
    }
  }
  for (LogLine& line : lines_) {
    if (line.bridge == &bridge) {
      line.bridge = nullptr;
    }
  }
}

std::string SessionActivity::stateText(const Bridge& bridge) const {
  std::size_t count = 0;
  const Session* only = nullptr;
  for (const auto& [relay, session] : sessions_) {
    if (session.bridge == &bridge) {
      ++count;
      only = &session;
    }
  }
  if (count == 1) {
    std::string text = only->nick.empty() ? "1 session" : "1 session (" + only->nick + ")";
    if (!only->awaySince.empty()) {
      text += ", away since " + only->awaySince;
    }
    if (only->rooms != 0) {
      text += only->rooms == 1 ? ", 1 room" : ", " + std::to_string(only->rooms) + " rooms";
    }
    return text;
  }
  if (count > 1) {
    return std::to_string(count) + " sessions";
  }
  if (bridge.listenSocket == kNoSocket) {
    return "not listening";
  }
  if (bridge.holds) {
    if (const std::optional<Hold> hold = bridge.holds->newest(std::chrono::steady_clock::now())) {
      return heldText(*hold);
    }
  }
  const auto found = bridges_.find(&bridge);
  if (found != bridges_.end() && !found->second.failure.empty()) {
    return found->second.failure;
  }
  return "listening";
}

}  // namespace quayside
