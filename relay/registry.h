#pragma once

#include "relay/relay.h"

#include <cstddef>
#include <vector>

namespace quayside {

// The registry of Relays whose threads are running, oldest first. Only the
// relay threads change it; one mutex guards the head and every `next` link.

// Appends `relay` at the tail.
void registerRelay(Relay& relay);

// Unlinks `relay`; a Relay that is not registered leaves the registry as it is.
void unregisterRelay(Relay& relay);

// A copy of the registry's order, for tests and diagnostics.
std::vector<const Relay*> registeredRelays();

std::size_t registeredRelayCount();

}  // namespace quayside
