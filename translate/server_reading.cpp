#include "translate/server_reading.h"

namespace quayside {

bool ServerData::startsWith(std::size_t i, std::string_view bytes) const {
  return i <= bytes_.size() && bytes_.substr(i, bytes.size()) == bytes;
}

namespace {

// The stop sets hold at most three bytes: an inline loop beats a library
// search per byte on the hot path of every line.
bool isStop(char byte, std::string_view stops) {
  for (const char stop : stops) {
    if (byte == stop) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::size_t ServerData::wordEnd(std::size_t from, std::string_view stops) const {
  const std::size_t size = bytes_.size();
  std::size_t i = from;
  while (i < size && !isStop(bytes_[i], stops)) {
    ++i;
  }
  return i < size ? i : size;
}

std::size_t ServerData::find(std::size_t from, char wanted, std::string_view stops) const {
  const std::size_t size = bytes_.size();
  std::size_t i = from;
  while (i < size && bytes_[i] != wanted && !isStop(bytes_[i], stops)) {
    ++i;
  }
  return i < size ? i : size;
}

std::string_view ServerData::slice(std::size_t from, std::size_t to) const {
  if (from >= bytes_.size() || to <= from) {
    return {};
  }
  return bytes_.substr(from, to - from);
}

bool nickMatches(std::string_view nick, const ServerData& data, std::size_t at, NickEnd end) {
  if (nick.empty()) {
    return false;  // no nick yet (or none given): not an empty word
  }
  for (std::size_t k = 0; k < nick.size(); ++k) {
    // Bit 0x20 folds ASCII letters, and also []\~ onto {}|^ as IRC does.
    if (at + k >= data.size() || (data.at(at + k) | 0x20) != (nick[k] | 0x20)) {
      return false;
    }
  }
  const std::size_t after = at + nick.size();
  return after >= data.size() || data.at(after) == ' ' ||
         (end == NickEnd::kWordOrBang && data.at(after) == '!');
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

bool isNumericAt(const ServerData& data, std::size_t at) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (data.at(at + i) < '0' || data.at(at + i) > '9') {
      return false;
    }
  }
  return data.at(at + 3) == ' ';
}

std::size_t numericFrom(const ServerData& line, std::string_view prefix) {
  if (line.at(0) != ':') {
    return 0;
  }
  const std::string_view sender = linePrefix(line);
  const std::size_t digits = 1 + sender.size() + 1;
  if (!samePrefix(sender, prefix) || line.at(digits - 1) != ' ' || !isNumericAt(line, digits)) {
    return 0;
  }
  return digits;
}

std::string_view linePrefix(const ServerData& line) {
  if (line.at(0) != ':') {
    return {};
  }
  return line.slice(1, line.wordEnd(1, kPrefixStops));
}

std::string_view senderNick(const ServerData& line) {
  const std::size_t from = line.skip(0, ':');
  return line.slice(from, line.wordEnd(from, kNickStops));
}

std::string_view senderUserHost(const ServerData& line) {
  const std::string_view prefix = linePrefix(line);
  const std::size_t bang = prefix.find('!');
  if (bang == std::string_view::npos) {
    return {};
  }
  const std::size_t from = 1 + bang + 1;
  return line.slice(from, line.wordEnd(from, kUserHostStops));
}

std::optional<ServerData> FollowingLines::peek() const {
  const std::size_t end = rest_.find("\r\n");
  if (end == std::string_view::npos) {
    return std::nullopt;
  }
  return ServerData(rest_.substr(0, end));
}

void FollowingLines::take() {
  const std::size_t end = rest_.find("\r\n");
  if (end != std::string_view::npos) {
    rest_.remove_prefix(end + 2);
    ++taken_;
  }
}

}  // namespace quayside
