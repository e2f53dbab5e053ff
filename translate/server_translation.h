#pragma once

#include "relay/relay.h"
#include "translate/output.h"

namespace quayside {

// Translates the one IRC line that starts at serverBuffer[serverOffset] and
// ends with the first CR LF at or after it. Lines that it takes together with
// the current one (numeric and message runs) are marked by turning the CR LF
// pairs between them into two blanks; every other byte stays as it was.
void translateServerLine(Relay& relay, RelayOutput& out);

}  // namespace quayside
