#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quayside {

struct ServerLine;

// The server login with the DC client's hub password (options.login pass or
// sasl). The client side asks for the password and sends PASS or "CAP REQ";
// the server side below carries SASL through and reads the verdict. With
// login none nothing here sends a byte.

// Tells the client "*** The IRC server HOST <words>" as a hub status line.
void sendLoginStatus(const RelayState& relay, RelayOutput& out, std::string_view words);

// The password was refused: "$BadPass", the reason in `words`, then the
// client is closed. The password is wiped and the login is over.
void refusePassword(RelayState& relay, RelayOutput& out, std::string_view words);

// Handles the line when it belongs to the login under way (CAP ACK/NAK,
// AUTHENTICATE, the SASL and password numerics, a password ERROR); `at` is
// where its command word starts. False when the line is left to the usual
// translation.
bool takeLoginLine(const ServerLine& line, std::size_t at);

// Whether the channel JOIN must wait: the login is not through yet, and
// numerics that come before the welcome (SASL's) do not end registration.
bool loginHoldsJoin(const RelayState& relay);

// Whether a run of numerics must stop before `number`, so the login sees it
// as a line of its own.
bool loginEndsRun(const RelayState& relay, std::uint32_t number);

}  // namespace quayside
