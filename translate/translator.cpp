#include "translate/translator.h"

#include "translate/client_translation.h"

namespace quayside {

std::size_t StandardTranslator::clientCommand(RelayState& relay, const Message& message,
                                              RelayOutput& out) {
  return translateClientCommand(relay, message, out, random_, localTime_, now_);
}

std::size_t StandardTranslator::serverLine(RelayState& relay, const Message& message,
                                           RelayOutput& out) {
  return translateServerLine(relay, message, out, localTime_, now_);
}

}  // namespace quayside
