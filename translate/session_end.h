#pragma once

#include <cstdint>
#include <string>

namespace quayside {

// Why the translations ended a session.
enum class EndCause : std::uint8_t {
  kOther,
  kPasswordRefused,
  kNickRefused,
  kKicked,       // the detail says who kicked the user, from where and why
  kServerError,  // the server's ERROR line
};

// Who ended a session.
enum class EndSide : std::uint8_t {
  kClient,    // the DC client left, or stopped reading
  kServer,    // the IRC server: its ERROR, a refusal, a kick, a dead link
  kQuayside,  // Quayside itself: stopping, a cap, a timeout of its own
};

// What kind of end a session had, for a user who may act on it.
enum class EndKind : std::uint8_t {
  kFailure,             // anything else the user did not cause; the reason says what
  kByClient,            // the DC client left, or was kicked, or Quayside stopped
  kCertificateRefused,  // the server's TLS certificate is not trusted
  kPasswordRefused,     // the IRC server refused the hub password
  kNickRefused,         // the IRC server refused every nick tried
  kHeld,                // a retry inside a hold, answered without a connect
};

// A session's end as a translation decides it: the relay ends the session
// with it after the receive that brought it.
struct SessionEnd {
  EndCause cause = EndCause::kOther;
  EndSide by = EndSide::kServer;
  std::string reason;  // in plain words, for the log and the user
  std::string detail;  // what the user is told of a kick, kept for its hold
};

}  // namespace quayside
