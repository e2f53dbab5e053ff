#include "platform/stream.h"

#include "platform/net.h"
#include "platform/wait.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quayside::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TcpStream final : public ByteStream {
 public:
  explicit TcpStream(SocketHandle socket) : socket_(socket) {}
  ~TcpStream() override { closeSocket(socket_); }
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  long receiveSome(std::span<char> into) override {
    return platform::receiveSome(socket_, into.data(), into.size());
  }
  SendResult sendAll(std::string_view bytes) override { return platform::sendAll(socket_, bytes); }
  void setSendLimit(milliseconds limit) override { platform::setSendLimit(socket_, limit); }
  bool hasBufferedInput() const override { return false; }
  SocketHandle handle() const override { return socket_; }
  void close() override { closeSocket(socket_); }

 private:
  SocketHandle socket_;
};

// The address as written before a port: IPv6 in brackets.
std::string addressText(const addrinfo& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ai_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address.ai_addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]";
  }
  const auto* in = reinterpret_cast<const sockaddr_in*>(address.ai_addr);
  inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  return text;
}

struct Attempt {
  SocketHandle socket = kNoSocket;  // connected, else kNoSocket
  bool timedOut = false;
  bool noSocket = false;
  std::string error;
};

// One non-blocking connect, waited for until `deadline`.
Attempt connectOne(const addrinfo& address, Clock::time_point deadline) {
  Attempt attempt;
  SocketHandle socket = ::socket(
      address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
  if (socket < 0) {
    attempt.noSocket = true;
    attempt.error = std::strerror(errno);
    return attempt;
  }
  int result = ::connect(socket, address.ai_addr, address.ai_addrlen);
  int error = result == 0 ? 0 : errno;
  if (error == EINPROGRESS || error == EINTR) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    const WaitResult wait = waitWritable(socket, left > milliseconds(0) ? left : milliseconds(0));
    if (wait.status == WaitStatus::kTimedOut) {
      attempt.timedOut = true;
      attempt.error = "no answer in time";
      closeSocket(socket);
      return attempt;
    }
    socklen_t length = sizeof error;
    if (wait.status == WaitStatus::kFailed ||
        ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
  }
  if (error != 0) {
    attempt.error = std::strerror(error);
    closeSocket(socket);
    return attempt;
  }
  setBlocking(socket, true);
  // Chat lines are small and latency matters more than packet count.
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  attempt.socket = socket;
  return attempt;
}

}  // namespace

std::unique_ptr<ByteStream> adoptTcpSocket(SocketHandle socket) {
  return std::make_unique<TcpStream>(socket);
}

Connection connectTcp(const std::string& host, std::uint16_t port, milliseconds limit) {
  Connection connection;
  if (host.empty()) {
    connection.failure = ConnectFailure::kNotResolved;
    connection.error = "no host name";
    return connection;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* results = nullptr;
  const std::string service = std::to_string(port);
  if (const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &results);
      status != 0 || results == nullptr) {
    connection.failure = ConnectFailure::kNotResolved;
    connection.error = status != 0 ? gai_strerror(status) : "no address";
    if (results != nullptr) {
      freeaddrinfo(results);
    }
    return connection;
  }
  std::vector<const addrinfo*> addresses;
  for (const addrinfo* r = results; r != nullptr; r = r->ai_next) {
    if ((r->ai_family == AF_INET || r->ai_family == AF_INET6) && r->ai_addr != nullptr) {
      addresses.push_back(r);
    }
  }

  const Clock::time_point deadline = Clock::now() + limit;
  std::vector<std::pair<std::string, Attempt>> failed;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    // Each address gets an equal share of what is left, so a silent first
    // address cannot use up the time of the ones after it.
    const auto share = (deadline - Clock::now()) / static_cast<long>(addresses.size() - i);
    connection.address = addressText(*addresses[i]);
    Attempt attempt = connectOne(*addresses[i], Clock::now() + share);
    if (attempt.socket != kNoSocket) {
      connection.stream = adoptTcpSocket(attempt.socket);
      break;
    }
    failed.emplace_back(connection.address, std::move(attempt));
  }
  freeaddrinfo(results);
  if (connection.stream) {
    return connection;
  }

  if (failed.empty()) {
    connection.failure = ConnectFailure::kNotResolved;
    connection.error = "no IPv4 or IPv6 address";
    return connection;
  }
  bool allTimedOut = true;
  bool allWithoutSocket = true;
  for (const auto& [address, attempt] : failed) {
    allTimedOut = allTimedOut && attempt.timedOut;
    allWithoutSocket = allWithoutSocket && attempt.noSocket;
    if (failed.size() == 1) {
      connection.error = attempt.error;
    } else {
      connection.error += (connection.error.empty() ? "" : "; ") + address + ": " + attempt.error;
    }
  }
  connection.failure = allWithoutSocket ? ConnectFailure::kNoSocket
                       : allTimedOut    ? ConnectFailure::kTimedOut
                                        : ConnectFailure::kNotConnected;
  return connection;
}

}  // namespace quayside::platform
