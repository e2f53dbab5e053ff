#include "bridge/listener.h"

#include "platform/net.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace quayside {
namespace {

// The sockaddr_in layout the stored record keeps: family 2 (little-endian),
// the port in network order, 127.0.0.1, eight zero bytes.
void fillListenAddress(Bridge& bridge) {
  bridge.listenAddress = {};
  bridge.listenAddress[0] = 2;
  bridge.listenAddress[2] = static_cast<std::uint8_t>(bridge.localPort >> 8);
  bridge.listenAddress[3] = static_cast<std::uint8_t>(bridge.localPort & 0xFF);
  bridge.listenAddress[4] = 0x7F;
  bridge.listenAddress[7] = 0x01;
}

// A stored file may carry duplicate or out-of-range event numbers; two open
// listeners sharing one would send the second's events to the first's accept
// and leave its connections pending forever, so the Bridge being opened gets
// a number no other open listener holds.
void ensureOwnAcceptMessage(const BridgeList& bridges, Bridge& bridge) {
  std::vector<std::uint32_t> taken;
  for (const Bridge& other : bridges) {
    if (&other != &bridge && other.listenSocket != kNoSocket) {
      taken.push_back(other.acceptMessage);
    }
  }
  std::sort(taken.begin(), taken.end());
  const auto isTaken = [&taken](std::uint32_t message) {
    return std::binary_search(taken.begin(), taken.end(), message);
  };
  if (bridge.acceptMessage >= kFirstAcceptMessage && !isTaken(bridge.acceptMessage)) {
    return;
  }
  std::uint32_t candidate = kFirstAcceptMessage;
  while (isTaken(candidate)) {
    ++candidate;
  }
  bridge.acceptMessage = candidate;
}

std::unique_ptr<Relay> relayFor(const Bridge& bridge, SocketHandle client,
                                std::uint16_t clientPort) {
  std::unique_ptr<Relay> relay(new (std::nothrow) Relay());
  if (!relay) {
    return relay;
  }
  relay->client = platform::adoptTcpSocket(client);
  relay->clientPort = clientPort;
  relay->upstreamKind = bridge.upstreamKind;
  relay->clientKind = bridge.clientKind;
  relay->channel.assign(fieldText(bridge.channel));
  relay->serverText.assign(fieldText(bridge.server));
  relay->options = bridge.options;
  relay->bridgeId = bridge.id;
  relay->bridgePort = bridge.localPort;
  relay->holds = bridge.holds;
  relay->lingers = bridge.lingers;
  relay->admission = AdmissionTicket(bridge.admission);
  return relay;
}

}  // namespace

void Listeners::openListener(Bridge& bridge) {
  // Reopening must not leak the old socket or keep a stale port.
  closeListener(bridge);
  fillListenAddress(bridge);

  std::string reason;
  SocketHandle listener = kNoSocket;
  if (bridge.localPort == 0) {
    // Port 0 would listen on a port the user is never shown.
    reason = "port 0 cannot be listened on";
  } else if (!bridge.optionsProblem.empty()) {
    // Running with weaker options than were set (no password, no pinned
    // certificate) would be worse than not running.
    reason = "its stored options cannot be read (" + bridge.optionsProblem +
             "); set them again and Update";
  } else {
    // Five pending connections was the classic choice, but Linux answers a
    // burst past a full queue with half-open connections the client believes
    // are up (and a hub client then waits forever for the lock), so the
    // queue is as deep as the system allows.
    listener = platform::listenOn(platform::kLoopback, bridge.localPort,
                                  platform::deepestListenBacklog(), reason);
  }
  // [::1] too: a DC client that resolves "localhost" to ::1 must not reach
  // another local program holding the port there.
  SocketHandle listener6 = kNoSocket;
  if (listener != kNoSocket) {
    listener6 =
        platform::listenOnLoopback6(bridge.localPort, platform::deepestListenBacklog(), reason);
    if (listener6 == kNoSocket && !reason.empty()) {
      reason = "[::1]:" + std::to_string(bridge.localPort) + ": " + reason;
      platform::closeSocket(listener);
    }
  }
  if (listener == kNoSocket) {
    host_.errorOpeningPort(bridge, reason);
    bridge.listenSocket = kNoSocket;
    bridge.enabled = 0;
    host_.uncheckCurrentRow();
    return;
  }
  ensureOwnAcceptMessage(bridges_, bridge);
  if (!bridge.holds) {
    bridge.holds = std::make_shared<RefusalHolds>();
  }
  if (!bridge.admission) {
    bridge.admission = std::make_shared<Admission>();
  }
  if (!bridge.lingers) {
    bridge.lingers = std::make_shared<LingerBoard>();
  }
  bridge.listenSocket = listener;
  bridge.listenSocket6 = listener6;
  host_.watchAccepts(listener, bridge.acceptMessage);
  if (listener6 != kNoSocket) {
    host_.watchAccepts(listener6, bridge.acceptMessage);
  }
}

