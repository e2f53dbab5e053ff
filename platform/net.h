#pragma once

#include "platform/socket_handle.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Blocking TCP sockets, as Windows Sockets would give them. Addresses and
// ports are in host byte order throughout.
namespace quayside::platform {

inline constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

// A new blocking TCP socket, or kNoSocket.
SocketHandle createTcpSocket();

// Blocking connect; false when it fails (refused, unreachable, timed out, port 0).
bool connectTo(SocketHandle socket, std::uint32_t address, std::uint16_t port);

void setBlocking(SocketHandle socket, bool blocking);

// What a send of all of some bytes came to: true when every byte went.
struct SendResult {
  enum class Status : std::uint8_t { kSent, kFailed, kTimedOut };
  Status status = Status::kSent;

  explicit operator bool() const { return status == Status::kSent; }
  // The peer took nothing for longer than the send limit: it stopped reading.
  bool timedOut() const { return status == Status::kTimedOut; }
};

// Sends all of `bytes`, looping over partial writes; never raises SIGPIPE.
// Fails when the peer is gone, or times out when a blocking socket's send
// limit has passed since `startedAt` and bytes are still left: the limit
// bounds the whole send, so a peer that takes a few bytes now and then
// cannot stretch it. (A caller sending in pieces passes its own start.)
SendResult sendAll(
    SocketHandle socket, std::string_view bytes,
    std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now());

// How long a send on the blocking `socket` may take in all; without it, a
// send waits for as long as it takes.
void setSendLimit(SocketHandle socket, std::chrono::milliseconds limit);

// One receive: the count (> 0), 0 when the peer closed, -1 on an error.
long receiveSome(SocketHandle socket, char* into, std::size_t capacity);

// Closes `socket` and sets it to kNoSocket; nothing when it already is.
void closeSocket(SocketHandle& socket);

// Sends nothing more on `socket` (the peer reads the end of the stream)
// while its receiving side stays open.
void shutdownSending(SocketHandle socket);

// The deepest queue of pending connections the system allows.
int deepestListenBacklog();

// Listening socket bound to address:port with SO_REUSEADDR (so a port can be
// listened on again at once; on Windows SO_EXCLUSIVEADDRUSE, since there
// SO_REUSEADDR would let another program take the port) and the given
// backlog, non-blocking. On failure returns kNoSocket and puts the reason in
// `error`.
SocketHandle listenOn(std::uint32_t address, std::uint16_t port, int backlog, std::string& error);

// The same on [::1] only (IPv6 only, so it never takes IPv4 connections).
// kNoSocket with `error` left empty when the system has no IPv6 loopback.
SocketHandle listenOnLoopback6(std::uint16_t port, int backlog, std::string& error);

// The port a socket is bound to (for listeners opened on port 0 in tests).
std::uint16_t boundPort(SocketHandle socket);

// Takes one pending connection, with Nagle off; kNoSocket when there is none
// (`error` untouched) or it failed (the system's reason goes to `error` when
// given). `peerAddress` receives the peer's IPv4 address; an IPv6 peer is
// kLoopback when it is exactly ::1, else 0. `peerPort`, when given, the
// peer's port.
SocketHandle acceptFrom(SocketHandle listener, std::uint32_t& peerAddress,
                        std::string* error = nullptr, std::uint16_t* peerPort = nullptr);

}  // namespace quayside::platform
