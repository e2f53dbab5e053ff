#include "core/base64.h"

#include <cstdint>

namespace quayside {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

}  // namespace quayside
