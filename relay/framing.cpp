#include "relay/framing.h"

#include "platform/clock.h"

#include <cstring>
#include <string_view>

namespace quayside {
namespace {

// Between receives the offset is 0, except after a discard: then it holds
// kSkipping until the discarded message's terminator has gone by, so the
// tail of an over-long message is never read as a message of its own.
constexpr std::uint32_t kSkipping = 0xFFFFFFFF;
// As kSkipping, for a chat or private message over kLongMessageLimit: the
// client is told at the next receive that its message was not sent.
constexpr std::uint32_t kRefusing = 0xFFFFFFFE;

// The long buffer holds a message of the limit and its '|'.
constexpr std::uint32_t kLongCapacity = kLongMessageLimit + 1;

static_assert(kLongMessageLimit == 65536, "the refusal names the limit");
constexpr std::string_view kRefusal =
    "*** Your message was not sent: it is longer than 65,536 bytes|";

// One direction's reassembly state, seen through references into the Relay:
// the inline buffer, or the client's long buffer while it is in use.
struct StreamState {
  std::uint32_t& length;
  std::uint32_t& offset;
  char* buffer;
  std::uint32_t capacity;
};

StreamState stateOf(Relay& relay, Stream stream) {
  if (stream == Stream::kServer) {
    return {relay.serverLength, relay.serverOffset, relay.serverBuffer.data(), kStreamCapacity};
  }
  if (relay.clientLongBuffer) {
    return {relay.clientLength, relay.clientOffset, relay.clientLongBuffer.get(), kLongCapacity};
  }
  return {relay.clientLength, relay.clientOffset, relay.clientBuffer.data(), kStreamCapacity};
}

// Chat and private messages carry pasted text, so they may outgrow the
// inline buffer; every other command fits it or is discarded.
bool mayBeLong(const StreamState& s) {
  const std::string_view held(s.buffer, s.length);
  return held.starts_with('<') || held.starts_with("$To:");
}

// Index of the first '|' in [from, length), or length when there is none.
std::uint32_t findPipe(const StreamState& s, std::uint32_t from) {
  const void* hit = std::memchr(s.buffer + from, '|', s.length - from);
  return hit == nullptr ? s.length
                        : static_cast<std::uint32_t>(static_cast<const char*>(hit) - s.buffer);
}

// Index of the first CR LF in [from, length) whose LF is held too, or length.
std::uint32_t findCrLf(const StreamState& s, std::uint32_t from) {
  for (std::uint32_t i = from; i + 1 < s.length; ++i) {
    const void* hit = std::memchr(s.buffer + i, '\r', s.length - 1 - i);
    if (hit == nullptr) {
      break;
    }
    i = static_cast<std::uint32_t>(static_cast<const char*>(hit) - s.buffer);
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
  std::memmove(s.buffer, s.buffer + s.offset, rest);
  s.length = rest;
  s.offset = 0;
  s.buffer[s.length] = '\0';
}

}  // namespace

Translator& standardTranslator() {
  static StandardTranslator translator(randomWord, platform::localCalendarTime, platform::unixTime);
  return translator;
}

std::span<char> receiveArea(Relay& relay, Stream stream) {
  StreamState s = stateOf(relay, stream);
  // Held bytes this long are one unfinished message at the buffer's start.
  if (s.length >= kStreamCapacity) {
    const bool client = stream == Stream::kClient;
    if (client && mayBeLong(s) && s.length < kLongCapacity) {
      if (!relay.clientLongBuffer) {
        relay.clientLongBuffer.reset(new char[kLongCapacity + 1]);
        std::memcpy(relay.clientLongBuffer.get(), s.buffer, s.length + 1);
        s.buffer = relay.clientLongBuffer.get();
        s.capacity = kLongCapacity;
      }
    } else {
      const bool refused = client && mayBeLong(s);
      if (client) {
        relay.clientLongBuffer.reset();
        s.buffer = relay.clientBuffer.data();
        s.capacity = kStreamCapacity;
      }
      keepOnlyCr(s, client);
      s.offset = refused ? kRefusing : kSkipping;
    }
  }
  return {s.buffer + s.length, s.capacity - s.length};
}

namespace {

void frame(Relay& relay, Stream stream, std::size_t count, Translator& translator,
           RelayOutput& out) {
  StreamState s = stateOf(relay, stream);
  s.length += static_cast<std::uint32_t>(count);
  s.buffer[s.length] = '\0';
  const bool client = stream == Stream::kClient;
  const std::uint32_t terminatorSize = client ? 1 : 2;
  const auto findEnd = [&](std::uint32_t from) {
    return client ? findPipe(s, from) : findCrLf(s, from);
  };
  if (s.offset == kRefusing) {
    out.send(Peer::kClient, kRefusal);
    s.offset = kSkipping;
  }
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
    const Message message{{s.buffer + s.offset, end - s.offset},
                          {s.buffer + next, s.length - next}};
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

}  // namespace

void received(Relay& relay, Stream stream, std::size_t count, Translator& translator,
              RelayOutput& out) {
  frame(relay, stream, count, translator, out);
  // Held bytes that fit the inline buffer again go back to it, and the long
  // buffer is let go: an idle relay holds nothing on the heap.
  if (stream == Stream::kClient && relay.clientLongBuffer && relay.clientLength < kStreamCapacity) {
    std::memcpy(relay.clientBuffer.data(), relay.clientLongBuffer.get(), relay.clientLength + 1);
    relay.clientLongBuffer.reset();
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