void Listeners::closeListener(Bridge& bridge) {
  for (SocketHandle* listener : {&bridge.listenSocket, &bridge.listenSocket6}) {
    if (*listener != kNoSocket) {
      host_.unwatchAccepts(*listener);
      platform::closeSocket(*listener);
    }
  }
}

void Listeners::acceptClient(std::uint32_t acceptMessage) {
  Bridge* bridge = nullptr;
  for (Bridge& candidate : bridges_) {
    // A closed Bridge with the same number must not swallow an open one's event.
    if (candidate.acceptMessage == acceptMessage && candidate.listenSocket != kNoSocket) {
      bridge = &candidate;
      break;
    }
  }
  if (bridge == nullptr) {
    return;
  }
  std::uint32_t peer = 0;
  std::uint16_t peerPort = 0;
  std::string error;
  // The event does not say which of the two listeners has the connection;
  // both are non-blocking, so the one without any just says so.
  SocketHandle client = platform::acceptFrom(bridge->listenSocket, peer, &error, &peerPort);
  if (client == kNoSocket && error.empty() && bridge->listenSocket6 != kNoSocket) {
    client = platform::acceptFrom(bridge->listenSocket6, peer, &error, &peerPort);
  }
  if (client == kNoSocket && error.empty()) {
    return;  // nothing pending after all
  }
  if (client == kNoSocket) {
    host_.noteAccept(*bridge, ListenerHost::AcceptNote::kAcceptFailed, 0, 0, error);
    return;
  }
  if (peer != platform::kLoopback) {
    platform::closeSocket(client);
    host_.noteAccept(*bridge, ListenerHost::AcceptNote::kRefused, peer, peerPort, {});
    return;
  }

  if (bridge->admission) {
    const Admission::Verdict verdict =
        bridge->admission->admitConnection(bridge->options.maxSessions);
    if (verdict != Admission::Verdict::kAdmitted) {
      // A fresh connection's send buffer takes these few bytes at once, so
      // the accepting thread never waits on the client.
      platform::sendAll(
          client, std::string(kLockString) + tooManySessionsLine(bridge->options.maxSessions));
      platform::closeSocket(client);
      if (verdict == Admission::Verdict::kFirstRefused) {
        host_.noteAccept(*bridge, ListenerHost::AcceptNote::kOverCap, peer, peerPort, {});
      }
      return;
    }
  }
  std::unique_ptr<Relay> relay = relayFor(*bridge, client, peerPort);
  if (!relay) {
    platform::closeSocket(client);
    host_.noteAccept(*bridge, ListenerHost::AcceptNote::kRelayNotStarted, peer, peerPort, {});
    return;
  }
  host_.noteAccept(*bridge, ListenerHost::AcceptNote::kAccepted, peer, peerPort, {});
  // From here the Relay belongs to its thread, which closes the client's
  // connection itself if it cannot start.
  if (!startRelay(std::move(relay), observer_, timeouts_)) {
    host_.noteAccept(*bridge, ListenerHost::AcceptNote::kRelayNotStarted, peer, peerPort, {});
  }
}

}  // namespace quayside
