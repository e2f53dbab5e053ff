#pragma once

#include "recording_output.h"
#include "relay/relay.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quayside::fuzz {

// A fuzz input read as a stream of receives, so receives of every size
// happen. Each receive is a two-byte little-endian header n and its bytes:
// below 0x8000, the next n + 1 input bytes (or what is left); from 0x8000,
// (n & 0x7FFF) + 1 copies of the next input byte, which reaches the
// over-long messages a short input cannot hold. At most `limit` bytes in all.
std::vector<std::string> receivesOf(std::span<const std::uint8_t> input, std::size_t limit = 65536);

// Starts the session with the login and client character set that
// `variant` picks: bits 0-1 the login (none, pass, sasl), bits 2-4 the
// character set (the default guess, UTF-8 named, or a real converter:
// windows-1251, CP932, ISO-2022-JP, ...), bits 5-7 how far the login has
// come (asked, PASS sent, SASL under way with a password held, done).
void applySessionVariant(RelayState& relay, std::uint8_t variant);

// Stops the process (a finding) unless every send to the IRC server is whole
// lines, each ending in CR LF, at most 512 bytes, with no CR, LF or NUL in it.
void checkServerSends(const testing::RecordingOutput& out);

// Stops the process unless the sends to the hub client are whole commands
// and each command either starts with one of the gateway's own "$" commands
// or does not start with '$' at all (chat and status lines, whose text
// cannot start a command).
void checkClientSends(const testing::RecordingOutput& out);

// Stops the process unless the framing state is sound: held bytes within
// the buffer and followed by a NUL.
void checkHeld(const Relay& relay);

// Stops the process with `what` as the finding.
[[noreturn]] void fail(const char* what, const std::string& detail);

}  // namespace quayside::fuzz
