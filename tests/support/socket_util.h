#pragma once

#include "platform/net.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

namespace quayside::testing {

// Reads until `needle` has arrived, the peer closes, or `deadline` passes;
// returns everything read. Never blocks past the deadline.
inline std::string readUntil(SocketHandle socket, std::string_view needle,
                             std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  std::string data;
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (needle.empty() || data.find(needle) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd fd{socket, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char buffer[4096];
    const ssize_t count = ::recv(socket, buffer, sizeof buffer, 0);
    if (count <= 0) {
      break;
    }
    data.append(buffer, static_cast<std::size_t>(count));
  }
  return data;
}

// True when the peer closes within `deadline`; bytes read before are put in `before`.
inline bool waitForClose(SocketHandle socket, std::string& before,
                         std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd fd{socket, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    char buffer[4096];
    const ssize_t count = ::recv(socket, buffer, sizeof buffer, 0);
    if (count <= 0) {
      return true;
    }
    before.append(buffer, static_cast<std::size_t>(count));
  }
}

// A loopback port that was free a moment ago.
inline std::uint16_t freePort() {
  std::string error;
  SocketHandle probe = platform::listenOn(platform::kLoopback, 0, 1, error);
  const std::uint16_t port = platform::boundPort(probe);
  platform::closeSocket(probe);
  return port;
}

// A blocking loopback connection to `port`, or kNoSocket.
inline SocketHandle connectLoopback(std::uint16_t port) {
  SocketHandle socket = platform::createTcpSocket();
  if (socket != kNoSocket && !platform::connectTo(socket, platform::kLoopback, port)) {
    platform::closeSocket(socket);
  }
  return socket;
}

// Accepts one connection within `deadline` (the listener is non-blocking).
inline SocketHandle acceptWithin(SocketHandle listener,
                                 std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  pollfd fd{listener, POLLIN, 0};
  if (::poll(&fd, 1, static_cast<int>(deadline.count())) <= 0) {
    return kNoSocket;
  }
  std::uint32_t peer = 0;
  SocketHandle accepted = platform::acceptFrom(listener, peer);
  if (accepted != kNoSocket) {
    platform::setBlocking(accepted, true);
  }
  return accepted;
}

}  // namespace quayside::testing
