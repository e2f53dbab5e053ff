#pragma once

#include "relay/refusal_holds.h"
#include "relay/relay.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace quayside {

// Size of one Bridge record in the settings file.
inline constexpr std::size_t kBridgeRecordSize = 1825;
inline constexpr std::size_t kBridgeServerCapacity = 512;   // 511 characters and a NUL
inline constexpr std::size_t kBridgeChannelCapacity = 256;  // 255 characters and a NUL

// Bit 7 of `enabled`: set only while the window checks the Bridge's row itself.
inline constexpr std::uint8_t kSelfChangeMarker = 0x80;

// The first event number under which a listener's accepts are delivered.
inline constexpr std::uint32_t kFirstAcceptMessage = 1124;

// One configured gateway entry. The persistent fields mirror the record
// byte for byte (see encodeBridge); listenSocket is runtime only.
// A number no other Bridge of this process has had: a Bridge's runtime id.
std::uint32_t nextBridgeId();

struct Bridge {
  std::uint8_t enabled = 0;                            // offset 0
  std::array<char, kBridgeServerCapacity> server{};    // offset 1
  std::array<char, kBridgeChannelCapacity> channel{};  // offset 513
  std::uint16_t localPort = 0;                         // offset 769
  std::uint8_t upstreamKind = 0;                       // offset 771: nonzero IRC, 0 DC hub
  std::uint8_t clientKind = 0;                         // offset 772
  std::array<std::uint8_t, 1024> reserved{};           // offset 773, carried unchanged
  SocketHandle listenSocket = kNoSocket;               // offset 1797 (runtime; 4 bytes stored)
  std::uint32_t acceptMessage = 0;                     // offset 1801
  std::array<std::uint8_t, 16> listenAddress{};        // offset 1805, sockaddr_in layout
  std::array<std::uint8_t, 4> reservedTail{};          // offset 1821, carried unchanged

  // The listener on [::1] at the same port (runtime only), so that no other
  // program can take the port there; none where the system lacks IPv6.
  SocketHandle listenSocket6 = kNoSocket;

  SessionOptions options;  // kept inside `reserved` when stored
  // Why the options stored in `reserved` could not be read (runtime only):
  // such a Bridge is never opened with weaker options than were set, and
  // `reserved` is stored back as it was until options are set anew.
  std::string optionsProblem;
  // Runtime only: which DC nicks' retries are answered without a connect.
  // Made when the listener first opens; the Bridge's Relays share it.
  std::shared_ptr<RefusalHolds> holds;
  // Runtime only: the caps on its connections, shared with its Relays.
  std::shared_ptr<Admission> admission;
  // Runtime only, never stored: tells the Bridge's Relays and their reports
  // from every other Bridge's, whatever an Update changes.
  std::uint32_t id = nextBridgeId();
};

using BridgeRecord = std::array<std::byte, kBridgeRecordSize>;

// The most bytes of option text a record holds: its reserved bytes less the
// tag and the length before the text.
inline constexpr std::size_t kStoredOptionsLimit =
    std::tuple_size_v<decltype(Bridge::reserved)> - 10;

// The channel as the JOIN names it: '#' added unless it starts with '#' or '&'.
std::string joinedChannel(std::string_view channel);

// Why `options` cannot be stored: their text is longer than
// kStoredOptionsLimit (a record's text is refused, never cut); empty when
// they fit.
std::string storedOptionsProblem(const SessionOptions& options);

// Why a Bridge joining `channel` cannot keep `options`, naming the option;
// empty when it can. Asked wherever options are set: a room that is the
// channel itself (as joined, letters folded as IRC folds them), then
// storedOptionsProblem.
std::string bridgeOptionsProblem(const SessionOptions& options, std::string_view channel);

// The stored form: little-endian integers, listenAddress as held (its port in
// network order), listenSocket written as the open handle or 0.
BridgeRecord encodeBridge(const Bridge& bridge);

// Reads a record as stored. A stored listenSocket counts as no listener; a
// server or channel without a NUL in its width ends at the field's last byte.
Bridge decodeBridge(std::span<const std::byte, kBridgeRecordSize> record);

// The Bridge list in file and creation order. std::list keeps every Bridge at
// one address for its life, so window rows can carry a Bridge pointer.
using BridgeList = std::list<Bridge>;

}  // namespace quayside
