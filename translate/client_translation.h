#pragma once

#include "core/random.h"
#include "translate/output.h"
#include "translate/relay_state.h"
#include "translate/time_sources.h"

#include <cstddef>

namespace quayside {

// Translates one NMDC command (`message.bytes`, without its '|'). Replies go
// to the hub client, IRC lines to the server, both through `out`; `random`
// makes up the USER host of a client that gives no e-mail address, and
// the lines a lingering session kept are shown to a returning client with
// their times as `localTime` tells them at `now`. Returns how many of the
// following commands it took along: always none, as every command stands
// alone.
std::size_t translateClientCommand(RelayState& relay, const Message& message, RelayOutput& out,
                                   const RandomSource& random,
                                   const LocalTimeSource& localTime = {},
                                   const UnixClock& now = {});

}  // namespace quayside
