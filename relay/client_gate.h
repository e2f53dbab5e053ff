#pragma once

#include "platform/stream.h"
#include "relay/refusal_holds.h"
#include "relay/relay.h"
#include "translate/client_charset.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace quayside {

// What the relay does with a client before any IRC connection: read it up
// to its nick, ask the Bridge's own password, wait for the Bridge's turn to
// connect, answer a held nick.

// What the client sent before the connect.
struct EarlyWords {
  std::string bytes;             // every byte, framed once the server is connected
  std::unique_ptr<Relay> probe;  // the conversation as those bytes left it
  std::string gone;              // why the client's side ended meanwhile, if it did
};

// Reads the client until it has named itself, for `wait` at most.
EarlyWords readUpToNick(const Relay& relay, std::chrono::milliseconds wait);

// How the Bridge's own password went.
struct PasswordGate {
  bool passed = false;
  std::string end;       // why the session ends (when not passed)
  bool byClient = true;  // the client left, or took too long
  bool asked = false;    // "$GetPass" went to the client
};

inline constexpr std::string_view kLocalPasswordRefused = "Quayside refused the hub password";

// Asks the client for the Bridge's own password and checks what it gives,
// before any IRC traffic. The password is compared as the IRC login would
// send it (unescaped), and one with a NUL byte is refused, never cut.
PasswordGate passLocalPassword(Relay& relay, EarlyWords& early);

// How offering a named client to its Bridge's lingering sessions went.
struct Reattach {
  bool handedOver = false;     // the client and early.bytes now belong to a lingering session
  bool askedPassword = false;  // "$GetPass" went: the client's "$MyPass" is in early.bytes
  std::string end;             // the client left (or gave no password) meanwhile
  std::string why;             // why it was not handed over; empty when nothing lingers
};

// Hands the client over to the session that lingers on relay.lingers as
// its nick, if one does. With a login mode the client must give (if it has
// not yet) the password that session logged in with, checked against the
// session's salted hash. Handed over, relay.client is null.
Reattach offerToLingering(Relay& relay, EarlyWords& early);

// Waits for the Bridge's turn for this session's IRC connection (none with
// pacing off), while watching the client for its close (its commands wait
// in the socket) and Quayside for its stop. Returns why the session ends
// instead, or an empty string.
std::string waitForConnectTurn(const Relay& relay);

// What a retry inside a hold is told after the lock: the last reason and
// when Quayside tries again; a refused password is refused again first.
std::string heldAnswer(const Hold& hold, ClientEncoding encoding);

// Closes the client's connection so that what it was just told arrives. A
// close with the client's commands still unread (its answer to the lock)
// resets the connection, and a reset may discard the status lines before
// the client reads them; so the relay stops sending and reads until the
// client closes, for a short while at most.
void closeClientAfterTelling(platform::ByteStream& client);

}  // namespace quayside
