#include "core/base64.h"

#include <cstdint>
#include <string>

namespace quayside {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The six bits `c` stands for, or -1 when it is not in the alphabet.
int sextet(char c) {
  const std::size_t at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace

std::size_t base64Encode(std::string_view bytes, std::span<char> out) {
  const std::size_t size = base64Size(bytes.size());
  if (out.size() < size) {
    return 0;
  }
  std::size_t at = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    // Three bytes make a 24-bit group; missing bytes count as zero bits.
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left > 1) {
      group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    }
    if (left > 2) {
      group |= static_cast<unsigned char>(bytes[i + 2]);
    }
    out[at++] = kAlphabet[group >> 18 & 0x3Fu];
    out[at++] = kAlphabet[group >> 12 & 0x3Fu];
    out[at++] = left > 1 ? kAlphabet[group >> 6 & 0x3Fu] : '=';
    out[at++] = left > 2 ? kAlphabet[group & 0x3Fu] : '=';
  }
  return at;
}

bool base64Decode(std::string_view text, std::span<std::uint8_t> out) {
  if (text.size() != base64Size(out.size())) {
    return false;
  }
  std::size_t at = 0;
  for (std::size_t i = 0; i < text.size() && at < out.size(); i += 4) {
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      // Padding is told apart by the re-encoding below; here it reads as zero bits.
      const int bits = text[i + j] == '=' ? 0 : sextet(text[i + j]);
      if (bits < 0) {
        return false;
      }
      group = group << 6 | static_cast<std::uint32_t>(bits);
    }
    for (int shift = 16; shift >= 0 && at < out.size(); shift -= 8) {
      out[at++] = static_cast<std::uint8_t>(group >> shift & 0xFFu);
    }
  }
  // Only the one form base64Encode writes reads back, so a stored value
  // round-trips byte for byte: misplaced padding or spare bits fail here.
  std::string again(text.size(), '\0');
  const std::string_view bytes(reinterpret_cast<const char*>(out.data()), out.size());
  return base64Encode(bytes, again) == text.size() && again == text;
}

}  // namespace quayside
