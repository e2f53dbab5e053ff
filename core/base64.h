#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quayside {

// Bytes the standard base64 form (RFC 4648, '=' padding) of `size` bytes takes.
constexpr std::size_t base64Size(std::size_t size) {
  return (size + 2) / 3 * 4;
}

// Writes the base64 form of `bytes` to `out` and returns its size; writes
// nothing and returns 0 when `out` is smaller than base64Size(bytes.size()).
std::size_t base64Encode(std::string_view bytes, std::span<char> out);

// Reads `text` as the base64 form of exactly out.size() bytes, as
// base64Encode writes it (padding, zero spare bits); false for any other
// text, and then `out` holds no meaning.
bool base64Decode(std::string_view text, std::span<std::uint8_t> out);

}  // namespace quayside
