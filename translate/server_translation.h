#pragma once

#include "relay/relay.h"
#include "translate/output.h"

#include <cstddef>

namespace quayside {

// Translates one IRC line (`message.bytes`, without its CR LF). A numeric or
// message run takes the complete lines that continue it in
// `message.following` along; returns how many it took.
std::size_t translateServerLine(RelayState& relay, const Message& message, RelayOutput& out);

}  // namespace quayside
