#pragma once

#include "relay/relay.h"
#include "translate/output.h"

#include <cstddef>
#include <span>
#include <string_view>

namespace quayside {

// The two translation entries as the relay calls them; tests plug in their own.
class Translator {
 public:
  virtual ~Translator() = default;
  // One complete NMDC command at clientBuffer[clientOffset], ended by '|'.
  virtual void clientCommand(Relay& relay, RelayOutput& out) = 0;
  // One complete IRC line at serverBuffer[serverOffset], ended by CR LF.
  virtual void serverLine(Relay& relay, RelayOutput& out) = 0;
};

// The real translations.
Translator& standardTranslator();

// Framing of the two byte streams held in a Relay. A receive goes into
// receiveArea() and is then accounted for with received(), which hands every
// complete message to the translator in stream order.
enum class Stream { kClient, kServer };

// Where the next receive on `stream` goes: right after the held bytes, never
// empty. A buffer already full of one unterminated message is discarded
// first, so an over-long message is lost rather than blocking the stream.
std::span<char> receiveArea(Relay& relay, Stream stream);

// Accounts for `count` bytes just received into receiveArea() and runs the
// translator for each complete message. Unfinished bytes move to the start.
void received(Relay& relay, Stream stream, std::size_t count, Translator& translator,
              RelayOutput& out);

// Feeds `bytes` as one or more receives (as many as the buffer room needs).
void feed(Relay& relay, Stream stream, std::string_view bytes, Translator& translator,
          RelayOutput& out);

}  // namespace quayside
