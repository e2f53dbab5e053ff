#include "platform/net.h"
#include "platform/socket_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace quayside::platform {
namespace {

sockaddr_in makeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(address);
  return in;
}

// Chat lines are small and latency matters more than packet count.
void turnNagleOff(SocketHandle socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

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
  turnNagleOff(socket);
  return true;
}

void setBlocking(SocketHandle socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) {
    return;
  }
  ::fcntl(socket, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

namespace {

timeval timevalOf(std::chrono::microseconds time) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(time.count() / 1'000'000);
  value.tv_usec = static_cast<suseconds_t>(time.count() % 1'000'000);
  return value;
}

}  // namespace

SendResult sendAll(SocketHandle socket, std::string_view bytes,
                   std::chrono::steady_clock::time_point startedAt) {
  if (socket == kNoSocket) {
    return {SendResult::Status::kFailed};
  }
  // SO_SNDTIMEO bounds each send call. After a partial send the time left
  // of the whole limit is set for the next call, and the limit is put back
  // at the end; a send that goes out whole (the usual case) costs nothing.
  std::optional<timeval> limit;
  const auto restore = [&] {
    if (limit) {
      ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &*limit, sizeof *limit);
    }
  };
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      // A blocking socket says EAGAIN only when its send limit passed.
      const bool timedOut = errno == EAGAIN || errno == EWOULDBLOCK;
      restore();
      return {timedOut ? SendResult::Status::kTimedOut : SendResult::Status::kFailed};
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
    if (bytes.empty()) {
      break;
    }
    if (!limit) {
      timeval set{};
      socklen_t size = sizeof set;
      if (::getsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &set, &size) != 0) {
        set = {};
      }
      limit = set;
    }
    const auto whole =
        std::chrono::seconds(limit->tv_sec) + std::chrono::microseconds(limit->tv_usec);
    if (whole.count() == 0) {
      continue;  // no limit
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        startedAt + whole - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      restore();
      return {SendResult::Status::kTimedOut};
    }
    const timeval rest = timevalOf(left);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &rest, sizeof rest);
  }
  restore();
  return {};
}

void setSendLimit(SocketHandle socket, std::chrono::milliseconds limit) {
  timeval time{};
  time.tv_sec = static_cast<time_t>(limit.count() / 1000);
  time.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &time, sizeof time);
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

void shutdownSending(SocketHandle socket) {
  if (socket != kNoSocket) {
    ::shutdown(socket, SHUT_WR);
  }
}

int deepestListenBacklog() {
  return SOMAXCONN;
}

SocketHandle listenOn(std::uint32_t address, std::uint16_t port, int backlog, std::string& error) {
  SocketHandle socket = createTcpSocket();
  if (socket == kNoSocket) {
    error = std::strerror(errno);
    return kNoSocket;
  }
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in in = makeAddress(address, port);
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 ||
      ::listen(socket, backlog) != 0) {
    error = std::strerror(errno);
    closeSocket(socket);
    return kNoSocket;
  }
  setBlocking(socket, false);
  return socket;
}

SocketHandle listenOnLoopback6(std::uint16_t port, int backlog, std::string& error) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    if (errno != EAFNOSUPPORT) {
      error = std::strerror(errno);
    }
    return kNoSocket;
  }
  SocketHandle socket = fd;
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_in6 in{};
  in.sin6_family = AF_INET6;
  in.sin6_port = htons(port);
  in.sin6_addr = in6addr_loopback;
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 ||
      ::listen(socket, backlog) != 0) {
    // A system with IPv6 turned off has no ::1 to bind.
    if (errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT) {
      error = std::strerror(errno);
    }
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

SocketHandle acceptFrom(SocketHandle listener, std::uint32_t& peerAddress, std::string* error,
                        std::uint16_t* peerPort) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  int fd;
  // A connection reset while it waited is skipped for the next one: the
  // listener itself is fine, and must not rest as after a real failure.
  // Bounded, so nothing can hold the accepting thread.
  int skipped = 0;
  do {
    length = sizeof peer;
    fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED) && ++skipped < 256);
  if (fd < 0) {
    if (error != nullptr && errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = std::strerror(errno);
    }
    return kNoSocket;
  }
  std::uint16_t port = 0;
  readPeer(peer, peerAddress, port);
  if (peerPort != nullptr) {
    *peerPort = port;
  }
  turnNagleOff(fd);
  return fd;
}

}  // namespace quayside::platform
