#pragma once

#include "relay/relay.h"
#include "translate/output.h"

namespace quayside {

// Translates the one NMDC command that starts at clientBuffer[clientOffset]
// and ends with the first '|' at or after it. Replies go to the hub client,
// IRC lines to the server, both through `out`. Reads the command in place and
// leaves clientBuffer, clientOffset and clientLength as they are.
void translateClientCommand(Relay& relay, RelayOutput& out);

}  // namespace quayside
