#pragma once

#include "relay/relay.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The small layer in place of Windows Sockets: blocking TCP over POSIX
// sockets. Addresses and ports are in host byte order throughout.
namespace quayside::platform {

inline constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

// A dead peer must never kill the process: call once at start-up.
void ignoreSigpipe();

// A dotted IPv4 address ("a.b.c.d"), or nothing.
std::optional<std::uint32_t> parseIpv4(std::string_view host);

// The first IPv4 address the host name resolves to, or nothing.
std::optional<std::uint32_t> resolveIpv4(const std::string& host);

// A new blocking TCP socket, or kNoSocket.
SocketHandle createTcpSocket();

// Blocking connect; false when it fails (refused, unreachable, timed out, port 0).
bool connectTo(SocketHandle socket, std::uint32_t address, std::uint16_t port);

void setBlocking(SocketHandle socket, bool blocking);

// Sends all of `bytes`, looping over partial writes; never raises SIGPIPE.
// False when the peer is gone.
bool sendAll(SocketHandle socket, std::string_view bytes);

// One receive: the count (> 0), 0 when the peer closed, -1 on an error.
long receiveSome(SocketHandle socket, char* into, std::size_t capacity);

// Closes `socket` and sets it to kNoSocket; nothing when it already is.
void closeSocket(SocketHandle& socket);

// Waits until `first` or `second` is readable (data, or the peer closed or
// failed), with no timeout when `timeoutMs` is negative. Returns false when
// the wait itself fails. An interrupted wait is retried.
struct Readiness {
  bool first = false;
  bool second = false;
};
bool waitReadable(SocketHandle first, SocketHandle second, Readiness& ready, int timeoutMs = -1);

// Listening socket bound to address:port with SO_REUSEADDR (so a port can be
// listened on again at once) and the given backlog, non-blocking. On failure
// returns kNoSocket and puts the reason in `error`.
SocketHandle listenOn(std::uint32_t address, std::uint16_t port, int backlog, std::string& error);

// The port a socket is bound to (for listeners opened on port 0 in tests).
std::uint16_t boundPort(SocketHandle socket);

// Takes one pending connection; kNoSocket when there is none or it failed.
// `peerAddress` receives the peer's IPv4 address.
SocketHandle acceptFrom(SocketHandle listener, std::uint32_t& peerAddress);

// The text of the last socket error (errno), for log lines and notices.
std::string lastErrorText();

}  // namespace quayside::platform
