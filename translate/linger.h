#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"
#include "translate/time_sources.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quayside {

// A session that outlives its DC client (the Bridge's linger option): while
// no client is attached the IRC side goes on, marked away, and what the
// user would have been shown in chat is kept (KeptLines, in the state) for
// the client that attaches next.

// The DC client left and the session lingers: the server is told the user
// is away ("AWAY :Away (DC client disconnected)"), the client's side of the
// login is forgotten (the next client logs in again) and from now on the
// server's chat lines are kept instead of shown. `now` is the Unix time.
void detachClient(RelayState& relay, RelayOutput& out, std::int64_t now);

// A client takes the lingering session over. Its own commands (the lock's
// answer, nick, user information) are then translated as usual, which
// greets it as a new client of the hub would be, without a word to IRC but
// the bare "AWAY" that clears the away mark; once the hub's user list is
// rebuilt (the channel's names list, asked for again) it is told "***
// Welcome back: ..." and the kept lines, each with its time.
void attachClient(RelayState& relay);

// Whether no client is attached.
inline bool detached(const RelayState& relay) {
  return relay.detachedAt != 0 && relay.returnStep == ReturnStep::kAway;
}

// Tells the client "*** Welcome back: N lines since HH:MM" and every kept
// line with its time after its head, as `localTime` tells it at `now`;
// then the session is an attached one again: nothing kept, detachedAt 0.
// `out` must convert for the client's character set as translations do.
void replayKept(RelayState& relay, RelayOutput& out, const LocalTimeSource& localTime,
                std::int64_t now);

// For the translations.

// The returning client's "$MyINFO" came: the away mark is cleared, and the
// client gets the hub's name and the rooms, and its user list from the
// channel's names, asked for again ("NAMES #chan"), before the kept lines
// (replayKept at the names list's end). Without a joined channel the kept
// lines follow at once.
void greetReturningClient(RelayState& relay, RelayOutput& out, const LocalTimeSource& localTime,
                          std::int64_t now);

// What a server line's translation writes to while lines are kept: chat and
// private messages for the client ('<'- and "$To: "-led commands) are kept
// with the time `at`, private messages without their "$To: <nick> " (the
// replay addresses them to the client then attached); the client's other
// commands go on to `inner` with `showOthers` (the user list rebuilt for a
// returning client), else nowhere. Lines to the server go on.
class KeepingOutput final : public WrappingOutput {
 public:
  KeepingOutput(RelayOutput& inner, RelayState& relay, std::int64_t at, bool showOthers)
      : WrappingOutput(inner), relay_(relay), at_(at), showOthers_(showOthers) {}

  std::span<char> area(Peer peer) override;
  void commit(Peer peer, std::size_t size) override;

  // Whether a line was kept.
  bool keptAny() const { return keptAny_; }

 private:
  void take(std::string_view command, std::string& shown);

  RelayState& relay_;
  std::int64_t at_;
  bool showOthers_;
  bool keptAny_ = false;
  std::unique_ptr<char[]> area_;  // made at the first need: most lines say nothing to the client
  std::string partial_;           // a command whose '|' comes in a later group
};

}  // namespace quayside
