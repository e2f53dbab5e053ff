#pragma once

#include "relay/framing.h"
#include "relay/relay.h"
#include "translate/session_end.h"
#include "translate/session_lines.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quayside {

// Told about a Relay's life, for logging. Called on the relay's own thread;
// implementations must be thread-safe and outlive every relay they watch.
class RelayObserver {
 public:
  virtual ~RelayObserver() = default;
  // The server connection is up and the lock went to the client.
  virtual void relayConnected(const Relay& relay) = 0;
  // The relay is ending; both sockets are closed. `reason` says why.
  virtual void relayEnded(const Relay& relay, std::string_view reason) = 0;
  // The server welcomed the session (its 001); relay.nick is the nick it
  // knows. Optional.
  virtual void relayWelcomed(const Relay& /*relay*/) {}
  // Something of the session worth a log line (answers refused in a flood).
  // Optional.
  virtual void relayNote(const Relay& /*relay*/, std::string_view /*text*/) {}
  // The call the relay makes at its end, the last it makes to the observer:
  // relayEnded with the kind of end.
  virtual void relayEndedAs(const Relay& relay, std::string_view reason, EndKind /*kind*/) {
    relayEnded(relay, reason);
  }
};

// How long a relay waits on a silent server; tests shorten them. The relay
// sleeps until the nearest of these deadlines, so an idle healthy Relay
// wakes at most once per `idle`.
struct RelayTimeouts {
  std::chrono::milliseconds registration{60'000};  // from the connect to the welcome (001)
  std::chrono::milliseconds idle{120'000};         // server silence before the relay sends PING
  std::chrono::milliseconds reply{60'000};         // further silence after it that ends the Relay
  // How long a send may wait for a peer that takes no bytes; then the peer
  // has stopped reading and the Relay ends rather than stall the other side.
  std::chrono::milliseconds send{60'000};
  // From the lock to the client's nick; a client that has not named itself
  // by then is closed, and no IRC connection was opened for it.
  std::chrono::milliseconds validation{30'000};
  // How long a session outlives its DC client where the Bridge's linger
  // option is on; none: the option's minutes.
  std::optional<std::chrono::milliseconds> linger{};
};

// Runs the Relay on the calling thread until either side ends: registers it,
// sends the lock, reads the client up to its nick, connects to its server,
// relays, tears down and unregisters. Unless the client ended it, the client
// is told why in status lines before the close. A client that does not name
// itself within timeouts.validation, a nick relay.holds holds, or a session
// past the Bridge's caps (relay.admission) gets no IRC connection; with
// pacing on, the Bridge's connects start one per Admission::kConnectSpacing.
// An end that retrying cannot change is recorded in relay.holds. With the
// linger option (and relay.lingers) a welcomed session whose client leaves
// goes on without it, marked away, until the linger time ends or a client of
// the same Bridge naming itself the same (with the same password where a
// login mode is set) is handed over; such a client's own Relay then ends
// without an IRC connection. The caller keeps ownership of `relay`.
void runRelay(Relay& relay, Translator& translator = standardTranslator(),
              RelayObserver* observer = nullptr, const RelayTimeouts& timeouts = {});

// Starts runRelay on a thread of its own, which owns the Relay and frees it
// (and itself) when the Relay ends. When the thread cannot start, the
// client's connection is closed and false is returned.
bool startRelay(std::unique_ptr<Relay> relay, RelayObserver* observer = nullptr,
                const RelayTimeouts& timeouts = {});

}  // namespace quayside
