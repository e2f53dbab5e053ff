#pragma once

#include "core/password_hasher.h"
#include "platform/process.h"
#include "platform/stream.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

// A DC client handed to a lingering session: its connection, what it sent
// after the lock (its nick, its password) and its port, for the log.
struct ReturningClient {
  std::unique_ptr<platform::ByteStream> client;
  std::string early;
  std::uint16_t clientPort = 0;
};

// The sessions of one Bridge that outlive their DC clients (the linger
// option), by DC nick, for the client that comes back; and per nick why one
// ended while no client was attached, for the next client with that nick.
// Only sessions without a client are listed. Relay threads list, look up
// and hand over concurrently: one mutex guards everything.
class LingerBoard {
 public:
  // Nicks whose end is remembered; past that the oldest is forgotten.
  static constexpr std::size_t kEndNoticeLimit = 64;

  // One lingering session's place on the board. It belongs to the session's
  // thread, which lists it and must unlist it before letting it go.
  struct Seat {
    std::string nick;                    // the DC nick, as the client named itself
    PasswordHash password;               // of the login password; iterations 0: none
    platform::Wakeup* wakeup = nullptr;  // raised when a client is handed over

   private:
    friend class LingerBoard;
    std::uint64_t id = 0;                      // 0 while not listed
    std::optional<ReturningClient> returning;  // handed over, not yet taken
  };

  // What a client naming itself with a listed nick would take over.
  struct Candidate {
    std::uint64_t id = 0;
    PasswordHash password;
  };

  void list(Seat& seat);

  // Takes the seat off the board. A client handed over meanwhile is
  // returned: the session takes it rather than end.
  std::optional<ReturningClient> unlist(Seat& seat);

  // The client handed to the seat, once its wakeup was raised.
  std::optional<ReturningClient> takeReturning(Seat& seat);

  // At most kCandidateLimit sessions lingering as `nick`, the latest
  // listed first (a user who opened two sessions with one nick).
  static constexpr std::size_t kCandidateLimit = 4;
  std::vector<Candidate> find(std::string_view nick) const;
  bool empty() const;

  // Hands `client` to the candidate `id` if it still lingers: it leaves the
  // board and its wakeup is raised. False, with `client` as it was, when it
  // ended or was taken over meanwhile.
  bool handOver(std::uint64_t id, ReturningClient& client);

  // A session of `nick` ended while no client was attached: `text` is what
  // the next client with that nick is told (an earlier text is replaced).
  void endedWhileAway(std::string_view nick, std::string text);
  // The text kept for `nick`, which is then forgotten.
  std::optional<std::string> takeEndNotice(std::string_view nick);

 private:
  struct EndNotice {
    std::string nick;
    std::string text;
  };

  mutable std::mutex mutex_;
  std::vector<Seat*> seats_;       // guarded by mutex_, oldest first
  std::uint64_t listed_ = 0;       // guarded by mutex_
  std::deque<EndNotice> notices_;  // guarded by mutex_, oldest first
};

}  // namespace quayside
