#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"

#include <cstdint>
#include <string_view>

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
  return relay.detachedAt != 0;
}

}  // namespace quayside
