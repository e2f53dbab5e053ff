#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quayside {

// A local password as it is kept: PBKDF2-HMAC-SHA-256 of the text under a
// random salt. Inline, so options that hold one allocate nothing.
inline constexpr std::size_t kPasswordSaltSize = 16;
inline constexpr std::size_t kPasswordKeySize = 32;
// Bounds of a stored hash's iteration count: below the lower one a hash is
// too cheap to guess against, above the upper one each check would stall.
inline constexpr std::uint32_t kLeastPasswordIterations = 100'000;
inline constexpr std::uint32_t kMostPasswordIterations = 10'000'000;

struct PasswordHash {
  std::uint32_t iterations = 0;  // 0: no password
  std::array<std::uint8_t, kPasswordSaltSize> salt{};
  std::array<std::uint8_t, kPasswordKeySize> key{};

  bool operator==(const PasswordHash&) const = default;
};

// Turns a typed password into its hash under a fresh salt. The platform
// supplies it (platform/password_hash.h), so core runs no KDF itself and
// tests can pass their own.
class PasswordHasher {
 public:
  virtual ~PasswordHasher() = default;

  // False with `error` set, in the system's words, when no salt or key could be made.
  virtual bool hash(std::string_view password, PasswordHash& hash, std::string& error) const = 0;
};

}  // namespace quayside
