#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What both systems' converters share; for platform/ only.
namespace quayside::platform {

// Bytes NMDC and IRC rely on; a usable set writes them as ASCII does.
inline constexpr std::string_view kAsciiProbe =
    " !\"#$%&'()*+,-./0123456789:;<=>?@AZ[\\]^_`az{|}~\r\n\x01";

// Bytes in the UTF-8 sequence led by `lead`, at most `left`: 1 for a byte
// that leads none.
std::size_t utf8Length(unsigned char lead, std::size_t left);

// Why openCharset refused `name`.
std::string unknownCharset(std::string_view name);
std::string charsetNotAscii(std::string_view name);

}  // namespace quayside::platform
