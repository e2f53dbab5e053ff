#pragma once

#include <string>
#include <string_view>

// UTF-8 (the program's text everywhere) to UTF-16 (the W functions) and back.
namespace quayside::win32 {

// Bytes that are not UTF-8 become U+FFFD; a NUL is kept as a character.
std::wstring widen(std::string_view text);

// Unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view text);

}  // namespace quayside::win32
