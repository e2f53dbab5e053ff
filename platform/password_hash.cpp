#include "platform/password_hash.h"

#include <array>

namespace quayside::platform {

bool SystemPasswordHasher::hash(std::string_view password, PasswordHash& hash,
                                std::string& error) const {
  PasswordHash made;
  made.iterations = iterations_;
  if (!systemRandomBytes(made.salt, error) ||
      !deriveKey(password, made.salt, made.iterations, made.key, error)) {
    return false;
  }
  hash = made;
  return true;
}

const PasswordHasher& systemPasswordHasher() {
  static const SystemPasswordHasher hasher;
  return hasher;
}

bool passwordMatches(const PasswordHash& hash, std::string_view given) {
  if (hash.iterations == 0) {
    return false;
  }
  std::array<std::uint8_t, kPasswordKeySize> key{};
  std::string error;
  return deriveKey(given, hash.salt, hash.iterations, key, error) && keysEqual(key, hash.key);
}

bool localPasswordMatches(const SessionOptions& options, std::string_view given) {
  return !options.hasPassword() || passwordMatches(options.password, given);
}

}  // namespace quayside::platform
