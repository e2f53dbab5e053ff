#include "platform/charset.h"
#include "platform/charset_common.h"

#include "platform/windows/win32.h"

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <vector>

namespace quayside::platform {
namespace {

std::string lowerCase(std::string_view name) {
  std::string lower(name);
  for (char& byte : lower) {
    if (byte >= 'A' && byte <= 'Z') {
      byte = static_cast<char>(byte - 'A' + 'a');
    }
  }
  return lower;
}

// The number after `prefix` in `name`, or 0 when `name` is not prefix + digits.
unsigned numberAfter(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix ||
      name.size() - prefix.size() > 5) {
    return 0;
  }
  unsigned number = 0;
  for (const char c : name.substr(prefix.size())) {
    if (c < '0' || c > '9') {
      return 0;
    }
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  return number;
}

// Sets that write ASCII differently; named so that they are refused for that
// reason, as on systems whose converters know them.
constexpr std::array<std::string_view, 12> kWideSets = {
    "utf-16", "utf16", "utf-16le", "utf-16be", "ucs-2", "ucs2",
    "utf-32", "utf32", "utf-32le", "utf-32be", "ucs-4", "utf-7"};

// The Windows code page for a character set name as iconv and the web name
// them ("windows-1252", "cp1251", "iso-8859-2", "koi8-r", ...); 0 when none.
unsigned codePageFor(std::string_view name) {
  struct Named {
    std::string_view name;
    unsigned codePage;
  };
  static constexpr std::array<Named, 22> kNamed = {{
      {"koi8-r", 20866},  {"koi8r", 20866},    {"koi8-u", 21866}, {"koi8u", 21866},
      {"shift_jis", 932}, {"shift-jis", 932},  {"sjis", 932},     {"euc-jp", 20932},
      {"gbk", 936},       {"gb2312", 936},     {"big5", 950},     {"euc-kr", 51949},
      {"uhc", 949},       {"us-ascii", 20127}, {"ascii", 20127},  {"macintosh", 10000},
      {"mac", 10000},     {"tis-620", 874},    {"latin1", 28591}, {"latin2", 28592},
      {"latin-1", 28591}, {"l1", 28591},
  }};
  for (const Named& named : kNamed) {
    if (named.name == name) {
      return named.codePage;
    }
  }
  for (const std::string_view prefix : {"windows-", "cp", "ibm", "ms", "windows"}) {
    if (const unsigned number = numberAfter(name, prefix); number != 0) {
      return number;
    }
  }
  // ISO 8859 parts are code pages 28591 to 28606.
  for (const std::string_view prefix : {"iso-8859-", "iso8859-", "iso_8859-", "iso8859"}) {
    if (const unsigned part = numberAfter(name, prefix); part >= 1 && part <= 16) {
      return 28590 + part;
    }
  }
  return 0;
}

// Code pages that Windows fills up: the bytes their standard leaves undefined
// come back as the C1 control of the same number, which the client never
// meant. Those count as undefined, as other systems' converters say.
bool fillsUndefinedWithC1(unsigned codePage) {
  return codePage == 874 || (codePage >= 1250 && codePage <= 1258);
}

// One UTF-8 character's code point, or nothing valid for the BMP ('?' then):
// the sets Windows converts here hold no character beyond it.
wchar_t bmpCharacter(std::string_view character) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(character[i]); };
  const auto continuation = [&](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
  unsigned point = 0;
  switch (character.size()) {
    case 1:
      point = byte(0) < 0x80 ? byte(0) : '?';
      break;
    case 2:
      point =
          byte(0) >= 0xC2 && continuation(1) ? ((byte(0) & 0x1Fu) << 6) | (byte(1) & 0x3Fu) : '?';
      break;
    case 3:
      point = continuation(1) && continuation(2)
                  ? ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu)
                  : '?';
      if (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF)) {
        point = '?';
      }
      break;
    default:
      point = '?';
      break;
  }
  return static_cast<wchar_t>(point);
}

