#pragma once

#include "relay/relay.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quayside {

// Stop bytes of the words in IRC lines. CR LF and the end of the received
// data end every word as well.
inline constexpr std::string_view kNickStops{" !:", 3};          // a nick in a prefix, KICK, NICK
inline constexpr std::string_view kParameterStops{" \0", 2};     // MODE parameters, names
inline constexpr std::string_view kPrefixStops{" \0", 2};        // a whole prefix
inline constexpr std::string_view kNumericWordStops{" :\0", 3};  // words before a numeric's text
inline constexpr std::string_view kUserHostStops{" :\0", 3};     // user@host after a prefix's '!'
inline constexpr std::string_view kTextStops{"\0", 1};           // the rest of a line

// The bytes received from the server, read with bounds: an index at or past
// the end of the received data reads as NUL, so no rule reads beyond it.
class ServerData {
 public:
  explicit ServerData(std::string_view bytes) : bytes_(bytes) {}
  explicit ServerData(const Relay& relay)
      : bytes_(relay.serverBuffer.data(),
               relay.serverLength < kStreamCapacity ? relay.serverLength : kStreamCapacity) {}

  std::size_t size() const { return bytes_.size(); }
  char at(std::size_t i) const { return i < bytes_.size() ? bytes_[i] : '\0'; }
  const char* pointer(std::size_t i) const { return bytes_.data() + i; }

  // A CR LF pair at i, both bytes received.
  bool crlfAt(std::size_t i) const {
    return i + 1 < bytes_.size() && at(i) == '\r' && at(i + 1) == '\n';
  }
  // The first CR LF at or after `from`, or size() when the line is not complete.
  std::size_t findCrLf(std::size_t from) const;

  bool startsWith(std::size_t i, std::string_view bytes) const;
  // Past `byte` when it stands at i, else i.
  std::size_t skip(std::size_t i, char byte) const {
    return at(i) == byte && i < size() ? i + 1 : i;
  }

  // Where the word at `from` ends: at the first of `stops`, a CR LF or the end.
  std::size_t wordEnd(std::size_t from, std::string_view stops) const;
  // The first `byte` at or after `from`, or where the search stopped (at one
  // of `stops`, a CR LF or the end).
  std::size_t find(std::size_t from, char byte, std::string_view stops) const;

  std::string_view slice(std::size_t from, std::size_t to) const;

 private:
  std::string_view bytes_;
};

// How a nick in the line may end for nickMatches.
enum class NickEnd {
  kWord,        // a space or CR LF
  kWordOrBang,  // also '!', for the nick of a prefix
};

// Whether the word at `at` is `nick`: bytes compared with bit 0x20 set in
// both, followed by a space or CR LF (or '!' with kWordOrBang). A longer word
// or one ending in any other way does not match.
bool nickMatches(std::string_view nick, const ServerData& data, std::size_t at,
                 NickEnd end = NickEnd::kWord);

// A cheap fingerprint of a prefix: h = rotl(h + byte, 3) over its bytes.
std::uint32_t prefixHash(std::string_view prefix);

// Two prefixes name the same sender. The hash is easy to collide on purpose,
// so the bytes are compared too: nobody can have lines merged under another
// user's name.
bool samePrefix(std::string_view a, std::string_view b);

// Copies `text` to `out` without IRC formatting codes: 0x03 with its colour
// digits (and a ',' with its digits), and 0x01, 0x02, 0x16, 0x1F. At most
// `capacity` bytes are written; returns the count.
std::size_t stripFormatting(std::string_view text, char* out, std::size_t capacity);

// The prefix of the line at `lineStart` (the bytes after its ':'), or empty
// when the line has none.
std::string_view linePrefix(const ServerData& data, std::size_t lineStart);
// The sender's nick: the first word of the line past its ':' (nick stops).
// Without a prefix it is the line's first word, as servers never omit it.
std::string_view senderNick(const ServerData& data, std::size_t lineStart);
// The user@host part of the prefix, after its '!'; empty without one.
std::string_view senderUserHost(const ServerData& data, std::size_t lineStart);

}  // namespace quayside
