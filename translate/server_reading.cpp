#include "translate/server_reading.h"

namespace quayside {

bool nickMatches(std::string_view nick, std::string_view word) {
  if (nick.empty() || word.size() != nick.size()) {
    return false;  // no nick yet (or none given): not an empty word
  }
  for (std::size_t k = 0; k < nick.size(); ++k) {
    // Bit 0x20 folds ASCII letters, and also []\~ onto {}|^ as IRC does.
    if ((word[k] | 0x20) != (nick[k] | 0x20)) {
      return false;
    }
  }
  return true;
}

std::string_view senderNick(const IrcLine& line) {
  return line.hasSource() ? line.nick() : line.command();
}

std::uint32_t prefixHash(std::string_view prefix) {
  std::uint32_t h = 0;
  for (const char byte : prefix) {
    h += static_cast<unsigned char>(byte);
    h = (h << 3) | (h >> 29);
  }
  return h;
}

bool samePrefix(std::string_view a, std::string_view b) {
  return prefixHash(a) == prefixHash(b) && a == b;
}

std::size_t stripFormatting(std::string_view text, char* out, std::size_t capacity) {
  const auto isDigit = [&](std::size_t i) {
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
  };
  const auto isHex = [&](std::size_t i) {
    return isDigit(i) || (i < text.size() && ((text[i] >= 'a' && text[i] <= 'f') ||
                                              (text[i] >= 'A' && text[i] <= 'F')));
  };
  // Past at most six hex digits from i.
  const auto skipHex = [&](std::size_t i) {
    for (std::size_t k = 0; k < 6 && isHex(i); ++k) {
      ++i;
    }
    return i;
  };
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < text.size() && written < capacity) {
    const char byte = text[i];
    if (byte == '\x03') {
      // Colour: foreground digits, then ',' and background digits, any count.
      ++i;
      while (isDigit(i)) {
        ++i;
      }
      if (i < text.size() && text[i] == ',') {
        ++i;
        while (isDigit(i)) {
          ++i;
        }
      }
      continue;
    }
    if (byte == '\x04') {
      // Hex colour: RRGGBB, then ',' and a background RRGGBB.
      i = skipHex(i + 1);
      if (i < text.size() && text[i] == ',' && isHex(i + 1)) {
        i = skipHex(i + 1);
      }
      continue;
    }
    switch (byte) {
      case '\x01':  // CTCP
      case '\x02':  // bold
      case '\x0f':  // reset
      case '\x11':  // monospace
      case '\x16':  // reverse
      case '\x1d':  // italics
      case '\x1e':  // strikethrough
      case '\x1f':  // underline
        break;
      default:
        out[written++] = byte;
    }
    ++i;
  }
  return written;
}

std::optional<IrcLine> FollowingLines::peek() const {
  const std::size_t end = rest_.find("\r\n");
  if (end == std::string_view::npos) {
    return std::nullopt;
  }
  return IrcLine(rest_.substr(0, end));
}

void FollowingLines::take() {
  const std::size_t end = rest_.find("\r\n");
  if (end != std::string_view::npos) {
    rest_.remove_prefix(end + 2);
    ++taken_;
  }
}

}  // namespace quayside
