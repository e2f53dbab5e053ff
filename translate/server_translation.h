#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"
#include "translate/time_sources.h"

#include <cstddef>

namespace quayside {

// Translates one IRC line (`message.bytes`, without its CR LF). A numeric or
// message run takes the complete lines that continue it in
// `message.following` along; returns how many it took. Times in the server's
// replies are shown as `localTime` tells them; chat older than a minute by
// `now` is shown with its time. While the session lingers (linger.h) the
// client's chat is kept instead, with its time.
std::size_t translateServerLine(RelayState& relay, const Message& message, RelayOutput& out,
                                const LocalTimeSource& localTime, const UnixClock& now);

}  // namespace quayside
