#pragma once

#include "core/fixed_text.h"
#include "core/password_hasher.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quayside {

// How the IRC session logs in with the DC client's hub password.
enum class LoginMode : std::uint8_t {
  kNone,  // no password
  kPass,  // PASS before NICK and USER
  kSasl,  // SASL PLAIN with the DC nick as account
};

inline constexpr std::uint16_t kDefaultMaxSessions = 8;
inline constexpr std::uint16_t kMostMaxSessions = 1000;

// A Bridge's options, carried into each of its Relays. Inline texts, so a
// Relay still allocates nothing for them.
struct SessionOptions {
  // Empty: UTF-8, guessed per message (text that is not UTF-8 is read as
  // windows-1252). "utf-8" by name: UTF-8 both ways with no guess.
  FixedText<32> charset;
  FixedText<65> fingerprint;  // SHA-256 in 64 lower-case hex digits, or empty
  LoginMode login = LoginMode::kNone;
  bool pace = true;
  std::uint16_t maxSessions = kDefaultMaxSessions;  // sessions at once, 1 to kMostMaxSessions
  // The local password DC clients must give, kept only as its hash.
  PasswordHash password;

  bool hasPassword() const { return password.iterations != 0; }
  std::string_view charsetName() const { return charset.empty() ? "utf-8" : charset.view(); }
  // The guess's opposite: UTF-8 named, so bytes that are not UTF-8 are errors.
  bool utf8Named() const;
  bool operator==(const SessionOptions& other) const;
};

// Whether `name` means UTF-8 ("utf-8" or "utf8" in any letter case).
bool isUtf8CharsetName(std::string_view name);

// Applies one "key=value" option. Keys: charset (a name, or "auto" for the
// default), fingerprint (hex, colons optional, any case), login (none,
// pass, sasl), pace (on, off), max-sessions (1 to 1000), password (the
// text, hashed by `hasher`; empty clears it; refused without a hasher) and
// password-hash (the stored form, "pbkdf2-sha256:ITERATIONS:SALT:KEY" in
// base64, read exactly). Returns why the option is refused, naming the key,
// or an empty string.
std::string applyOption(SessionOptions& options, std::string_view keyValue,
                        const PasswordHasher* hasher = nullptr);

// Applies a comma-separated list of options (empty items are refused).
std::string applyOptions(SessionOptions& options, std::string_view list,
                         const PasswordHasher* hasher = nullptr);

// The options that differ from the defaults, as "key=value" items joined by
// commas, in a fixed order; applyOptions reads it back to the same options.
// A password is written as its password-hash, never as text.
std::string formatOptions(const SessionOptions& options);

}  // namespace quayside
