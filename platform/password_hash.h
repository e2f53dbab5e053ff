#pragma once

#include "core/password_hasher.h"
#include "core/session_options.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quayside::platform {

// The iterations a new password is hashed with (OWASP's figure for
// PBKDF2-HMAC-SHA-256); stored hashes say their own.
inline constexpr std::uint32_t kPasswordIterations = 600'000;

// PBKDF2-HMAC-SHA-256 of `password` (OpenSSL on POSIX, BCrypt on Windows).
// False with `error` set, in the system's words, when the library fails.
bool deriveKey(std::string_view password, std::span<const std::uint8_t> salt,
               std::uint32_t iterations, std::span<std::uint8_t, kPasswordKeySize> out,
               std::string& error);

// Fills `out` from the system's cryptographic random source; false with
// `error` set when it gives nothing.
bool systemRandomBytes(std::span<std::uint8_t> out, std::string& error);

// Whether two keys are equal, in a time that does not depend on where they differ.
bool keysEqual(std::span<const std::uint8_t, kPasswordKeySize> a,
               std::span<const std::uint8_t, kPasswordKeySize> b);

// The hasher applyOption takes for "password=": a fresh salt from
// systemRandomBytes and `iterations` rounds of deriveKey.
class SystemPasswordHasher final : public PasswordHasher {
 public:
  explicit SystemPasswordHasher(std::uint32_t iterations = kPasswordIterations)
      : iterations_(iterations) {}

  bool hash(std::string_view password, PasswordHash& hash, std::string& error) const override;

 private:
  std::uint32_t iterations_;
};

// The process's hasher, with kPasswordIterations.
const PasswordHasher& systemPasswordHasher();

// Whether `given` is the password `hash` was made of: its key derived under
// the hash's salt and iterations, compared in constant time. False for an
// empty hash, and when the KDF fails.
bool passwordMatches(const PasswordHash& hash, std::string_view given);

// Whether `given` is the Bridge's local password: its key derived under the
// stored salt and iterations, compared in constant time. True when no local
// password is set (nothing is asked for); false when the KDF fails. Runs
// the full KDF, so a check takes a noticeable fraction of a second.
bool localPasswordMatches(const SessionOptions& options, std::string_view given);

}  // namespace quayside::platform