// UTF-16 (BMP) to UTF-8.
void appendUtf8(std::string& out, wchar_t character) {
  const auto point = static_cast<unsigned>(character);
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

class CodePageConverter final : public TextConverter {
 public:
  CodePageConverter(unsigned codePage, bool doubleByte)
      : codePage_(codePage), doubleByte_(doubleByte) {}

  // One client character at a time (a byte, or two for a lead byte of a
  // double-byte set), so that a full output stops after a whole one.
  Conversion toUtf8(std::string_view text, std::span<char> out) override {
    Conversion done;
    std::string piece;
    while (done.read < text.size()) {
      std::size_t length = 1;
      if (doubleByte_ && done.read + 1 < text.size() &&
          ::IsDBCSLeadByteEx(codePage_, static_cast<BYTE>(text[done.read])) != 0) {
        length = 2;
      }
      piece.clear();
      const std::string_view character = text.substr(done.read, length);
      if (static_cast<unsigned char>(character[0]) < 0x80) {
        piece = character;
      } else {
        std::array<wchar_t, 4> wide{};
        const int count = ::MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS, character.data(),
                                                static_cast<int>(length), wide.data(), 4);
        const bool undefined = count != 1 || (fillsUndefinedWithC1(codePage_) && length == 1 &&
                                              static_cast<unsigned>(wide[0]) ==
                                                  static_cast<unsigned char>(character[0]) &&
                                              wide[0] < 0xA0);
        if (undefined) {
          piece = "?";
        } else {
          appendUtf8(piece, wide[0]);
        }
      }
      if (piece.size() > out.size() - done.written) {
        break;
      }
      piece.copy(out.data() + done.written, piece.size());
      done.written += piece.size();
      done.read += length;
    }
    return done;
  }

  Conversion fromUtf8(std::string_view text, std::span<char> out) override {
    Conversion done;
    std::array<char, 8> piece{};
    while (done.read < text.size()) {
      const std::size_t length =
          utf8Length(static_cast<unsigned char>(text[done.read]), text.size() - done.read);
      const std::string_view character = text.substr(done.read, length);
      int count = 1;
      if (length == 1) {
        piece[0] = static_cast<unsigned char>(character[0]) < 0x80 ? character[0] : '?';
      } else {
        const wchar_t wide = bmpCharacter(character);
        BOOL lacking = FALSE;
        count = ::WideCharToMultiByte(codePage_, WC_NO_BEST_FIT_CHARS, &wide, 1, piece.data(),
                                      static_cast<int>(piece.size()), "?", &lacking);
        if (count <= 0) {
          piece[0] = '?';
          count = 1;
        }
      }
      const auto size = static_cast<std::size_t>(count);
      if (size > out.size() - done.written) {
        break;
      }
      std::copy_n(piece.data(), size, out.data() + done.written);
      done.written += size;
      done.read += length;
    }
    return done;
  }

 private:
  unsigned codePage_;
  bool doubleByte_;
};

}  // namespace

std::unique_ptr<TextConverter> openCharset(std::string_view name, std::string& error) {
  error.clear();
  if (isUtf8Name(name)) {
    return nullptr;
  }
  const std::string lower = lowerCase(name);
  for (const std::string_view wideSet : kWideSets) {
    if (lower == wideSet) {
      error = charsetNotAscii(name);
      return nullptr;
    }
  }
  const unsigned codePage = codePageFor(lower);
  CPINFO info{};
  if (codePage == 0 || codePage == CP_UTF8 || ::IsValidCodePage(codePage) == 0 ||
      ::GetCPInfo(codePage, &info) == 0 || info.MaxCharSize > 2) {
    error = unknownCharset(name);
    return nullptr;
  }
  // Asked of Windows itself: the converter passes ASCII through unasked.
  const int size = static_cast<int>(kAsciiProbe.size());
  std::array<wchar_t, kAsciiProbe.size()> wide{};
  std::array<char, 2 * kAsciiProbe.size()> back{};
  const int wideCount =
      ::MultiByteToWideChar(codePage, 0, kAsciiProbe.data(), size, wide.data(), size);
  const int backCount = ::WideCharToMultiByte(codePage, 0, wide.data(), wideCount, back.data(),
                                              static_cast<int>(back.size()), nullptr, nullptr);
  bool ascii = wideCount == size;
  for (int i = 0; ascii && i < size; ++i) {
    ascii = static_cast<unsigned>(wide[static_cast<std::size_t>(i)]) ==
            static_cast<unsigned char>(kAsciiProbe[static_cast<std::size_t>(i)]);
  }
  if (!ascii || std::string_view(back.data(), static_cast<std::size_t>(
                                                  backCount > 0 ? backCount : 0)) != kAsciiProbe) {
    error = charsetNotAscii(name);
    return nullptr;
  }
  auto converter = std::make_unique<CodePageConverter>(codePage, info.MaxCharSize == 2);
  return converter;
}

}  // namespace quayside::platform
