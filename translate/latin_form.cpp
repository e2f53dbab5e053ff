#include "translate/latin_form.h"

#include "translate/client_charset.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace quayside {
namespace {

using std::string_view;

// A character's Latin form. Cyrillic forms are held in lower case, with
// `capital` set for a capital letter: whether the rest of a form of several
// letters is capital too depends on the next letter.
struct LatinForm {
  string_view letters;
  bool capital = false;
  bool known = false;  // false: no Latin form
};

// One letter each, '*' where the form has several (kLatinSeveral) and '_'
// where there is none; from Unicode's Latin-ASCII transform.
constexpr std::uint32_t kLatinFirst = 0x00C0;
constexpr string_view kLatin =
    "AAAAAA*CEEEEIIIIDNOOOOO_OUUUUY**"  // U+00C0
    "aaaaaa*ceeeeiiiidnooooo_ouuuuy*y"  // U+00E0
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGg"  // U+0100
    "GgGgHhHhIiIiIiIiIi**JjKkqLlLlLlL"  // U+0120
    "lLlNnNnNnnNnOoOoOo**RrRrRrSsSsSs"  // U+0140
    "SsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs"  // U+0160
    "bBBb___CcDDDd___EFfG_*IIKkl__Nn_"  // U+0180
    "Oo**Pp_____tTtTUu_VYyZz_________"  // U+01A0
    "____*********AaIiOoUuUuUuUuUu_Aa"  // U+01C0
    "Aa**GgGgKkOoOo__j***Gg__NnAa**Oo"  // U+01E0
    "AaAaEeEeIiIiOoOoRrRrUuUuSsTt__Hh"  // U+0200
    "_d__ZzAaEeOoOoOoOoYylntj**ACcLTs"  // U+0220
    "z__BU_EeJj__RrYy";                 // U+0240
constexpr std::uint32_t kLatinAdditionalFirst = 0x1E00;
constexpr string_view kLatinAdditional =
    "AaBbBbBbCcDdDdDdDdDdEeEeEeEeEeFf"   // U+1E00
    "GgHhHhHhHhHhIiIiKkKkKkLlLlLlLlMm"   // U+1E20
    "MmMmNnNnNnNnOoOoOoOoPpPpRrRrRrRr"   // U+1E40
    "SsSsSsSsSsTtTtTtTtUuUuUuUuUuVvVv"   // U+1E60
    "WwWwWwWwWwXxXxYyZzZzZzhtwyasss*_"   // U+1E80
    "AaAaAaAaAaAaAaAaAaAaAaAaEeEeEeEe"   // U+1EA0
    "EeEeEeEeIiIiOoOoOoOoOoOoOoOoOoOo"   // U+1EC0
    "OoOoUuUuUuUuUuUuUuYyYyYyYy**VvYy";  // U+1EE0

struct Several {
  std::uint32_t point;
  string_view letters;
};
constexpr auto kLatinSeveral = std::to_array<Several>({
    {0x00C6, "AE"}, {0x00DE, "TH"}, {0x00DF, "ss"}, {0x00E6, "ae"}, {0x00FE, "th"}, {0x0132, "IJ"},
    {0x0133, "ij"}, {0x0152, "OE"}, {0x0153, "oe"}, {0x0195, "hv"}, {0x01A2, "OI"}, {0x01A3, "oi"},
    {0x01C4, "DZ"}, {0x01C5, "Dz"}, {0x01C6, "dz"}, {0x01C7, "LJ"}, {0x01C8, "Lj"}, {0x01C9, "lj"},
    {0x01CA, "NJ"}, {0x01CB, "Nj"}, {0x01CC, "nj"}, {0x01E2, "AE"}, {0x01E3, "ae"}, {0x01F1, "DZ"},
    {0x01F2, "Dz"}, {0x01F3, "dz"}, {0x01FC, "AE"}, {0x01FD, "ae"}, {0x0238, "db"}, {0x0239, "qp"},
    {0x1E9E, "SS"}, {0x1EFA, "LL"}, {0x1EFB, "ll"},
});

// U+0430 to U+045F in lower case; U+0410 to U+042F and U+0400 to U+040F are
// their capitals. Empty: the letter is dropped.
constexpr std::array<string_view, 48> kCyrillic = {
    "a", "b", "v",  "g",  "d",  "e",  "zh", "z",  "i",  "y",    "k",  "l", "m",  "n", "o",  "p",
    "r", "s", "t",  "u",  "f",  "kh", "ts", "ch", "sh", "shch", "",   "y", "",   "e", "yu", "ya",
    "e", "e", "dj", "gj", "ye", "dz", "i",  "yi", "j",  "lj",   "nj", "c", "kj", "i", "u",  "dz",
};
constexpr std::uint32_t kCyrillicSmallA = 0x0430;
constexpr std::uint32_t kCyrillicSmallE = 0x0435;
constexpr std::uint32_t kCyrillicSmallYo = 0x0451;
// Ґ and ґ, outside the block above.
constexpr std::uint32_t kCyrillicCapitalGhe = 0x0490;

// Combining diacritical marks: the diacritics of decomposed letters.
constexpr std::uint32_t kCombiningFirst = 0x0300;
constexpr std::uint32_t kCombiningLast = 0x036F;

constexpr std::uint32_t kNoCharacter = 0xFFFFFFFF;

LatinForm latinLetter(string_view table, std::size_t index, std::uint32_t point) {
  const char letter = table[index];
  if (letter == '_') {
    return {};
  }
  if (letter == '*') {
    for (const Several& several : kLatinSeveral) {
      if (several.point == point) {
        return {several.letters, false, true};
      }
    }
    return {};
  }
  return {table.substr(index, 1), false, true};
}

// The lower-case Cyrillic letter for `point`, or kNoCharacter.
std::uint32_t cyrillicSmall(std::uint32_t point) {
  if (point >= 0x0400 && point < 0x0410) {
    return point + 0x50;
  }
  if (point >= 0x0410 && point < 0x0430) {
    return point + 0x20;
  }
  if ((point >= kCyrillicSmallA && point <= 0x045F) || point == kCyrillicCapitalGhe + 1) {
    return point;
  }
  if (point == kCyrillicCapitalGhe) {
    return point + 1;
  }
  return kNoCharacter;
}

LatinForm latinForm(std::uint32_t point) {
  if (point >= kLatinFirst && point - kLatinFirst < kLatin.size()) {
    return latinLetter(kLatin, point - kLatinFirst, point);
  }
  if (point >= kLatinAdditionalFirst && point - kLatinAdditionalFirst < kLatinAdditional.size()) {
    return latinLetter(kLatinAdditional, point - kLatinAdditionalFirst, point);
  }
  if (point >= kCombiningFirst && point <= kCombiningLast) {
    return {{}, false, true};
  }
  const std::uint32_t small = cyrillicSmall(point);
  if (small == kNoCharacter) {
    return {};
  }
  const string_view letters =
      small == kCyrillicCapitalGhe + 1 ? string_view("g") : kCyrillic[small - kCyrillicSmallA];
  return {letters, small != point, true};
}

bool isAsciiLower(char byte) {
  return byte >= 'a' && byte <= 'z';
}

bool isAsciiLetterOrDigit(std::uint32_t point) {
  return (point >= 'a' && point <= 'z') || (point >= 'A' && point <= 'Z') ||
         (point >= '0' && point <= '9');
}

bool isLowerLetter(std::uint32_t point) {
  if (point == kNoCharacter) {
    return false;
  }
  if (point < 0x80) {
    return point >= 'a' && point <= 'z';
  }
  if (cyrillicSmall(point) == point) {
    return true;
  }
  const LatinForm form = latinForm(point);
  return form.known && !form.capital && !form.letters.empty() && isAsciiLower(form.letters[0]);
}

// BGN/PCGN writes е and ё "ye" at the start of a word and after a vowel, й,
// ъ or ь.
bool yeAfter(std::uint32_t previous) {
  const std::uint32_t small = cyrillicSmall(previous);
  if (small != kNoCharacter) {
    // а е ё и о у ы э ю я й ъ ь
    constexpr std::array<std::uint32_t, 13> kYeAfter = {0x0430, 0x0435, 0x0451, 0x0438, 0x043E,
                                                        0x0443, 0x044B, 0x044D, 0x044E, 0x044F,
                                                        0x0439, 0x044A, 0x044C};
    return std::find(kYeAfter.begin(), kYeAfter.end(), small) != kYeAfter.end();
  }
  // The start of a word: after anything but a letter or a digit.
  if (isAsciiLetterOrDigit(previous)) {
    return false;
  }
  const LatinForm form = latinForm(previous);
  return !form.known || form.letters.empty();
}

char upper(char byte) {
  return isAsciiLower(byte) ? static_cast<char>(byte - 'a' + 'A') : byte;
}

// The character at text[i] (kNoCharacter at the end or where UTF-8 is not
// valid) and its length (at least 1).
Utf8Character characterAt(string_view text, std::size_t i) {
  if (i >= text.size()) {
    return {kNoCharacter, 0};
  }
  const Utf8Character character = utf8CharacterAt(text, i);
  return character.length == 0 ? Utf8Character{kNoCharacter, 1} : character;
}

bool isContinuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

}  // namespace

