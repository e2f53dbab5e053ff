#pragma once

#include "relay/framing.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quayside::testing {

// Stands in for the real translations: records each message exactly as the
// framing hands it over (without its terminator), and takes along as many
// following messages as `take` says.
class RecordingTranslator : public Translator {
 public:
  std::size_t clientCommand(RelayState&, const Message& message, RelayOutput&) override {
    commands.emplace_back(message.bytes);
    return take ? take(message) : 0;
  }

  std::size_t serverLine(RelayState&, const Message& message, RelayOutput& out) override {
    lines.emplace_back(message.bytes);
    if (onLine) {
      onLine(message, out);
    }
    return take ? take(message) : 0;
  }

  std::vector<std::string> commands;
  std::vector<std::string> lines;
  std::function<std::size_t(const Message&)> take;
  std::function<void(const Message&, RelayOutput&)> onLine;
};

}  // namespace quayside::testing
