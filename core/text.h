#pragma once

#include <cstdint>
#include <string_view>

namespace quayside {

// Composing helpers for fixed buffers. Each writes at `at` and returns the
// position just past the last byte written; none writes a terminator and
// none checks bounds: the caller guarantees room.

// Copies `text` up to, not including, its NUL.
char* appendText(char* at, const char* text);

// Writes `value` in decimal: 1 to 10 digits, no sign, no leading zeros.
char* appendDecimal(char* at, std::uint32_t value);

// Reads ASCII digits from `at` up to the first non-digit (a NUL included);
// the value wraps modulo 2^32. No sign, no skipping of blanks.
std::uint32_t parseDecimal(const char* at);

// Whether `text` begins with `lowerPrefix`, ASCII letters of `text` compared
// without regard to case (`lowerPrefix` is given in lower case).
bool startsWithIgnoringCase(std::string_view text, std::string_view lowerPrefix);

// Whether `text` is `lower` (given in lower case), ASCII letters compared
// without regard to case.
inline bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && startsWithIgnoringCase(text, lower);
}

}  // namespace quayside