std::size_t writeLatinForm(string_view text, std::span<char> out) {
  std::size_t size = 0;
  auto put = [&](char byte) {
    if (size < out.size()) {
      out[size++] = byte;
    }
  };
  std::uint32_t previous = kNoCharacter;
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80u) {
      previous = static_cast<unsigned char>(text[i]);
      put(text[i++]);
      continue;
    }
    const Utf8Character character = characterAt(text, i);
    i += character.length;
    // The rest of a character that is not UTF-8 goes with it.
    while (i < text.size() && isContinuation(text[i])) {
      ++i;
    }
    LatinForm form = character.point == kNoCharacter ? LatinForm{} : latinForm(character.point);
    const std::uint32_t small = cyrillicSmall(character.point);
    if ((small == kCyrillicSmallE || small == kCyrillicSmallYo) && yeAfter(previous)) {
      form.letters = "ye";
    }
    previous = character.point;
    if (!form.known) {
      put('_');
      continue;
    }
    // A capital's further letters are capitals too unless a small letter follows:
    // "Shchuka", "SHCHUKA".
    const bool allCapitals = form.capital && !isLowerLetter(characterAt(text, i).point);
    for (std::size_t k = 0; k < form.letters.size(); ++k) {
      const char letter = form.letters[k];
      put((form.capital && k == 0) || allCapitals ? upper(letter) : letter);
    }
  }
  return size;
}

}  // namespace quayside
