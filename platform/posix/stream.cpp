#include "platform/stream.h"

#include "platform/net.h"
#include "platform/tcp_connect.h"
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

// One non-blocking connect, waited for until `deadline`.
ConnectAttempt connectOne(const addrinfo& address, Clock::time_point deadline) {
  ConnectAttempt attempt;
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

  connection = connectEach(
      addresses.size(), limit, [&](std::size_t i) { return addressText(*addresses[i]); },
      [&](std::size_t i, Clock::time_point deadline) {
        return connectOne(*addresses[i], deadline);
      });
  freeaddrinfo(results);
  return connection;
}

}  // namespace quayside::platform
