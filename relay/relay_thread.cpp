#include "relay/relay_thread.h"

#include "core/server_address.h"
#include "platform/net.h"
#include "platform/stream.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "relay/registry.h"

#include <array>
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
  SocketOutput(Relay& relay, platform::ByteStream& server) : relay_(relay), server_(server) {}

  std::span<char> area(Peer peer) override { return pending(peer).area(); }

  void commit(Peer peer, std::size_t size) override {
    if (peer == Peer::kClient && relay_.clientSocket == kNoSocket) {
      return;  // the client was kicked: nothing more reaches it
    }
    Pending& held = pending(peer);
    held.size += size;
    // Past this much, gathered bytes go out at once, which also bounds memory.
    if (held.size >= kGatherLimit) {
      send(peer);
    }
  }

  void closeClient() override {
    // What the client was told before (the kick) still reaches it.
    send(Peer::kClient);
    platform::closeSocket(relay_.clientSocket);
  }

  // Sends what was gathered, one send per socket. The buffers stay for the
  // next receive of a burst.
  void flush() {
    send(Peer::kServer);
    send(Peer::kClient);
  }

  // Lets the buffers go once the relay turns idle: an idle relay holds no
  // output memory. (Freeing them after every receive instead would make the
  // allocator hand memory back and fault it in again for every receive.)
  bool holdsMemory() const { return toClient_.bytes || toServer_.bytes; }
  void release() {
    toClient_.release();
    toServer_.release();
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

    void release() {
      bytes.reset();
      size = 0;
      capacity = 0;
    }
  };

  Pending& pending(Peer peer) { return peer == Peer::kClient ? toClient_ : toServer_; }

  void send(Peer peer) {
    Pending& held = pending(peer);
    const std::string_view bytes(held.bytes.get(), held.size);
    held.size = 0;
    if (bytes.empty()) {
      return;
    }
    if (peer == Peer::kServer) {
      server_.sendAll(bytes);
    } else if (relay_.clientSocket != kNoSocket) {
      platform::sendAll(relay_.clientSocket, bytes);
    }
  }

  Relay& relay_;
  platform::ByteStream& server_;
  Pending toClient_;
  Pending toServer_;
};

// What a refused certificate is, and how to trust it anyway.
std::string certificateDetail(const platform::TlsStart& tls, std::string_view trust) {
  std::string detail = tls.error;
  if (!tls.fingerprint.empty()) {
    detail += "; SHA-256 fingerprint " + platform::colonFingerprint(tls.fingerprint) + "; " +
              std::string(trust) + ", set the option fingerprint=" + tls.fingerprint;
  }
  return detail;
}

// The TLS session over the connected `server`, verified for `host`; returns
// why it could not start, or an empty view.
std::string_view startTls(Relay& relay, std::string_view host,
                          std::unique_ptr<platform::ByteStream>& server, std::string& detail) {
  platform::TlsStart tls = platform::startTls(
      std::move(server), {std::string(host), std::string(relay.options.fingerprint.view())});
  relay.serverFingerprint.assign(tls.fingerprint);
  switch (tls.failure) {
    case platform::TlsFailure::kNone:
      server = std::move(tls.stream);
      return {};
    case platform::TlsFailure::kUntrusted:
      detail = certificateDetail(tls, "to trust it");
      return "the server's certificate is not trusted";
    case platform::TlsFailure::kWrongHost:
      tls.error = "it does not name " + std::string(host);
      detail = certificateDetail(tls, "to trust it anyway");
      return "the certificate is for another host name";
    case platform::TlsFailure::kTimedOut:
      detail = tls.error + " (is the port a plain-text one?)";
      return "TLS handshake timed out";
    case platform::TlsFailure::kFailed:
      break;
  }
  detail = tls.error;
  return "TLS handshake failed";
}

