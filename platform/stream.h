#pragma once

#include "platform/net.h"
#include "platform/socket_handle.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace quayside::platform {

// What receiveSome returns when bytes arrived but none are for the caller yet.
inline constexpr long kNoBytesYet = -2;

// A connected byte stream, plain TCP or TLS (tls.h), without its users
// knowing which. Owns its connection and closes it when destroyed at the
// latest. Used by one thread at a time.
class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // One receive: the count (> 0), 0 when the peer closed, -1 on an error, or
  // kNoBytesYet when what arrived holds nothing for the caller yet (a TLS
  // stream that took only part of a record, or a record of its own
  // protocol): wait for readability again.
  virtual long receiveSome(std::span<char> into) = 0;

  // Sends all of `bytes`; fails when the peer is gone, and times out when
  // the send limit passes without the peer taking a byte. Never raises
  // SIGPIPE.
  virtual SendResult sendAll(std::string_view bytes) = 0;

  // How long one send may wait for the peer to take bytes; without it, a
  // send waits for as long as it takes.
  virtual void setSendLimit(std::chrono::milliseconds limit) = 0;

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
enum class ConnectFailure { kNone, kNotResolved, kNoSocket, kNotConnected, kTimedOut };

// How long connectTcp's connects may take over all the addresses it tries.
inline constexpr std::chrono::milliseconds kConnectLimit{30000};

struct Connection {
  std::unique_ptr<ByteStream> stream;  // null when the connect failed
  ConnectFailure failure = ConnectFailure::kNone;
  // The address connected to, as written before a port: "192.0.2.1" or
  // "[2001:db8::1]"; for a failure, the last address tried.
  std::string address;
  // The reason in the system's words: for kNotResolved the resolver's; for
  // kNotConnected and kTimedOut each address tried with its reason when
  // there were several ("[::1]: Connection refused; 127.0.0.1: ...").
  std::string error;
};

// Connects to `host` (a name, a dotted IPv4 address or an IPv6 address
// without brackets) on `port`: every address the name resolves to, of any
// family, in the resolver's order until one connects, each with an equal
// share of what is left of `limit`. Nagle is off on the stream returned.
// Only the connects are bounded: the name lookup takes as long as the
// resolver does.
Connection connectTcp(const std::string& host, std::uint16_t port,
                      std::chrono::milliseconds limit = kConnectLimit);

}  // namespace quayside::platform
