#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quayside {

struct ServerLine;

// The server login with the DC client's hub password (options.login pass or
// sasl). The client side asks for the password and sends PASS, or holds it
// for SASL, which the capability negotiation asks for; the server side below
// carries SASL through and reads the verdict. With
// login none nothing here sends a byte.

// Tells the client "*** The IRC server HOST <words>" as a hub status line.
void sendLoginStatus(const RelayState& relay, RelayOutput& out, std::string_view words);

// The password was refused: "$BadPass", the reason in `words`, then the
// client is closed. The password is wiped and the login is over.
void refusePassword(RelayState& relay, RelayOutput& out, std::string_view words);

// The server's side of the login, rows of the server rule table (which
// lets them through only while a login mode is set). Each is false when the
// line does not belong to the login after all and is left to the next row.
bool takeChallenge(const ServerLine& line);         // AUTHENTICATE
bool takePasswordError(const ServerLine& line);     // ERROR saying "password" after PASS
bool notePassWelcome(const ServerLine& line);       // 001: PASS was taken; never takes the line
bool takePasswordMismatch(const ServerLine& line);  // 464
bool takeSaslSuccess(const ServerLine& line);       // 903, 907
bool takeSaslRefusal(const ServerLine& line);       // 904
bool takeSaslFailure(const ServerLine& line);       // 902, 905, 906

// The negotiation's answers for login=sasl (capabilities.cpp): sasl was
// acknowledged, so the login begins; or the server offers none, so the
// negotiation ends with the user told they are not logged in.
void beginSasl(RelayState& relay, RelayOutput& out);
void refuseSaslOffer(RelayState& relay, RelayOutput& out);

// Whether the channel JOIN must wait: the login is not through yet, and
// numerics that come before the welcome (SASL's) do not end registration.
bool loginHoldsJoin(const RelayState& relay);

}  // namespace quayside