// Resolves and connects to the server (TLS for ircs://), then greets the
// client with the lock. Returns why the Relay must end, or an empty view when
// it is connected. The stream goes to `server`; relay.serverSocket names its
// handle.
std::string_view connectServer(Relay& relay, std::unique_ptr<platform::ByteStream>& server,
                               std::string& detail) {
  const ServerAddress endpoint = parseServerAddress(relay.serverText.view(), relay.upstreamKind);
  if (!endpoint.problem.empty()) {
    detail = endpoint.problem;
    return "the server text cannot be used";
  }
  platform::Connection connection = platform::connectTcp(std::string(endpoint.host), endpoint.port);
  relay.serverAddress.assign(connection.address);
  relay.serverPort = endpoint.port;
  switch (connection.failure) {
    case platform::ConnectFailure::kNone:
      break;
    case platform::ConnectFailure::kNotResolved:
      detail = connection.error;
      return "server name does not resolve";
    case platform::ConnectFailure::kNoSocket:
      detail = connection.error;
      return "cannot create the server socket";
    case platform::ConnectFailure::kNotConnected:
      detail = connection.error;
      return "cannot connect to the server";
    case platform::ConnectFailure::kTimedOut:
      detail = connection.error;
      return "connecting to the server timed out";
  }
  server = std::move(connection.stream);
  if (endpoint.tls()) {
    if (const std::string_view failure = startTls(relay, endpoint.host, server, detail);
        !failure.empty()) {
      return failure;
    }
  }
  relay.serverSocket = server->handle();
  // Nothing reaches the client before the server connection is up.
  platform::sendAll(relay.clientSocket, kLockString);
  return {};
}

// One receive on one side and the translation of every complete message.
std::string_view readStep(Relay& relay, Stream stream, platform::ByteStream& server,
                          Translator& translator, SocketOutput& out) {
  const std::span<char> area = receiveArea(relay, stream);
  const long count = stream == Stream::kClient
                         ? platform::receiveSome(relay.clientSocket, area.data(), area.size())
                         : server.receiveSome(area);
  if (count == 0) {
    return stream == Stream::kClient ? "client closed the connection"
                                     : "server closed the connection";
  }
  if (count == platform::kNoBytesYet) {
    return {};  // a TLS record not yet whole, or one of TLS's own
  }
  if (count < 0) {
    return stream == Stream::kClient ? "client connection failed" : "server connection failed";
  }
  received(relay, stream, static_cast<std::size_t>(count), translator, out);
  out.flush();
  return {};
}

// Relays until either side ends; returns why.
std::string_view relayTraffic(Relay& relay, platform::ByteStream& server, Translator& translator) {
  SocketOutput out(relay, server);
  for (;;) {
    // The server-to-client translation closes the client when it is kicked.
    if (relay.clientSocket == kNoSocket) {
      return "client was kicked from the channel";
    }
    // One wait for both sides and no timeout: nothing is delayed by polling
    // and an idle Relay never wakes up. When bytes already wait inside the
    // server stream, the client is only checked, not waited for.
    // A relay that still holds output memory only looks, and lets the
    // memory go before it waits for real.
    const bool serverBuffered = server.hasBufferedInput();
    const bool onlyLook = serverBuffered || out.holdsMemory();
    std::array<platform::WaitEntry, 2> ready{
        {{relay.clientSocket, false}, {server.handle(), false}}};
    const std::optional<std::chrono::milliseconds> timeout =
        onlyLook ? std::optional(std::chrono::milliseconds(0)) : std::nullopt;
    const platform::WaitStatus status = platform::waitReadable(ready, timeout).status;
    if (status == platform::WaitStatus::kFailed) {
      return "waiting for data failed";
    }
    if (status == platform::WaitStatus::kTimedOut && !serverBuffered) {
      out.release();
      continue;
    }
    if (ready[0].readable) {
      if (const std::string_view end = readStep(relay, Stream::kClient, server, translator, out);
          !end.empty()) {
        return end;
      }
    }
    if ((ready[1].readable || serverBuffered) && relay.clientSocket != kNoSocket) {
      if (const std::string_view end = readStep(relay, Stream::kServer, server, translator, out);
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
  relay.serverAddress.clear();
  relay.serverPort = 0;
  relay.serverFingerprint.clear();
  registerRelay(relay);
  platform::setBlocking(relay.clientSocket, true);

  // The server stream lives here, for the Relay's life; relay.serverSocket
  // only names its handle.
  std::unique_ptr<platform::ByteStream> server;
  std::string detail;
  std::string_view reason = connectServer(relay, server, detail);
  if (reason.empty()) {
    if (observer != nullptr) {
      observer->relayConnected(relay);
    }
    reason = relayTraffic(relay, *server, translator);
  }

  // Each socket is closed exactly once: closeSocket and close mark it closed.
  platform::closeSocket(relay.clientSocket);
  if (server) {
    server->close();
  }
  relay.serverSocket = kNoSocket;
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
