#pragma once

#include "bridge/bridge.h"
#include "relay/relay_thread.h"

#include <cstdint>
#include <string_view>

namespace quayside {

// What the owner of the Bridge list (the window, or the daemon) provides to
// the listeners in place of window messages and message boxes. Everything is
// called on the owner's thread.
class ListenerHost {
 public:
  virtual ~ListenerHost() = default;

  // Deliver acceptClient(acceptMessage) on the owner's thread for every
  // pending connection on `listener`, until unwatchAccepts(listener).
  virtual void watchAccepts(SocketHandle listener, std::uint32_t acceptMessage) = 0;
  virtual void unwatchAccepts(SocketHandle listener) = 0;

  // Tell the user "Error opening port" (and why). Returns once the user has
  // seen it (the window's box is modal).
  virtual void errorOpeningPort(const Bridge& bridge, std::string_view reason) = 0;

  // Clear the checkbox of the current row (the row of the Bridge being opened).
  virtual void uncheckCurrentRow() = 0;

  // What one accept event did, for logging; ignored unless overridden.
  // kAccepted comes before the Relay's thread starts; kAcceptFailed carries
  // the system's reason; kOverCap comes once for a run of clients turned
  // away by the Bridge's caps.
  enum class AcceptNote { kAccepted, kRefused, kRelayNotStarted, kAcceptFailed, kOverCap };
  virtual void noteAccept(const Bridge& /*bridge*/, AcceptNote /*note*/,
                          std::uint32_t /*peerAddress*/, std::uint16_t /*peerPort*/,
                          std::string_view /*reason*/) {}
};

// Opens and closes Bridges' listeners and turns accepted connections into
// Relays. Lives on the owner's thread; the Bridge list needs no lock.
class Listeners {
 public:
  Listeners(BridgeList& bridges, ListenerHost& host, RelayObserver* observer = nullptr,
            const RelayTimeouts& timeouts = {})
      : bridges_(bridges), host_(host), observer_(observer), timeouts_(timeouts) {}

  // Binds 127.0.0.1:localPort (deep backlog) and asks for accept events. On
  // failure the user is told, the Bridge ends with enabled 0 and no
  // listener, and the current row is unchecked. Port 0 fails the same way.
  // An acceptMessage below kFirstAcceptMessage or held by another open
  // listener is replaced by the lowest free number, so events never go astray.
  void openListener(Bridge& bridge);

  // Closes the listener if one is open; running Relays are not affected.
  void closeListener(Bridge& bridge);

  // One accept event: the first Bridge with this acceptMessage and an open
  // listener accepts one connection; peers other than exactly 127.0.0.1 are
  // closed at once; a Relay gets copies of the Bridge's texts and kinds and
  // its own thread.
  void acceptClient(std::uint32_t acceptMessage);

 private:
  BridgeList& bridges_;
  ListenerHost& host_;
  RelayObserver* observer_;
  RelayTimeouts timeouts_;  // every Relay's; only tests shorten them
};

}  // namespace quayside
