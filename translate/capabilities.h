#pragma once

#include "translate/composer.h"
#include "translate/output.h"
#include "translate/relay_state.h"

#include <cstdint>
#include <string_view>

namespace quayside {

struct ServerLine;

// IRCv3 capability negotiation (CAP 302). The registration opens with
// "CAP LS 302"; NICK and USER follow at once, as a server that knows CAP
// holds the registration until "CAP END". Of the capabilities the server
// lists, the ones Quayside reads are asked for in one "CAP REQ" (sasl too
// with login=sasl), never one it did not list; "CAP END" follows the answer,
// after SASL where it is used. A server that knows no CAP (421, or its
// welcome with no CAP answer) is registered as it always was, and told
// nothing more about CAP.

// The capabilities Quayside asks for whenever they are offered.
inline constexpr std::uint16_t kCapsWanted =
    kCapMultiPrefix | kCapAwayNotify | kCapAccountNotify | kCapExtendedJoin | kCapChghost |
    kCapServerTime | kCapMessageTags | kCapCapNotify | kCapUserhostInNames | kCapInviteNotify;

// The bit of the capability `name` ("multi-prefix", any "=value" after it
// not included); 0 for one Quayside does not know.
std::uint16_t capabilityBit(std::string_view name);

// Adds "CAP LS 302" to `lines` when the negotiation has not begun: called
// before the registration's first NICK.
void startCapabilities(RelayState& relay, Batch& lines);

// Whether the negotiation awaits the server's answer.
bool negotiatingCapabilities(const RelayState& relay);

// Rows of the server rule table: the CAP replies (LS, ACK, NAK, NEW, DEL),
// and a 421 about CAP from a server that does not know it.
bool takeCapReply(const ServerLine& line);
bool takeUnknownCap(const ServerLine& line);

// The welcome came while the negotiation awaited an answer: the server
// knows no CAP, and registration has ended without it.
void endCapabilitiesAtWelcome(RelayState& relay, RelayOutput& out);

}  // namespace quayside
