#pragma once

#include "platform/net.h"
#include "support/timing.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Loopback sockets for tests and the benchmark: free ports, listeners, and
// reads that never block past a deadline.
namespace quayside::testing {

// A loopback port that was free a moment ago, below the ports the system
// hands to outgoing connections, and not drawn before by this process; 0
// when none could be found.
std::uint16_t freePort();

// A blocking loopback connection to `port`, or kNoSocket. `from` is the
// source address (another loopback host, 127.x.y.z) when given.
SocketHandle connectLoopback(std::uint16_t port, std::optional<std::uint32_t> from = std::nullopt);

// One receive into `into`, waiting until `deadline` at most: the count
// (> 0), 0 when the peer closed or the connection failed, -1 when the
// deadline passed. The receive is tried before any wait, as the data is
// often there already on a benchmark's timed path.
long receiveBefore(SocketHandle socket, char* into, std::size_t capacity,
                   Clock::time_point deadline);

// Reads until `needle` has arrived, the peer closes, or `deadline` passes;
// returns everything read. Never blocks past the deadline.
std::string readUntil(SocketHandle socket, std::string_view needle,
                      std::chrono::milliseconds deadline = kReadTimeout);

// True when the peer closes within `deadline`; bytes read before are put in `before`.
bool waitForClose(SocketHandle socket, std::string& before,
                  std::chrono::milliseconds deadline = kReadTimeout);

// Accepts one connection within `deadline` (the listener is non-blocking);
// the accepted socket is blocking. kNoSocket when none came.
SocketHandle acceptWithin(SocketHandle listener, std::chrono::milliseconds deadline = kReadTimeout);

// A listening socket on 127.0.0.1 at a port the OS chose, closed when this
// object goes. valid() is false when it could not be opened.
class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog = 16);
  ~LoopbackListener();
  LoopbackListener(LoopbackListener&& other) noexcept;
  LoopbackListener& operator=(LoopbackListener&&) = delete;

  bool valid() const { return socket_ != kNoSocket; }
  SocketHandle socket() const { return socket_; }
  std::uint16_t port() const { return port_; }
  // Why opening failed, when it did.
  const std::string& error() const { return error_; }

  SocketHandle accept(std::chrono::milliseconds deadline = kReadTimeout) const {
    return acceptWithin(socket_, deadline);
  }

 private:
  SocketHandle socket_ = kNoSocket;
  std::uint16_t port_ = 0;
  std::string error_;
};

}  // namespace quayside::testing
