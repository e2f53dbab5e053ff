#include "support/loopback.h"

#include "platform/wait.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cerrno>
#include <mutex>
#include <random>
#include <set>

namespace quayside::testing {
namespace {

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Whether a listener could take `port` now. Bound without SO_REUSEADDR,
// which POSIX listeners set: that also refuses a port that connections in
// TIME_WAIT still hold, which a listener for exclusive use (Windows', also
// under wine) cannot take.
bool bindable(std::uint16_t port) {
  SocketHandle probe = platform::createTcpSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(platform::kLoopback);
  address.sin_port = htons(port);
  const bool bound =
      probe != kNoSocket &&
      ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  platform::closeSocket(probe);
  return bound;
}

}  // namespace

std::uint16_t freePort() {
  // Drawn below the ephemeral ranges (Linux 32768-60999, Windows
  // 49152-65535), where any connect of a test running beside this one may
  // take a port between this draw and the bind that needs it. Never the same
  // port twice in one process, so ports drawn together differ.
  static std::mutex mutex;
  static std::set<std::uint16_t> drawn;
  static std::mt19937 draw{std::random_device{}()};
  std::uniform_int_distribution<int> below(20000, 32767);
  const std::scoped_lock lock(mutex);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const auto port = static_cast<std::uint16_t>(below(draw));
    if (drawn.insert(port).second && bindable(port)) {
      return port;
    }
  }
  return 0;
}

SocketHandle connectLoopback(std::uint16_t port, std::optional<std::uint32_t> from) {
  SocketHandle socket = platform::createTcpSocket();
  if (socket == kNoSocket) {
    return kNoSocket;
  }
  if (from) {
    // No platform call binds a client's own address; only tests need it.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(*from);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      platform::closeSocket(socket);
      return kNoSocket;
    }
  }
  if (!platform::connectTo(socket, platform::kLoopback, port)) {
    platform::closeSocket(socket);
  }
  return socket;
}

long receiveBefore(SocketHandle socket, char* into, std::size_t capacity,
                   Clock::time_point deadline) {
#ifdef _WIN32
  // Winsock has no per-call "don't wait": wait for readability, then receive.
  for (;;) {
    platform::WaitEntry entry{socket};
    const int left = millisecondsUntil(deadline);
    if (platform::waitReadable({&entry, 1}, std::chrono::milliseconds(left)).status ==
        platform::WaitStatus::kFailed) {
      return -1;
    }
    if (entry.readable) {
      const long count = platform::receiveSome(socket, into, capacity);
      return count > 0 ? count : 0;
    }
    if (millisecondsUntil(deadline) <= 0) {
      return -1;
    }
  }
#else
  for (;;) {
    const ssize_t count = ::recv(socket, into, capacity, MSG_DONTWAIT);
    if (count > 0) {
      return static_cast<long>(count);
    }
    if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return 0;
    }
    const int left = millisecondsUntil(deadline);
    platform::WaitEntry entry{socket};
    if (left <= 0 || platform::waitReadable({&entry, 1}, std::chrono::milliseconds(left)).status ==
                         platform::WaitStatus::kFailed) {
      return -1;
    }
    if (!entry.readable && millisecondsUntil(deadline) <= 0) {
      return -1;
    }
  }
#endif
}

std::string readUntil(SocketHandle socket, std::string_view needle,
                      std::chrono::milliseconds deadline) {
  std::string data;
  const auto end = Clock::now() + deadline;
  while (needle.empty() || data.find(needle) == std::string::npos) {
    char buffer[4096];
    const long count = receiveBefore(socket, buffer, sizeof buffer, end);
    if (count <= 0) {
      break;
    }
    data.append(buffer, static_cast<std::size_t>(count));
  }
  return data;
}

bool waitForClose(SocketHandle socket, std::string& before, std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  for (;;) {
    char buffer[4096];
    const long count = receiveBefore(socket, buffer, sizeof buffer, end);
    if (count < 0) {
      return false;
    }
    if (count == 0) {
      return true;
    }
    before.append(buffer, static_cast<std::size_t>(count));
  }
}

SocketHandle acceptWithin(SocketHandle listener, std::chrono::milliseconds deadline) {
  platform::WaitEntry entry{listener};
  if (platform::waitReadable({&entry, 1}, deadline).status != platform::WaitStatus::kReady ||
      !entry.readable) {
    return kNoSocket;
  }
  std::uint32_t peer = 0;
  SocketHandle accepted = platform::acceptFrom(listener, peer);
  if (accepted != kNoSocket) {
    platform::setBlocking(accepted, true);
  }
  return accepted;
}

LoopbackListener::LoopbackListener(int backlog) {
  socket_ = platform::listenOn(platform::kLoopback, 0, backlog, error_);
  port_ = socket_ == kNoSocket ? 0 : platform::boundPort(socket_);
}

LoopbackListener::LoopbackListener(LoopbackListener&& other) noexcept
    : socket_(other.socket_), port_(other.port_), error_(std::move(other.error_)) {
  other.socket_ = kNoSocket;
}

LoopbackListener::~LoopbackListener() {
  platform::closeSocket(socket_);
}

}  // namespace quayside::testing
