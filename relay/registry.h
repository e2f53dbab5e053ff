#pragma once

#include "relay/relay.h"

#include "platform/socket_handle.h"

#include <chrono>
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

// Ending every Relay when Quayside stops. Each relay thread ends its own
// session (it owns the streams): it sends its server the QUIT and tells its
// client, then unregisters.

// How long a stopping program waits for its Relays to end.
inline constexpr std::chrono::milliseconds kRelayStopBound{3000};

// Asks every Relay to end, Relays registered while it waits included, and
// waits at most `bound` for the registry to empty; true when it did. Once
// empty, Relays started later run as usual.
bool stopRelays(std::chrono::milliseconds bound);

// True while stopRelays is asking Relays to end.
bool relaysStopping();

// A handle for a relay's wait: readable while relaysStopping() (kNoSocket
// when the system could not make one; a stop then waits out its bound).
SocketHandle relayStopHandle();

}  // namespace quayside
