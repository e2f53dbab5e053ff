#include "translate/client_charset.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace quayside {
namespace {

// windows-1252 0x80..0x9F; the five bytes it leaves undefined keep their
// C1 code points, so no byte is lost.
constexpr std::array<std::uint16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool isContinuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

// Bytes of the valid UTF-8 character at text[i], or 0 when none starts there.
std::size_t characterLength(std::string_view text, std::size_t i) {
  if (static_cast<unsigned char>(text[i]) < 0x80u) {
    return 1;
  }
  return utf8CharacterAt(text, i).length;
}

// How many leading bytes of `text` are valid UTF-8. Chat is mostly ASCII,
// so eight bytes at a time are checked for a high bit first.
std::size_t validLength(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.size() - i >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, text.data() + i, 8);
      if ((word & 0x8080808080808080u) == 0) {
        i += 8;
        continue;
      }
    }
    const std::size_t length = characterLength(text, i);
    if (length == 0) {
      return i;
    }
    i += length;
  }
  return i;
}

// The UTF-8 form of `byte` read as windows-1252; returns its length.
std::size_t windows1252(char byte, std::array<char, 3>& out) {
  const auto value = static_cast<unsigned char>(byte);
  const std::uint32_t point =
      value >= 0x80 && value < 0xA0 ? kWindows1252High[value - 0x80] : value;
  if (point < 0x80) {
    out[0] = static_cast<char>(point);
    return 1;
  }
  if (point < 0x800) {
    out[0] = static_cast<char>(0xC0 | (point >> 6));
    out[1] = static_cast<char>(0x80 | (point & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (point >> 12));
  out[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (point & 0x3F));
  return 3;
}

class Windows1252 final : public TextConverter {
 public:
  Conversion toUtf8(std::string_view text, std::span<char> out) override {
    Conversion done;
    for (const char byte : text) {
      std::array<char, 3> character{};
      const std::size_t length = windows1252(byte, character);
      if (out.size() - done.written < length) {
        break;
      }
      std::memcpy(out.data() + done.written, character.data(), length);
      done.written += length;
      ++done.read;
    }
    return done;
  }

  Conversion fromUtf8(std::string_view text, std::span<char> out) override {
    Conversion done;
    while (done.read < text.size() && done.written < out.size()) {
      const std::size_t length = std::max<std::size_t>(characterLength(text, done.read), 1);
      out[done.written++] = byteFor(text.substr(done.read, length));
      done.read += length;
    }
    return done;
  }

 private:
  // The windows-1252 byte of one UTF-8 character, or '?' when it has none.
  static char byteFor(std::string_view character) {
    std::uint32_t point = static_cast<unsigned char>(character[0]);
    if (character.size() > 1) {
      point &= 0x7Fu >> character.size();
      for (std::size_t k = 1; k < character.size(); ++k) {
        point = point << 6 | (static_cast<unsigned char>(character[k]) & 0x3Fu);
      }
    }
    if (point < 0x80 || (point >= 0xA0 && point <= 0xFF)) {
      return static_cast<char>(point);
    }
    for (std::size_t i = 0; i < kWindows1252High.size(); ++i) {
      if (kWindows1252High[i] == point) {
        return static_cast<char>(0x80 + i);
      }
    }
    return '?';
  }
};

}  // namespace

TextConverter& windows1252Converter() {
  static Windows1252 converter;
  return converter;
}

ClientEncoding clientEncoding(const RelayState& relay) {
  if (relay.clientCharset != nullptr) {
    return {relay.clientCharset};
  }
  if (relay.options.utf8Named()) {
    return {nullptr, true};
  }
  return {relay.clientSpeaksWindows1252 ? &windows1252Converter() : nullptr};
}

void noteClientText(RelayState& relay, std::string_view command) {
  if (relay.clientCharset == nullptr && !relay.options.utf8Named() &&
      !relay.clientSpeaksWindows1252 && !isValidUtf8(command)) {
    relay.clientSpeaksWindows1252 = true;
  }
}

std::string_view clientTextToUtf8(const RelayState& relay, std::string_view text,
                                  std::span<char> scratch) {
  if (relay.clientCharset != nullptr) {
    return {scratch.data(), relay.clientCharset->toUtf8(text, scratch).written};
  }
  if (isValidUtf8(text)) {
    return text;
  }
  if (relay.options.utf8Named()) {
    return {scratch.data(), repairUtf8(text, scratch, true).written};
  }
  return {scratch.data(), windows1252Converter().toUtf8(text, scratch).written};
}

Utf8Character utf8CharacterAt(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80u) {
    return {lead, 1};
  }
  std::size_t length = 0;
  std::uint32_t smallest = 0;
  if ((lead & 0xE0u) == 0xC0u) {
    length = 2;
    smallest = 0x80;
  } else if ((lead & 0xF0u) == 0xE0u) {
    length = 3;
    smallest = 0x800;
  } else if ((lead & 0xF8u) == 0xF0u) {
    length = 4;
    smallest = 0x10000;
  } else {
    return {};
  }
  if (text.size() - i < length) {
    return {};
  }
  std::uint32_t point = lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if (!isContinuation(text[i + k])) {
      return {};
    }
    point = point << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
  }
  if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return {};
  }
  return {point, length};
}

