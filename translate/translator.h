#pragma once

#include "core/random.h"
#include "translate/output.h"
#include "translate/relay_state.h"
#include "translate/server_translation.h"

#include <cstddef>
#include <utility>

namespace quayside {

// The two translation entries as the relay calls them; tests plug in their
// own. Each gets one complete message and the bytes received after it, and
// returns how many of the following messages it took along.
class Translator {
 public:
  virtual ~Translator() = default;
  virtual std::size_t clientCommand(RelayState& relay, const Message& message,
                                    RelayOutput& out) = 0;
  virtual std::size_t serverLine(RelayState& relay, const Message& message, RelayOutput& out) = 0;
};

// The real translations; the made-up USER host draws from `random`, the
// times in server replies are shown as `localTime` tells them, and `now`
// tells how old a played-back line is.
class StandardTranslator final : public Translator {
 public:
  StandardTranslator(RandomSource random, LocalTimeSource localTime, UnixClock now)
      : random_(std::move(random)), localTime_(std::move(localTime)), now_(std::move(now)) {}

  std::size_t clientCommand(RelayState& relay, const Message& message, RelayOutput& out) override;
  std::size_t serverLine(RelayState& relay, const Message& message, RelayOutput& out) override;

 private:
  RandomSource random_;
  LocalTimeSource localTime_;
  UnixClock now_;
};

}  // namespace quayside
