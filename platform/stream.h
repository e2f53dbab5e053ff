#pragma once

#include "platform/socket_handle.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace quayside::platform {

// A connected byte stream: plain TCP today, TLS later, without its users
// knowing which. Owns its connection and closes it when destroyed at the
// latest. Used by one thread at a time.
class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // One receive: the count (> 0), 0 when the peer closed, -1 on an error.
  virtual long receiveSome(std::span<char> into) = 0;

  // Sends all of `bytes`; false when the peer is gone. Never raises SIGPIPE.
  virtual bool sendAll(std::string_view bytes) = 0;

  // True when received bytes already wait inside the stream, so receiveSome
  // returns at once although handle() may not become readable (a TLS stream
  // holding decrypted bytes). Always false for plain TCP.
  virtual bool hasBufferedInput() const = 0;

  // The handle to wait on for readability; kNoSocket once closed.
  virtual SocketHandle handle() const = 0;

  // Closes the connection; nothing when it already is.
  virtual void close() = 0;
};

// A connected TCP socket as a stream, which takes ownership of it.
std::unique_ptr<ByteStream> adoptTcpSocket(SocketHandle socket);

// The step at which connectTcp failed.
enum class ConnectFailure { kNone, kNotResolved, kNoSocket, kNotConnected };

struct Connection {
  std::unique_ptr<ByteStream> stream;  // null when the connect failed
  ConnectFailure failure = ConnectFailure::kNone;
  std::uint32_t address = 0;  // the address connected to (host order), once resolved
  std::string error;          // the system's reason for kNoSocket and kNotConnected
};

// Connects to `host` (a dotted IPv4 address, else the first IPv4 address the
// name resolves to) on `port`: a blocking connect, Nagle off.
Connection connectTcp(const std::string& host, std::uint16_t port);

}  // namespace quayside::platform
