#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quayside {

// Stop bytes of the words in IRC lines. The end of the line ends every word
// as well.
inline constexpr std::string_view kNickStops{" !:", 3};          // a nick in a prefix, KICK, NICK
inline constexpr std::string_view kParameterStops{" \0", 2};     // MODE parameters, names
inline constexpr std::string_view kPrefixStops{" \0", 2};        // a whole prefix
inline constexpr std::string_view kNumericWordStops{" :\0", 3};  // words before a numeric's text
inline constexpr std::string_view kUserHostStops{" :\0", 3};     // user@host after a prefix's '!'
inline constexpr std::string_view kTextStops{"\0", 1};           // the rest of a line

// One IRC line from the server, its CR LF excluded, read with bounds: an
// index at or past its end reads as NUL, so no rule reads beyond it.
class ServerData {
 public:
  ServerData() = default;
  explicit ServerData(std::string_view line) : bytes_(line) {}

  std::size_t size() const { return bytes_.size(); }
  char at(std::size_t i) const { return i < bytes_.size() ? bytes_[i] : '\0'; }
  const char* pointer(std::size_t i) const { return bytes_.data() + i; }

  bool startsWith(std::size_t i, std::string_view bytes) const;
  // Past `byte` when it stands at i, else i.
  std::size_t skip(std::size_t i, char byte) const {
    return at(i) == byte && i < size() ? i + 1 : i;
  }

  // Where the word at `from` ends: at the first of `stops` or the line's end.
  std::size_t wordEnd(std::size_t from, std::string_view stops) const;
  // The first `byte` at or after `from`, or where the search stopped (at one
  // of `stops` or the line's end).
  std::size_t find(std::size_t from, char byte, std::string_view stops) const;

  std::string_view slice(std::size_t from, std::size_t to) const;

 private:
  std::string_view bytes_;
};

// The complete lines received after the line being translated, which a
// translation may take along (numeric and message runs).
class FollowingLines {
 public:
  explicit FollowingLines(std::string_view bytes) : rest_(bytes) {}

  // The next complete line, or nothing when no further line is complete.
  std::optional<ServerData> peek() const;
  // Takes the line peek() returned.
  void take();
  std::size_t taken() const { return taken_; }

 private:
  std::string_view rest_;
  std::size_t taken_ = 0;
};

// How a nick in the line may end for nickMatches.
enum class NickEnd {
  kWord,        // a space or CR LF
  kWordOrBang,  // also '!', for the nick of a prefix
};

// Whether the word at `at` is `nick`: bytes compared with bit 0x20 set in
// both, followed by a space or the line's end (or '!' with kWordOrBang). A
// longer word or one ending in any other way does not match, and an empty
// nick matches nothing.
bool nickMatches(std::string_view nick, const ServerData& data, std::size_t at,
                 NickEnd end = NickEnd::kWord);

// A cheap fingerprint of a prefix: h = rotl(h + byte, 3) over its bytes.
std::uint32_t prefixHash(std::string_view prefix);

// Two prefixes name the same sender. The hash is easy to collide on purpose,
// so the bytes are compared too: nobody can have lines merged under another
// user's name.
bool samePrefix(std::string_view a, std::string_view b);

// Copies `text` to `out` without IRC formatting codes: 0x03 with its colour
// digits (and a ',' with its digits), 0x04 with its hex colours, bold 0x02,
// reset 0x0F, monospace 0x11, reverse 0x16, italics 0x1D, strikethrough
// 0x1E, underline 0x1F, and CTCP's 0x01. At most `capacity` bytes are
// written; returns the count.
std::size_t stripFormatting(std::string_view text, char* out, std::size_t capacity);

// Whether three ASCII digits and a space stand at `at`.
bool isNumericAt(const ServerData& data, std::size_t at);
// Where the digits of `line` start when it is a numeric from the sender
// `prefix`; zero when it is not.
std::size_t numericFrom(const ServerData& line, std::string_view prefix);

// The prefix of the line (the bytes after its ':'), or empty when it has none.
std::string_view linePrefix(const ServerData& line);
// The sender's nick: the first word of the line past its ':' (nick stops).
// Without a prefix it is the line's first word, as servers never omit it.
std::string_view senderNick(const ServerData& line);
// The user@host part of the prefix, after its '!'; empty without one.
std::string_view senderUserHost(const ServerData& line);

}  // namespace quayside
