#include "relay/framing.h"

#include "translate/client_translation.h"
#include "translate/server_translation.h"

#include <cstring>

namespace quayside {
namespace {

// Between receives the offset is 0, except after a discard: then it holds
// kSkipping until the discarded message's terminator has gone by, so the
// tail of an over-long message is never read as a message of its own.
constexpr std::uint32_t kSkipping = 0xFFFFFFFF;

// One direction's reassembly state, seen through references into the Relay.
struct StreamState {
  std::uint32_t& length;
  std::uint32_t& offset;
  std::array<char, kStreamCapacity + 1>& buffer;
};

StreamState stateOf(Relay& relay, Stream stream) {
  if (stream == Stream::kClient) {
    return {relay.clientLength, relay.clientOffset, relay.clientBuffer};
  }
  return {relay.serverLength, relay.serverOffset, relay.serverBuffer};
}

// Index of the first '|' in [from, length), or length when there is none.
std::uint32_t findPipe(const StreamState& s, std::uint32_t from) {
  const void* hit = std::memchr(s.buffer.data() + from, '|', s.length - from);
  return hit == nullptr
             ? s.length
             : static_cast<std::uint32_t>(static_cast<const char*>(hit) - s.buffer.data());
}

// Index of the first CR LF in [from, length) whose LF is held too, or length.
std::uint32_t findCrLf(const StreamState& s, std::uint32_t from) {
  for (std::uint32_t i = from; i + 1 < s.length; ++i) {
    const void* hit = std::memchr(s.buffer.data() + i, '\r', s.length - 1 - i);
    if (hit == nullptr) {
      break;
    }
    i = static_cast<std::uint32_t>(static_cast<const char*>(hit) - s.buffer.data());
    if (s.buffer[i + 1] == '\n') {
      return i;
    }
  }
  return s.length;
}

// While skipping, nothing is held but a final CR, which may be the first
// half of the server's CR LF.
void keepOnlyCr(StreamState& s, bool client) {
  const bool cr = !client && s.length > 0 && s.buffer[s.length - 1] == '\r';
  s.buffer[0] = '\r';
  s.length = cr ? 1 : 0;
  s.buffer[s.length] = '\0';
}

void keepUnfinished(StreamState& s) {
  const std::uint32_t rest = s.length - s.offset;
  std::memmove(s.buffer.data(), s.buffer.data() + s.offset, rest);
  s.length = rest;
  s.offset = 0;
  s.buffer[s.length] = '\0';
}

}  // namespace

std::size_t StandardTranslator::clientCommand(RelayState& relay, const Message& message,
                                              RelayOutput& out) {
  return translateClientCommand(relay, message, out, random_);
}

std::size_t StandardTranslator::serverLine(RelayState& relay, const Message& message,
                                           RelayOutput& out) {
  return translateServerLine(relay, message, out);
}

Translator& standardTranslator() {
  static StandardTranslator translator;
  return translator;
}

std::span<char> receiveArea(Relay& relay, Stream stream) {
  StreamState s = stateOf(relay, stream);
  if (s.length >= kStreamCapacity) {
    keepOnlyCr(s, stream == Stream::kClient);
    s.offset = kSkipping;
  }
  return {s.buffer.data() + s.length, kStreamCapacity - s.length};
}

void received(Relay& relay, Stream stream, std::size_t count, Translator& translator,
              RelayOutput& out) {
  StreamState s = stateOf(relay, stream);
  s.length += static_cast<std::uint32_t>(count);
  s.buffer[s.length] = '\0';
  const bool client = stream == Stream::kClient;
  const std::uint32_t terminatorSize = client ? 1 : 2;
  const auto findEnd = [&](std::uint32_t from) {
    return client ? findPipe(s, from) : findCrLf(s, from);
  };
  if (s.offset == kSkipping) {
    const std::uint32_t end = findEnd(0);
    if (end == s.length) {
      keepOnlyCr(s, client);
      return;
    }
    s.offset = end + terminatorSize;
  }
  for (;;) {
    if (s.offset == s.length) {
      s.offset = 0;
      s.length = 0;
      s.buffer[0] = '\0';
      return;
    }
    const std::uint32_t end = findEnd(s.offset);
    if (end == s.length) {
      keepUnfinished(s);
      return;
    }
    const std::uint32_t next = end + terminatorSize;
    const Message message{{s.buffer.data() + s.offset, end - s.offset},
                          {s.buffer.data() + next, s.length - next}};
    std::size_t taken = client ? translator.clientCommand(relay, message, out)
                               : translator.serverLine(relay, message, out);
    s.offset = next;
    // Messages taken along are complete; a translation can claim no more.
    for (; taken > 0; --taken) {
      const std::uint32_t takenEnd = findEnd(s.offset);
      if (takenEnd == s.length) {
        break;
      }
      s.offset = takenEnd + terminatorSize;
    }
  }
}

void feed(Relay& relay, Stream stream, std::string_view bytes, Translator& translator,
          RelayOutput& out) {
  while (!bytes.empty()) {
    const std::span<char> area = receiveArea(relay, stream);
    const std::size_t count = bytes.size() < area.size() ? bytes.size() : area.size();
    std::memcpy(area.data(), bytes.data(), count);
    bytes.remove_prefix(count);
    received(relay, stream, count, translator, out);
  }
}

}  // namespace quayside
