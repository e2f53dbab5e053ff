#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace quayside {

// IRC nicks are ASCII, DC nicks any text: a nick's letters from other
// scripts are written with Latin letters where a Latin form exists.
//   Latin letters lose their diacritics, as Unicode's Latin-ASCII transform
//   writes them ("Jürgen" -> "Jurgen", "Ærø" -> "AEro", "ß" -> "ss");
//   combining marks are dropped.
//   Cyrillic follows the BGN/PCGN romanisation of Russian without its
//   diacritics and apostrophes ("Вася" -> "Vasya", "Щука" -> "Shchuka",
//   "ЩУКА" -> "SHCHUKA", "Елена" -> "Yelena", "Пётр" -> "Petr"; ъ and ь are
//   dropped), and for the letters Russian lacks the Latin alphabets of
//   Ukrainian, Belarusian, Serbian and Macedonian ("Їжак" -> "Yizhak",
//   "Љубав" -> "Ljubav").
// A table of our own: iconv's //TRANSLIT gives '?' for Cyrillic and follows
// the process's locale, Windows' best-fit code pages do no better, and ICU,
// which has these transforms, is not among our libraries on Windows.

// Writes UTF-8 `text` into `out`: ASCII as it is, every other character as
// its Latin form (ASCII letters, or nothing), or as '_' when it has none, and
// so each byte that is not valid UTF-8 (with the continuation bytes after
// it). Stops at the end of `out`; returns the bytes written. An `out` twice
// the size of `text` never cuts.
std::size_t writeLatinForm(std::string_view text, std::span<char> out);

}  // namespace quayside
