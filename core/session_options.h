#pragma once

#include "core/fixed_text.h"

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

// A Bridge's options, carried into each of its Relays. Inline texts, so a
// Relay still allocates nothing for them.
struct SessionOptions {
  FixedText<32> charset;      // empty means utf-8
  FixedText<65> fingerprint;  // SHA-256 in 64 lower-case hex digits, or empty
  LoginMode login = LoginMode::kNone;
  bool pace = true;

  std::string_view charsetName() const { return charset.empty() ? "utf-8" : charset.view(); }
  bool operator==(const SessionOptions& other) const;
};

// Applies one "key=value" option. Keys: charset, fingerprint (hex, colons
// optional, any case), login (none, pass, sasl), pace (on, off). Returns why
// the option is refused, naming the key, or an empty string.
std::string applyOption(SessionOptions& options, std::string_view keyValue);

// Applies a comma-separated list of options (empty items are refused).
std::string applyOptions(SessionOptions& options, std::string_view list);

// The options that differ from the defaults, as "key=value" items joined by
// commas, in a fixed order; applyOptions reads it back to the same options.
std::string formatOptions(const SessionOptions& options);

}  // namespace quayside
