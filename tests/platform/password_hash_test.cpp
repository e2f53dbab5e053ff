#include "platform/password_hash.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

namespace quayside::platform {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

TEST(PasswordHash, DerivesThePublishedPbkdf2HmacSha256Keys) {
  // RFC 7914 section 11, the first 32 bytes of each 64-byte key.
  const struct {
    const char* password;
    const char* salt;
    std::uint32_t iterations;
    const char* key;
  } rows[] = {
      {"passwd", "salt", 1, "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"},
      {"Password", "NaCl", 80000,
       "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"},
  };
  for (const auto& row : rows) {
    const std::string_view salt(row.salt);
    std::array<std::uint8_t, kPasswordKeySize> key{};
    std::string error;
    ASSERT_TRUE(deriveKey(row.password,
                          {reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size()},
                          row.iterations, key, error))
        << error;
    EXPECT_EQ(hex(key), row.key) << row.password;
  }
}

TEST(PasswordHash, OnlyTheSamePasswordMatchesItsStoredHash) {
  // The least iterations a stored hash may have, to keep the test quick.
  const SystemPasswordHasher hasher(kLeastPasswordIterations);
  SessionOptions typed;
  ASSERT_EQ(applyOption(typed, "password=dock side", &hasher), "");
  SessionOptions again;
  ASSERT_EQ(applyOption(again, "password=dock side", &hasher), "");
  EXPECT_NE(typed.password.salt, again.password.salt) << "each hash has a fresh salt";
  EXPECT_NE(typed.password.key, again.password.key);

  // What the relay sees: the options as read back from their stored text.
  SessionOptions stored;
  ASSERT_EQ(applyOptions(stored, formatOptions(typed)), "");
  const struct {
    const char* given;
    bool matches;
  } rows[] = {
      {"dock side", true},   {"dock sidE", false}, {"dock sid", false},
      {"dock side ", false}, {"", false},          {"dock side\n", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(localPasswordMatches(stored, row.given), row.matches) << '"' << row.given << '"';
  }
  EXPECT_TRUE(localPasswordMatches(SessionOptions{}, "anything")) << "no password is asked for";
}

TEST(PasswordHash, KeysCompareEqualOnlyWhenEveryByteIs) {
  std::array<std::uint8_t, kPasswordKeySize> a{};
  std::array<std::uint8_t, kPasswordKeySize> b{};
  EXPECT_TRUE(keysEqual(a, b));
  for (const std::size_t at : {std::size_t{0}, kPasswordKeySize - 1}) {
    b = a;
    b[at] = 1;
    EXPECT_FALSE(keysEqual(a, b)) << at;
  }
}

}  // namespace
}  // namespace quayside::platform
