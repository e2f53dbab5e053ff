#pragma once

#include "translate/output.h"
#include "translate/relay_state.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quayside {

struct ServerLine;
class IrcLine;

// The client's IRC nick, kept apart from its DC nick: the DC nick made valid
// for IRC and cut to the server's NICKLEN, or an alternate when the server
// refuses it. The DC side keeps the nick the client chose.

// The nick the server knows the client by: the accepted IRC nick, else the
// DC nick. Lines from IRC about the client are recognised by it.
std::string_view ircNickOf(const RelayState& relay);

// The name IRC member `nick` has towards the DC client: the nick itself, or
// the nick followed by "[irc]" while it is the DC user's own DC nick and the
// DC user holds another nick on IRC, so nobody is listed (or answered) as
// the DC user. `storage` holds the longer name when one is needed.
std::string_view memberName(const RelayState& relay, std::string_view nick, std::string& storage);

// The IRC nick a name from the DC client's user list stands for: the inverse
// of memberName.
std::string_view memberNick(const RelayState& relay, std::string_view name);

// `text` from IRC with each mention of the client's IRC nick replaced by its
// DC nick, while the two differ, so the DC client sees itself named and
// highlights the line. A mention is the nick as a word: no nick character
// on either side, letters compared as the server's CASEMAPPING says
// (rfc1459 when it says nothing). Returns `text` itself when nothing is
// replaced, else the new text, held in `storage`.
std::string_view withDcNick(const RelayState& relay, std::string_view text, std::string& storage);

// Chooses the IRC nick for the DC nick just set and returns it for the NICK
// line; a later answer of the server may replace it with an alternate.
std::string_view chooseIrcNick(RelayState& relay);

// Whether a NICK of ours awaits the server's answer: during registration,
// or after a later nick change.
bool awaitsNickAnswer(const RelayState& relay);

// Takes a refusal of our NICK (432, 433, 436, 437; the rule table lets it
// through only while one awaits its answer): sends the next alternate, or
// gives up after a bound (during registration the session ends with a
// reason). False when the line is left to the usual translation.
bool takeNickRefusal(const ServerLine& line);

// The welcome (001): the nick it addresses is the IRC nick from now on.
void noteWelcomeNick(RelayState& relay, const IrcLine& line);

// The server renamed the client to `newNick` on IRC; true when that answers
// a NICK the client asked for.
bool noteOwnNickChange(RelayState& relay, std::string_view newNick);

// Tells the client "*** On IRC you are ... (why)" when its IRC nick differs
// from its DC nick; `why` replaces the reason worked out from the state.
void tellIrcNick(const RelayState& relay, RelayOutput& out, std::string_view why = {});

}  // namespace quayside
