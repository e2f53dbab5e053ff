#pragma once

#include "translate/client_charset.h"
#include "translate/relay_state.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quayside {

// The lines the relay itself says to either peer, beside the translations.

// The 47-byte greeting that opens every hub session.
inline constexpr std::string_view kLockString = "$Lock EXTENDEDPROTOCOL_QUAYSIDE Pk=version1.00|";
// Asks the client for a hub password, and refuses the one it gave.
inline constexpr std::string_view kGetPass = "$GetPass|";
inline constexpr std::string_view kBadPass = "$BadPass|";
// Sent after a long server silence: any answer proves the server alive.
inline constexpr std::string_view kLivenessPing = "PING :quayside\r\n";
// Sent when the DC client disconnects, before the server connection closes.
inline constexpr std::string_view kClientQuit = "QUIT :DC client left\r\n";
// Sent when Quayside stops (the daemon, or the window's Exit), and the
// reason the session ends then.
inline constexpr std::string_view kStopQuit = "QUIT :Quayside stopped\r\n";
inline constexpr std::string_view kStopReason = "Quayside stopped";

// What a client past a Bridge's caps is told after the lock (ASCII, so the
// same in every character set).
std::string tooManySessionsLine(std::uint16_t maxSessions);

// Room for a status line made of an end reason and a server's name.
inline constexpr std::size_t kStatusLineArea = kEndReasonCapacity * 2 + kServerTextCapacity * 2;

// Appends one hub status line, "*** " and `text`, in the client's character
// set like every other text the client is shown. The text may hold foreign
// bytes (a server's ERROR, a system message): control bytes become blanks
// so it stays one line, and it is NMDC-escaped like any chat, so it is
// never a command. Escaped, it is cut to `areaSize` bytes.
void appendStatusLine(std::string& bytes, std::string text, ClientEncoding encoding,
                      std::size_t areaSize = kStatusLineArea);

}  // namespace quayside
