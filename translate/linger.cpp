#include "translate/linger.h"

namespace quayside {

void detachClient(RelayState& relay, RelayOutput& out, std::int64_t now) {
  out.send(Peer::kServer, "AWAY :Away (DC client disconnected)\r\n");
  relay.detachedAt = now;
}

void attachClient(RelayState& relay) {
  relay.detachedAt = 0;
}

}  // namespace quayside
