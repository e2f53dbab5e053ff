#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace quayside::platform {
namespace {

sockaddr_in makeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(address);
  return in;
}

}  // namespace

void ignoreSigpipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

std::optional<std::uint32_t> parseIpv4(std::string_view host) {
  if (host.empty() || host.size() > 15) {
    return std::nullopt;
  }
  char text[16];
  std::memcpy(text, host.data(), host.size());
  text[host.size()] = '\0';
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) {
    return std::nullopt;
  }
  return ntohl(parsed.s_addr);
}

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

SocketHandle createTcpSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? kNoSocket : fd;
}

bool connectTo(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in in = makeAddress(address, port);
  int result;
  do {
    result = ::connect(socket, reinterpret_cast<const sockaddr*>(&in), sizeof in);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    return false;
  }
  // Chat lines are small and latency matters more than packet count.
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

void setBlocking(SocketHandle socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) {
    return;
  }
  ::fcntl(socket, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

bool sendAll(SocketHandle socket, std::string_view bytes) {
  if (socket == kNoSocket) {
    return false;
  }
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

long receiveSome(SocketHandle socket, char* into, std::size_t capacity) {
  for (;;) {
    const ssize_t count = ::recv(socket, into, capacity, 0);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    return static_cast<long>(count);
  }
}

void closeSocket(SocketHandle& socket) {
  if (socket != kNoSocket) {
    ::close(socket);
    socket = kNoSocket;
  }
}

bool waitReadable(SocketHandle first, SocketHandle second, Readiness& ready, int timeoutMs) {
  pollfd fds[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
  int result;
  do {
    result = ::poll(fds, 2, timeoutMs);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    return false;
  }
  // A closed or failed peer counts as readable: the receive then reports it.
  constexpr short kReadable = POLLIN | POLLHUP | POLLERR | POLLNVAL;
  ready.first = (fds[0].revents & kReadable) != 0;
  ready.second = (fds[1].revents & kReadable) != 0;
  return true;
}

SocketHandle listenOn(std::uint32_t address, std::uint16_t port, int backlog, std::string& error) {
  SocketHandle socket = createTcpSocket();
  if (socket == kNoSocket) {
    error = lastErrorText();
    return kNoSocket;
  }
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in in = makeAddress(address, port);
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 ||
      ::listen(socket, backlog) != 0) {
    error = lastErrorText();
    closeSocket(socket);
    return kNoSocket;
  }
  setBlocking(socket, false);
  return socket;
}

std::uint16_t boundPort(SocketHandle socket) {
  sockaddr_in in{};
  socklen_t length = sizeof in;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&in), &length) != 0) {
    return 0;
  }
  return ntohs(in.sin_port);
}

SocketHandle acceptFrom(SocketHandle listener, std::uint32_t& peerAddress) {
  sockaddr_in in{};
  socklen_t length = sizeof in;
  int fd;
  do {
    fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&in), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return kNoSocket;
  }
  peerAddress = in.sin_family == AF_INET ? ntohl(in.sin_addr.s_addr) : 0;
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

std::string lastErrorText() {
  return std::strerror(errno);
}

}  // namespace quayside::platform
