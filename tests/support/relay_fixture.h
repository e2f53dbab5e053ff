#pragma once

#include "relay/framing.h"
#include "relay/relay.h"

#include <memory>
#include <string_view>

namespace quayside::testing {

// A fresh Relay on the heap (it is too big for a test's stack).
inline std::unique_ptr<Relay> makeRelay(std::string_view channel = "#c",
                                        std::string_view nick = "") {
  auto relay = std::make_unique<Relay>();
  relay->channel.assign(channel);
  relay->nick.assign(nick);
  return relay;
}

// Feeds bytes to the real framing as one receive, as the relay thread would,
// so each complete message reaches `translator` exactly as in production.
inline void feedClient(Relay& relay, std::string_view bytes, RelayOutput& out,
                       Translator& translator = standardTranslator()) {
  feed(relay, Stream::kClient, bytes, translator, out);
}
inline void feedServer(Relay& relay, std::string_view bytes, RelayOutput& out,
                       Translator& translator = standardTranslator()) {
  feed(relay, Stream::kServer, bytes, translator, out);
}

}  // namespace quayside::testing
