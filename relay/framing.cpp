#include "relay/framing.h"

#include "translate/client_translation.h"
#include "translate/server_translation.h"

#include <cstring>

namespace quayside {
namespace {

class StandardTranslator final : public Translator {
 public:
  void clientCommand(Relay& relay, RelayOutput& out) override {
    translateClientCommand(relay, out);
  }
  void serverLine(Relay& relay, RelayOutput& out) override { translateServerLine(relay, out); }
};

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

void keepUnfinished(StreamState& s) {
  const std::uint32_t rest = s.length - s.offset;
  std::memmove(s.buffer.data(), s.buffer.data() + s.offset, rest);
  s.length = rest;
  s.offset = 0;
  s.buffer[s.length] = '\0';
}

}  // namespace

Translator& standardTranslator() {
  static StandardTranslator translator;
  return translator;
}

std::span<char> receiveArea(Relay& relay, Stream stream) {
  StreamState s = stateOf(relay, stream);
  if (s.length >= kStreamCapacity) {
    s.length = 0;
    s.offset = 0;
  }
  return {s.buffer.data() + s.length, kStreamCapacity - s.length};
}

void received(Relay& relay, Stream stream, std::size_t count, Translator& translator,
              RelayOutput& out) {
  StreamState s = stateOf(relay, stream);
  s.length += static_cast<std::uint32_t>(count);
  s.buffer[s.length] = '\0';
  for (;;) {
    if (s.offset == s.length) {
      s.offset = 0;
      s.length = 0;
      s.buffer[0] = '\0';
      return;
    }
    if (stream == Stream::kClient) {
      const std::uint32_t end = findPipe(s, s.offset);
      if (end == s.length) {
        keepUnfinished(s);
        return;
      }
      translator.clientCommand(relay, out);
      s.offset = end + 1;
    } else {
      if (findCrLf(s, s.offset) == s.length) {
        keepUnfinished(s);
        return;
      }
      translator.serverLine(relay, out);
      // The translation may have taken following lines by blanking the CR LF
      // pairs between them: whatever ends at the next CR LF now is processed.
      const std::uint32_t end = findCrLf(s, s.offset);
      s.offset = end == s.length ? s.length : end + 2;
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
