#pragma once

#include "translate/irc_line.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quayside {

// The complete lines received after the line being translated, which a
// translation may take along (numeric and message runs).
class FollowingLines {
 public:
  explicit FollowingLines(std::string_view bytes) : rest_(bytes) {}

  // The next complete line, or nothing when no further line is complete.
  std::optional<IrcLine> peek() const;
  // Takes the line peek() returned.
  void take();
  std::size_t taken() const { return taken_; }

 private:
  std::string_view rest_;
  std::size_t taken_ = 0;
};

// Whether `word` is `nick`: bytes compared with bit 0x20 set in both. A
// longer or shorter word does not match, and an empty nick matches nothing.
bool nickMatches(std::string_view nick, std::string_view word);

// The sender's nick: the nick of the line's source, or without a source its
// command word, as servers never omit the source.
std::string_view senderNick(const IrcLine& line);

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

}  // namespace quayside
