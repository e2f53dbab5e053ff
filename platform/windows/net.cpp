#include "platform/net.h"
#include "platform/socket_peer.h"

#include "platform/windows/win32.h"

#include <chrono>
#include <climits>
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
  const BOOL on = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// Sockets are not inherited by programs this process starts.
void keepFromChildren(SocketHandle socket) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): Winsock documents a SOCKET as a handle
  ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

SocketHandle createTcpSocket() {
  if (!win32::startWinsock()) {
    return kNoSocket;
  }
  const SOCKET socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  return socket;
}

bool connectTo(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in in = makeAddress(address, port);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) {
    return false;
  }
  turnNagleOff(socket);
  return true;
}

void setBlocking(SocketHandle socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  ::ioctlsocket(socket, static_cast<long>(FIONBIO), &nonBlocking);
}

SendResult sendAll(SocketHandle socket, std::string_view bytes,
                   std::chrono::steady_clock::time_point startedAt) {
  if (socket == kNoSocket) {
    return {SendResult::Status::kFailed};
  }
  // SO_SNDTIMEO bounds each send call. After a partial send the time left
  // of the whole limit is set for the next call, and the limit is put back
  // at the end; a send that goes out whole (the usual case) costs nothing.
  std::optional<DWORD> limit;
  const auto restore = [&] {
    if (limit) {
      ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&*limit),
                   sizeof *limit);
    }
  };
  while (!bytes.empty()) {
    const int chunk = bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(bytes.size());
    const int sent = ::send(socket, bytes.data(), chunk, 0);
    if (sent == SOCKET_ERROR) {
      // A blocking socket's send limit passed (SO_SNDTIMEO); the socket's
      // state is undefined after that, and the caller ends the session.
      const bool timedOut = ::WSAGetLastError() == WSAETIMEDOUT;
      restore();
      return {timedOut ? SendResult::Status::kTimedOut : SendResult::Status::kFailed};
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
    if (bytes.empty()) {
      break;
    }
    if (!limit) {
      DWORD set = 0;
      int size = sizeof set;
      if (::getsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&set), &size) !=
          0) {
        set = 0;
      }
      limit = set;
    }
    if (*limit == 0) {
      continue;  // no limit
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        startedAt + std::chrono::milliseconds(*limit) - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      restore();
      return {SendResult::Status::kTimedOut};
    }
    const auto rest = static_cast<DWORD>(left.count());
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&rest),
                 sizeof rest);
  }
  restore();
  return {};
}

void setSendLimit(SocketHandle socket, std::chrono::milliseconds limit) {
  const auto time = static_cast<DWORD>(limit.count());
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&time), sizeof time);
}

long receiveSome(SocketHandle socket, char* into, std::size_t capacity) {
  const int size = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  const int count = ::recv(socket, into, size, 0);
  return count == SOCKET_ERROR ? -1L : static_cast<long>(count);
}

void closeSocket(SocketHandle& socket) {
  if (socket != kNoSocket) {
    ::closesocket(socket);
    socket = kNoSocket;
  }
}

void shutdownSending(SocketHandle socket) {
  if (socket != kNoSocket) {
    ::shutdown(socket, SD_SEND);
  }
}

int deepestListenBacklog() {
  return SOMAXCONN;
}

SocketHandle listenOn(std::uint32_t address, std::uint16_t port, int backlog, std::string& error) {
  if (!win32::startWinsock(&error)) {
    return kNoSocket;
  }
  SocketHandle socket = createTcpSocket();
  if (socket == kNoSocket) {
    error = win32::socketErrorText();
    return kNoSocket;
  }
  // Windows lets a listening socket be re-bound at once without help (no
  // TIME_WAIT hold on listening ports); what SO_REUSEADDR would add there is
  // letting another program take the same port. Exclusive use forbids that.
  const BOOL on = TRUE;
  ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
  const sockaddr_in in = makeAddress(address, port);
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 ||
      ::listen(socket, backlog) != 0) {
    error = win32::socketErrorText();
    closeSocket(socket);
    return kNoSocket;
  }
  setBlocking(socket, false);
  return socket;
}

SocketHandle listenOnLoopback6(std::uint16_t port, int backlog, std::string& error) {
  if (!win32::startWinsock(&error)) {
    return kNoSocket;
  }
  SocketHandle socket =
      static_cast<SocketHandle>(::WSASocketW(AF_INET6, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
  if (socket == kNoSocket) {
    if (::WSAGetLastError() != WSAEAFNOSUPPORT) {
      error = win32::socketErrorText();
    }
    return kNoSocket;
  }
  const BOOL on = TRUE;
  ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
  const DWORD only = 1;
  ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only),
               sizeof only);
  sockaddr_in6 in{};
  in.sin6_family = AF_INET6;
  in.sin6_port = htons(port);
  in.sin6_addr = in6addr_loopback;
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 ||
      ::listen(socket, backlog) != 0) {
    // A system with IPv6 turned off has no ::1 to bind.
    const int code = ::WSAGetLastError();
    if (code != WSAEADDRNOTAVAIL && code != WSAEAFNOSUPPORT) {
      error = win32::socketErrorText();
    }
    closeSocket(socket);
    return kNoSocket;
  }
  setBlocking(socket, false);
  return socket;
}

std::uint16_t boundPort(SocketHandle socket) {
  sockaddr_in in{};
  int length = sizeof in;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&in), &length) != 0) {
    return 0;
  }
  return ntohs(in.sin_port);
}

// Resets skipped in one accept before it reports a failure.
constexpr int kResetsSkipped = 256;

SocketHandle acceptFrom(SocketHandle listener, std::uint32_t& peerAddress, std::string* error,
                        std::uint16_t* peerPort) {
  // Room for any family: Winsock fails an accept whose peer address does not
  // fit, where POSIX cuts it.
  sockaddr_storage peer{};
  int length = sizeof peer;
  SOCKET socket = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  // A connection reset while it waited is skipped for the next one
  // (WSAECONNRESET; wine says WSAENOTCONN): the listener itself is fine, and
  // must not rest as after a real failure, or a burst of resets keeps it
  // resting for seconds. Bounded, so a connection that stays in the queue
  // cannot hold the accepting thread.
  for (int skipped = 0; socket == INVALID_SOCKET && skipped < kResetsSkipped; ++skipped) {
    const int error = ::WSAGetLastError();
    if (error != WSAECONNRESET && error != WSAENOTCONN) {
      break;
    }
    length = sizeof peer;
    socket = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  }
  if (socket == INVALID_SOCKET) {
    if (error != nullptr && ::WSAGetLastError() != WSAEWOULDBLOCK) {
      *error = win32::socketErrorText();
    }
    return kNoSocket;
  }
  keepFromChildren(socket);
  // An accepted socket inherits the listener's non-blocking mode on Windows;
  // the relay expects the blocking one POSIX gives.
  setBlocking(socket, true);
  std::uint16_t port = 0;
  readPeer(peer, peerAddress, port);
  if (peerPort != nullptr) {
    *peerPort = port;
  }
  turnNagleOff(socket);
  return socket;
}

}  // namespace quayside::platform
