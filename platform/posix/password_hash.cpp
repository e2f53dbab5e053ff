// PBKDF2, the salt and the key comparison through OpenSSL's libcrypto.
#include "platform/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

namespace quayside::platform {
namespace {

// libcrypto's reason for the last failure on this thread.
std::string libraryReason() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? reason : "no reason given";
}

}  // namespace

bool deriveKey(std::string_view password, std::span<const std::uint8_t> salt,
               std::uint32_t iterations, std::span<std::uint8_t, kPasswordKeySize> out,
               std::string& error) {
  if (password.size() > INT_MAX || salt.size() > INT_MAX || iterations == 0 ||
      iterations > INT_MAX) {
    error = "the password, salt or iteration count is out of the library's range";
    return false;
  }
  ERR_clear_error();
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(out.size()), out.data()) != 1) {
    error = "PBKDF2 failed: " + libraryReason();
    return false;
  }
  return true;
}

bool systemRandomBytes(std::span<std::uint8_t> out, std::string& error) {
  if (out.size() > INT_MAX) {
    error = "too many random bytes asked for";
    return false;
  }
  ERR_clear_error();
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    error = "no random bytes: " + libraryReason();
    return false;
  }
  return true;
}

bool keysEqual(std::span<const std::uint8_t, kPasswordKeySize> a,
               std::span<const std::uint8_t, kPasswordKeySize> b) {
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace quayside::platform
