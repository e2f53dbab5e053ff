#include "relay/relay_thread.h"

#include "core/server_address.h"
#include "platform/net.h"
#include "relay/registry.h"

#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <thread>

namespace quayside {
namespace {

// Production output. The translations compose straight into one growing
// buffer per socket; what they commit while the relay handles one receive
// leaves in one send per socket when the receive is done, so a burst of chat
// lines costs two sends per receive instead of two per line.
class SocketOutput final : public RelayOutput {
 public:
  explicit SocketOutput(Relay& relay) : relay_(relay) {}

  std::span<char> area(Peer peer) override { return pending(peer).area(); }

  void commit(Peer peer, std::size_t size) override {
    const SocketHandle socket = socketOf(peer);
    if (socket == kNoSocket) {
      return;  // the client was kicked: nothing more reaches it
    }
    Pending& held = pending(peer);
    held.size += size;
    // Past this much, gathered bytes go out at once, which also bounds memory.
    if (held.size >= kGatherLimit) {
      held.send(socket);
    }
  }

  void closeClient() override {
    // What the client was told before (the kick) still reaches it.
    client_.send(relay_.clientSocket);
    platform::closeSocket(relay_.clientSocket);
  }

  // Sends what was gathered, one send per socket, and lets the buffers go:
  // an idle relay holds no output memory.
  void flush() {
    server_.send(relay_.serverSocket);
    client_.send(relay_.clientSocket);
    server_.release();
    client_.release();
  }

 private:
  static constexpr std::size_t kGatherLimit = std::size_t{64} * 1024;

  struct Pending {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    std::size_t capacity = 0;

    std::span<char> area() {
      if (capacity - size < kOutCapacity) {
        // Room for two more full groups, so a burst grows the buffer rarely.
        const std::size_t grown = size + 2 * kOutCapacity;
        std::unique_ptr<char[]> larger(new char[grown]);
        if (size > 0) {
          std::memcpy(larger.get(), bytes.get(), size);
        }
        bytes = std::move(larger);
        capacity = grown;
      }
      return {bytes.get() + size, kOutCapacity};
    }

    void send(SocketHandle socket) {
      if (size > 0 && socket != kNoSocket) {
        platform::sendAll(socket, {bytes.get(), size});
      }
      size = 0;
    }

    void release() {
      bytes.reset();
      size = 0;
      capacity = 0;
    }
  };

  Pending& pending(Peer peer) { return peer == Peer::kClient ? client_ : server_; }
  SocketHandle socketOf(Peer peer) const {
    return peer == Peer::kClient ? relay_.clientSocket : relay_.serverSocket;
  }

  Relay& relay_;
  Pending client_;
  Pending server_;
};

// Resolves and connects to the server, then greets the client with the lock.
// Returns why the Relay must end, or an empty view when it is connected.
std::string_view connectServer(Relay& relay, std::string& detail) {
  const ServerAddress endpoint = parseServerAddress(relay.serverText.view(), relay.upstreamKind);
  const std::string host(endpoint.host);
  std::optional<std::uint32_t> address = platform::parseIpv4(host);
  if (!address) {
    address = platform::resolveIpv4(host);
  }
  if (!address) {
    return "server name does not resolve";
  }
  relay.serverAddress = *address;
  relay.serverPort = endpoint.port;

  relay.serverSocket = platform::createTcpSocket();
  if (relay.serverSocket == kNoSocket) {
    detail = platform::lastErrorText();
    return "cannot create the server socket";
  }
  if (!platform::connectTo(relay.serverSocket, relay.serverAddress, relay.serverPort)) {
    detail = platform::lastErrorText();
    return "cannot connect to the server";
  }
  // Nothing reaches the client before the server connection is up.
  platform::sendAll(relay.clientSocket, kLockString);
  return {};
}

// One receive on one side and the translation of every complete message.
std::string_view readStep(Relay& relay, Stream stream, Translator& translator, SocketOutput& out) {
  const SocketHandle socket = stream == Stream::kClient ? relay.clientSocket : relay.serverSocket;
  const std::span<char> area = receiveArea(relay, stream);
  const long count = platform::receiveSome(socket, area.data(), area.size());
  if (count == 0) {
    return stream == Stream::kClient ? "client closed the connection"
                                     : "server closed the connection";
  }
  if (count < 0) {
    return stream == Stream::kClient ? "client connection failed" : "server connection failed";
  }
  received(relay, stream, static_cast<std::size_t>(count), translator, out);
  out.flush();
  return {};
}

// Relays until either side ends; returns why.
std::string_view relayTraffic(Relay& relay, Translator& translator) {
  SocketOutput out(relay);
  for (;;) {
    // The server-to-client translation closes the client when it is kicked.
    if (relay.clientSocket == kNoSocket) {
      return "client was kicked from the channel";
    }
    // One wait for both sides and no timeout: nothing is delayed by polling
    // and an idle Relay never wakes up.
    platform::Readiness ready;
    if (!platform::waitReadable(relay.clientSocket, relay.serverSocket, ready)) {
      return "waiting for data failed";
    }
    if (ready.first) {
      if (const std::string_view end = readStep(relay, Stream::kClient, translator, out);
          !end.empty()) {
        return end;
      }
    }
    if (ready.second && relay.clientSocket != kNoSocket) {
      if (const std::string_view end = readStep(relay, Stream::kServer, translator, out);
          !end.empty()) {
        return end;
      }
    }
  }
}

}  // namespace

void runRelay(Relay& relay, Translator& translator, RelayObserver* observer) {
  relay.loginFlags = 0;
  relay.clientFeatures = 0;
  relay.nick.clear();
  relay.topic.clear();
  relay.serverAddress = 0;
  relay.serverPort = 0;
  registerRelay(relay);
  platform::setBlocking(relay.clientSocket, true);

  std::string detail;
  std::string_view reason = connectServer(relay, detail);
  if (reason.empty()) {
    if (observer != nullptr) {
      observer->relayConnected(relay);
    }
    reason = relayTraffic(relay, translator);
  }

  // Each socket is closed exactly once: closeSocket marks it closed.
  platform::closeSocket(relay.clientSocket);
  platform::closeSocket(relay.serverSocket);
  unregisterRelay(relay);
  if (observer != nullptr) {
    if (detail.empty()) {
      observer->relayEnded(relay, reason);
    } else {
      observer->relayEnded(relay, std::string(reason) + ": " + detail);
    }
  }
}

bool startRelay(std::unique_ptr<Relay> relay, RelayObserver* observer) {
  Relay* const raw = relay.get();
  try {
    // The thread takes ownership and frees the Relay when it ends; the
    // accepting side never touches the record again, so the two cannot race.
    std::thread([raw, observer] {
      const std::unique_ptr<Relay> owned(raw);
      runRelay(*owned, standardTranslator(), observer);
    }).detach();
  } catch (const std::system_error&) {
    platform::closeSocket(relay->clientSocket);
    return false;
  }
  (void)relay.release();
  return true;
}

}  // namespace quayside
