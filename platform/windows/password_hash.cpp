// PBKDF2 and the salt through BCrypt (CNG), which every Windows 10 has.
#include "platform/password_hash.h"

#include "platform/windows/win32.h"

// clang-format off
#include <bcrypt.h>
#include <winternl.h>
// clang-format on

#include <climits>
#include <cstddef>

namespace quayside::platform {
namespace {

// A BCrypt status in the system's words.
std::string statusText(const char* call, NTSTATUS status) {
  return std::string(call) + " failed: " + win32::errorText(RtlNtStatusToDosError(status));
}

// UCHAR pointers for BCrypt, which reads but does not promise to.
PUCHAR bytesOf(const void* data) {
  return static_cast<PUCHAR>(const_cast<void*>(data));
}

}  // namespace

bool deriveKey(std::string_view password, std::span<const std::uint8_t> salt,
               std::uint32_t iterations, std::span<std::uint8_t, kPasswordKeySize> out,
               std::string& error) {
  if (password.size() > ULONG_MAX || salt.size() > ULONG_MAX || iterations == 0) {
    error = "the password, salt or iteration count is out of the library's range";
    return false;
  }
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                BCRYPT_ALG_HANDLE_HMAC_FLAG);
  if (status < 0) {
    error = statusText("BCryptOpenAlgorithmProvider", status);
    return false;
  }
  status = BCryptDeriveKeyPBKDF2(algorithm, bytesOf(password.data()),
                                 static_cast<ULONG>(password.size()), bytesOf(salt.data()),
                                 static_cast<ULONG>(salt.size()), iterations, out.data(),
                                 static_cast<ULONG>(out.size()), 0);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (status < 0) {
    error = statusText("BCryptDeriveKeyPBKDF2", status);
    return false;
  }
  return true;
}

bool systemRandomBytes(std::span<std::uint8_t> out, std::string& error) {
  if (out.size() > ULONG_MAX) {
    error = "too many random bytes asked for";
    return false;
  }
  const NTSTATUS status = BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) {
    error = statusText("BCryptGenRandom", status);
    return false;
  }
  return true;
}

bool keysEqual(std::span<const std::uint8_t, kPasswordKeySize> a,
               std::span<const std::uint8_t, kPasswordKeySize> b) {
  // Every byte is looked at whatever the first difference; volatile keeps
  // the compiler from ending the loop early.
  volatile std::uint8_t difference = 0;
  for (std::size_t i = 0; i < kPasswordKeySize; ++i) {
    difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
  }
  return difference == 0;
}

}  // namespace quayside::platform
