#pragma once

#include "relay/relay.h"
#include "translate/output.h"
#include "translate/translator.h"

#include <cstddef>
#include <span>
#include <string_view>

namespace quayside {

// The real translations with the process-wide random words and the
// system's time zone.
Translator& standardTranslator();

// Framing of the two byte streams held in a Relay: it owns the receive
// buffers and the message boundaries. A receive goes into receiveArea() and
// is then accounted for with received(), which hands every complete message
// to the translator in stream order and steps over those it took along.
enum class Stream { kClient, kServer };

// Where the next receive on `stream` goes: right after the held bytes, never
// empty. A buffer already full of one unterminated message is discarded
// first, and the rest of that message is skipped up to its terminator, so an
// over-long message is lost whole rather than blocking the stream or having
// its tail read as a message. A chat or private message from the client goes
// on in the long buffer up to kLongMessageLimit instead, and past it is
// refused: the client is told.
std::span<char> receiveArea(Relay& relay, Stream stream);

// Accounts for `count` bytes just received into receiveArea() and runs the
// translator for each complete message. Unfinished bytes move to the start.
void received(Relay& relay, Stream stream, std::size_t count, Translator& translator,
              RelayOutput& out);

// Feeds `bytes` as one or more receives (as many as the buffer room needs).
void feed(Relay& relay, Stream stream, std::string_view bytes, Translator& translator,
          RelayOutput& out);

}  // namespace quayside
