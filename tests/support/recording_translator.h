#pragma once

#include "relay/framing.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace quayside::testing {

// Stands in for the real translations: records each message exactly as the
// framing hands it over (command through '|', line without its CR LF).
class RecordingTranslator : public Translator {
 public:
  void clientCommand(Relay& relay, RelayOutput& out) override {
    const char* start = relay.clientBuffer.data() + relay.clientOffset;
    const char* end =
        static_cast<const char*>(std::memchr(start, '|', relay.clientLength - relay.clientOffset));
    commands.emplace_back(start, end == nullptr ? start : end + 1);
    if (onCommand) {
      onCommand(relay, out);
    }
  }

  void serverLine(Relay& relay, RelayOutput& out) override {
    const std::string held(relay.serverBuffer.data() + relay.serverOffset,
                           relay.serverLength - relay.serverOffset);
    lines.push_back(held.substr(0, held.find("\r\n")));
    if (onLine) {
      onLine(relay, out);
    }
  }

  std::vector<std::string> commands;
  std::vector<std::string> lines;
  std::function<void(Relay&, RelayOutput&)> onCommand;
  std::function<void(Relay&, RelayOutput&)> onLine;
};

}  // namespace quayside::testing
