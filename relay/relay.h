#pragma once

#include "core/fixed_text.h"
#include "platform/socket_handle.h"
#include "platform/stream.h"
#include "relay/admission.h"
#include "translate/relay_state.h"

#include <array>
#include <cstdint>
#include <memory>

namespace quayside {

class LingerBoard;
class RefusalHolds;

// One accepted hub-client connection paired with its IRC server connection.
// Created by the accept, then owned and changed only by its relay thread.
// The receive buffers belong to the framing, the conversation state to the
// translations; both are inline so relaying allocates nothing per message.
struct Relay : RelayState {
  Relay* next = nullptr;  // guarded by registryLock

  // The hub client's connection, from the accept; closed once the client
  // is gone or was kicked.
  std::unique_ptr<platform::ByteStream> client;
  SocketHandle serverSocket = kNoSocket;
  std::uint32_t bridgeId = 0;    // the runtime id of the Bridge that accepted it
  std::uint16_t bridgePort = 0;  // and its local port, for the log
  std::uint16_t clientPort = 0;  // the client's own port, which tells its lines apart in the log
  // The nick the client named itself with before the connect, for the log
  // (`nick` is the session's, set once the connect is made).
  FixedText<kNickCapacity> namedAs;
  // The accepting Bridge's holds, shared with it; null: nothing is held.
  std::shared_ptr<RefusalHolds> holds;
  // The accepting Bridge's lingering sessions, shared with it; null: this
  // session neither lingers nor takes a lingering one over.
  std::shared_ptr<LingerBoard> lingers;
  // The connection's place in the accepting Bridge's caps; none: uncapped.
  AdmissionTicket admission;

  // Where the IRC server was reached: its address as written before a port
  // ("192.0.2.1", "[2001:db8::1]") and the port, in host order.
  FixedText<kAddressTextCapacity> serverAddress;
  std::uint16_t serverPort = 0;
  // The SHA-256 of the server's TLS certificate in 64 lower-case hex digits,
  // once a TLS server showed one (also when it was refused).
  FixedText<65> serverFingerprint;

  std::uint32_t clientLength = 0;
  std::uint32_t clientOffset = 0;
  std::array<char, kStreamCapacity + 1> clientBuffer{};
  // While a chat or private message longer than clientBuffer arrives, the
  // client's bytes are held here instead (kLongMessageLimit + 2 bytes: the
  // message, its '|' and a NUL); let go as soon as they fit clientBuffer.
  std::unique_ptr<char[]> clientLongBuffer;

  bool clientOpen() const { return client && client->handle() != kNoSocket; }

  std::uint32_t serverLength = 0;
  std::uint32_t serverOffset = 0;
  std::array<char, kStreamCapacity + 1> serverBuffer{};
};

}  // namespace quayside
