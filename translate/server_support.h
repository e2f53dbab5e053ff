#pragma once

#include "translate/relay_state.h"
#include "translate/server_reading.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quayside {

// What the server announces about itself in its 005 (RPL_ISUPPORT) lines,
// and the channel status ranks read from it.

// Keeps NICKLEN (or MAXNICKLEN), PREFIX and CASEMAPPING from a 005 line.
void noteSupport(RelayState& relay, const IrcLine& line);

// How many status symbols (such as "@+" with multi-prefix) lead `entry`.
std::size_t statusSymbolCount(const RelayState& relay, std::string_view entry);
// The status symbols among `symbols` that rank at or above the channel
// operator's, one bit each: owners, admins and operators are hub operators,
// so a nonzero result makes one.
std::uint16_t operatorRanks(const RelayState& relay, std::string_view symbols);

// Whether the channel mode `letter` gives a status (it then takes a nick).
bool isStatusMode(const RelayState& relay, char letter);
// The status mode `letter`'s bit among operatorRanks' when it ranks at or
// above the channel operator's ('o' always does); else 0.
std::uint16_t operatorRankOf(const RelayState& relay, char letter);

}  // namespace quayside
