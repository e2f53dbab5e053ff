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

bool localPasswordMatches(const SessionOptions& options, std::string_view given) {
  if (!options.hasPassword()) {
    return true;
  }
  std::array<std::uint8_t, kPasswordKeySize> key{};
  std::string error;
  return deriveKey(given, options.password.salt, options.password.iterations, key, error) &&
         keysEqual(key, options.password.key);
}

}  // namespace quayside::platform
