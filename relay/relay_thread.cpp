#include "relay/relay_thread.h"

#include "core/text.h"
#include "platform/net.h"
#include "platform/stream.h"
#include "platform/wait.h"
#include "relay/registry.h"

#include <array>
#include <string>
#include <system_error>
#include <thread>

namespace quayside {
namespace {

// Production output. What the translations send while the relay handles one
// receive is gathered per socket and leaves in one send when the receive is
// done: a burst of chat lines then costs two sends per receive instead of
// two per line, and the bytes on the wire are the same.
class SocketOutput final : public RelayOutput {
 public:
  explicit SocketOutput(Relay& relay) : relay_(relay) {}

  void toClient(std::string_view bytes) override {
    if (relay_.clientSocket != kNoSocket) {
      gather(toClient_, relay_.clientSocket, bytes);
    }
  }
  void toServer(std::string_view bytes) override { gather(toServer_, relay_.serverSocket, bytes); }
  void closeClient() override {
    // What the client was told before (the kick) still reaches it.
    send(toClient_, relay_.clientSocket);
    platform::closeSocket(relay_.clientSocket);
  }

  // Sends what was gathered, one send per socket.
  void flush() {
    send(toServer_, relay_.serverSocket);
    send(toClient_, relay_.clientSocket);
  }

 private:
  // Past this much, gathered bytes go out at once, which also bounds memory.
  static constexpr std::size_t kGatherLimit = 64 * 1024;
  // A relay keeps at most this much gathering room between receives, so idle
  // relays stay small after a burst.
  static constexpr std::size_t kKeptCapacity = 16 * 1024;

  void gather(std::string& pending, SocketHandle socket, std::string_view bytes) {
    pending.append(bytes);
    if (pending.size() >= kGatherLimit) {
      send(pending, socket);
    }
  }

  static void send(std::string& pending, SocketHandle socket) {
    if (!pending.empty()) {
      platform::sendAll(socket, pending);
      pending.clear();
    }
    if (pending.capacity() > kKeptCapacity) {
      std::string().swap(pending);
    }
  }

  Relay& relay_;
  std::string toClient_;
  std::string toServer_;
};

// Resolves and connects to the server, then greets the client with the lock.
// Returns why the Relay must end, or an empty view when it is connected. The
// stream goes to `server`; relay.serverSocket names its handle.
std::string_view connectServer(Relay& relay, std::unique_ptr<platform::ByteStream>& server,
                               std::string& detail) {
  const ServerEndpoint endpoint = parseServerText(fieldText(relay.serverText), relay.upstreamKind);
  platform::Connection connection = platform::connectTcp(std::string(endpoint.host), endpoint.port);
  if (connection.failure == platform::ConnectFailure::kNotResolved) {
    return "server name does not resolve";
  }
  relay.serverAddress = connection.address;
  relay.serverPort = endpoint.port;
  if (connection.failure == platform::ConnectFailure::kNoSocket) {
    detail = connection.error;
    return "cannot create the server socket";
  }
  if (connection.failure == platform::ConnectFailure::kNotConnected) {
    detail = connection.error;
    return "cannot connect to the server";
  }
  server = std::move(connection.stream);
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
  if (count < 0) {
    return stream == Stream::kClient ? "client connection failed" : "server connection failed";
  }
  received(relay, stream, static_cast<std::size_t>(count), translator, out);
  out.flush();
  return {};
}

// Relays until either side ends; returns why.
std::string_view relayTraffic(Relay& relay, platform::ByteStream& server, Translator& translator) {
  SocketOutput out(relay);
  for (;;) {
    // The server-to-client translation closes the client when it is kicked.
    if (relay.clientSocket == kNoSocket) {
      return "client was kicked from the channel";
    }
    // One wait for both sides and no timeout: nothing is delayed by polling
    // and an idle Relay never wakes up. When bytes already wait inside the
    // server stream, the client is only checked, not waited for.
    const bool serverBuffered = server.hasBufferedInput();
    std::array<platform::WaitEntry, 2> ready{
        {{relay.clientSocket, false}, {server.handle(), false}}};
    const std::optional<std::chrono::milliseconds> timeout =
        serverBuffered ? std::optional(std::chrono::milliseconds(0)) : std::nullopt;
    if (platform::waitReadable(ready, timeout).status == platform::WaitStatus::kFailed) {
      return "waiting for data failed";
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

ServerEndpoint parseServerText(std::string_view serverText, std::uint8_t upstreamKind) {
  std::string_view text = serverText;
  if (startsWithIgnoringCase(text, "dchub://")) {
    text.remove_prefix(8);
  } else if (startsWithIgnoringCase(text, "irc://")) {
    text.remove_prefix(6);
  }
  const std::size_t hostEnd = text.find_first_of("/\\:");
  ServerEndpoint endpoint;
  endpoint.host = text.substr(0, hostEnd);
  if (hostEnd == std::string_view::npos || text[hostEnd] != ':') {
    endpoint.port = upstreamKind != 0 ? 6667 : 411;
    return endpoint;
  }
  std::size_t i = hostEnd + 1;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  std::uint32_t value = 0;  // wraps like any decimal read; the port is its low 16 bits
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    ++i;
  }
  endpoint.port = static_cast<std::uint16_t>(value & 0xFFFFu);
  return endpoint;
}

void runRelay(Relay& relay, Translator& translator, RelayObserver* observer) {
  relay.loginFlags = 0;
  relay.clientFeatures = 0;
  relay.nick[0] = '\0';
  relay.topic[0] = '\0';
  relay.serverAddress = 0;
  relay.serverPort = 0;
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
