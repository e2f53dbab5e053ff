#include "platform/stream.h"

#include "platform/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace quayside::platform {
namespace {

class TcpStream final : public ByteStream {
 public:
  explicit TcpStream(SocketHandle socket) : socket_(socket) {}
  ~TcpStream() override { closeSocket(socket_); }
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  long receiveSome(std::span<char> into) override {
    return platform::receiveSome(socket_, into.data(), into.size());
  }
  bool sendAll(std::string_view bytes) override { return platform::sendAll(socket_, bytes); }
  bool hasBufferedInput() const override { return false; }
  SocketHandle handle() const override { return socket_; }
  void close() override { closeSocket(socket_); }

 private:
  SocketHandle socket_;
};

// A dotted IPv4 address ("a.b.c.d"), or nothing.
std::optional<std::uint32_t> parseIpv4(const std::string& host) {
  if (host.empty() || host.size() > 15) {
    return std::nullopt;
  }
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
    return std::nullopt;
  }
  return ntohl(parsed.s_addr);
}

// The first IPv4 address the host name resolves to, or nothing.
std::optional<std::uint32_t> resolveIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) {
    return std::nullopt;
  }
  std::optional<std::uint32_t> address;
  for (const addrinfo* r = results; r != nullptr; r = r->ai_next) {
    if (r->ai_family == AF_INET && r->ai_addr != nullptr) {
      address = ntohl(reinterpret_cast<const sockaddr_in*>(r->ai_addr)->sin_addr.s_addr);
      break;
    }
  }
  freeaddrinfo(results);
  return address;
}

}  // namespace

std::unique_ptr<ByteStream> adoptTcpSocket(SocketHandle socket) {
  return std::make_unique<TcpStream>(socket);
}

Connection connectTcp(const std::string& host, std::uint16_t port) {
  Connection connection;
  std::optional<std::uint32_t> address = parseIpv4(host);
  if (!address) {
    address = resolveIpv4(host);
  }
  if (!address) {
    connection.failure = ConnectFailure::kNotResolved;
    return connection;
  }
  connection.address = *address;
  SocketHandle socket = createTcpSocket();
  if (socket == kNoSocket) {
    connection.failure = ConnectFailure::kNoSocket;
    connection.error = std::strerror(errno);
    return connection;
  }
  if (!connectTo(socket, connection.address, port)) {
    connection.failure = ConnectFailure::kNotConnected;
    connection.error = std::strerror(errno);
    closeSocket(socket);
    return connection;
  }
  connection.stream = adoptTcpSocket(socket);
  return connection;
}

}  // namespace quayside::platform