bool isValidUtf8(std::string_view text) {
  return validLength(text) == text.size();
}

Conversion repairUtf8(std::string_view text, std::span<char> out, bool replaceInvalid) {
  Conversion done;
  while (done.read < text.size()) {
    const std::size_t valid = validLength(text.substr(done.read));
    std::size_t count = std::min(valid, out.size() - done.written);
    // Only whole characters: back off to the start of the one that is cut.
    while (count < valid && count > 0 && isContinuation(text[done.read + count])) {
      --count;
    }
    std::memcpy(out.data() + done.written, text.data() + done.read, count);
    done.read += count;
    done.written += count;
    if (count < valid || done.read == text.size()) {
      return done;
    }
    std::array<char, 3> character{'\xEF', '\xBF', '\xBD'};  // U+FFFD
    const std::size_t length =
        replaceInvalid ? character.size() : windows1252(text[done.read], character);
    if (out.size() - done.written < length) {
      return done;
    }
    std::memcpy(out.data() + done.written, character.data(), length);
    done.read += 1;
    done.written += length;
  }
  return done;
}

std::span<char> ClientCharsetOutput::area(Peer peer) {
  if (peer == Peer::kServer) {
    return inner_.area(peer);
  }
  if (converter_ == nullptr) {
    // Composed in place; repaired at commit in the rare case it must be.
    lent_ = inner_.area(peer);
    return lent_;
  }
  return composed();
}

std::span<char> ClientCharsetOutput::composed() {
  if (!composed_) {
    composed_ = std::make_unique_for_overwrite<char[]>(kOutCapacity);
  }
  return {composed_.get(), kOutCapacity};
}

void ClientCharsetOutput::commit(Peer peer, std::size_t size) {
  if (peer == Peer::kServer) {
    inner_.commit(peer, size);
    return;
  }
  if (converter_ == nullptr) {
    const std::string_view group(lent_.data(), size);
    if (isValidUtf8(group)) {
      inner_.commit(peer, size);
      return;
    }
    // The repair is written back into the inner area, so the group moves out.
    std::memcpy(composed().data(), group.data(), size);
  }
  commitConverted({composed_.get(), size});
}

Conversion ClientCharsetOutput::convertText(std::string_view text, std::span<char> out) {
  if (converter_ == nullptr) {
    return repairUtf8(text, out, replaceInvalid_);
  }
  Conversion done;
  while (done.read < text.size()) {
    const std::string_view rest = text.substr(done.read);
    const std::size_t valid = validLength(rest);
    std::array<char, 3> repaired{};
    // A byte that is not UTF-8 goes through as its windows-1252 character.
    const std::string_view piece =
        valid > 0 ? rest.substr(0, valid)
                  : std::string_view(repaired.data(), windows1252(rest[0], repaired));
    const Conversion step = converter_->fromUtf8(piece, out.subspan(done.written));
    // A multi-byte code page may write '|' inside a character, which would
    // end the message there.
    std::replace(out.data() + done.written, out.data() + done.written + step.written, '|', '?');
    done.written += step.written;
    if (step.read < piece.size()) {
      if (valid > 0) {
        done.read += step.read;
      }
      return done;
    }
    done.read += valid > 0 ? valid : 1;
  }
  return done;
}

void ClientCharsetOutput::commitConverted(std::string_view group) {
  std::span<char> area = inner_.area(Peer::kClient);
  std::size_t used = 0;
  while (!group.empty()) {
    const std::size_t pipe = group.find('|');
    const bool terminated = pipe != std::string_view::npos;
    const std::string_view body = group.substr(0, terminated ? pipe : group.size());
    // One byte stays free for the message's '|'.
    const Conversion converted = convertText(body, area.subspan(used, area.size() - used - 1));
    if (converted.read < body.size() && used > 0) {
      // Does not fit behind what is held: the held messages go first.
      inner_.commit(Peer::kClient, used);
      area = inner_.area(Peer::kClient);
      used = 0;
      continue;
    }
    used += converted.written;
    if (terminated) {
      area[used++] = '|';
    }
    group.remove_prefix(terminated ? pipe + 1 : group.size());
  }
  if (used > 0) {
    inner_.commit(Peer::kClient, used);
  }
}

}  // namespace quayside
