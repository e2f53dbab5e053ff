#include "core/session_options.h"

#include "core/base64.h"
#include "core/text.h"

#include <array>
#include <optional>

namespace quayside {
namespace {

bool isHexDigit(char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'f') ||
         (byte >= 'A' && byte <= 'F');
}

char lowerCase(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// Charset names as iconv knows them: letters, digits and a few marks.
bool isCharsetName(std::string_view name) {
  if (name.empty() || name.size() > 31) {
    return false;
  }
  for (const char byte : name) {
    const bool mark = byte == '-' || byte == '_' || byte == '.' || byte == ':';
    if (!mark && !(byte >= '0' && byte <= '9') && !(byte >= 'a' && byte <= 'z') &&
        !(byte >= 'A' && byte <= 'Z')) {
      return false;
    }
  }
  return true;
}

bool sameIgnoringCase(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && startsWithIgnoringCase(text, lower);
}

constexpr std::array<std::string_view, 3> kLoginNames = {"none", "pass", "sasl"};

constexpr std::string_view kHashScheme = "pbkdf2-sha256";

// Decimal digits only, as a number no greater than `most`; nothing for any
// other text, so a long run of digits cannot wrap.
std::optional<std::uint32_t> readDecimal(std::string_view text, std::uint32_t most) {
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char byte : text) {
    if (byte < '0' || byte > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(byte - '0');
    if (value > most) {
      return std::nullopt;
    }
  }
  return static_cast<std::uint32_t>(value);
}

// The next ':'-separated field of `text`, taken off its front.
std::string_view takeField(std::string_view& text) {
  const std::size_t colon = text.find(':');
  const std::string_view field = text.substr(0, colon);
  text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  return field;
}

// "pbkdf2-sha256:ITERATIONS:SALT:KEY" exactly as formatOptions writes it.
bool readPasswordHash(std::string_view text, PasswordHash& hash) {
  if (takeField(text) != kHashScheme) {
    return false;
  }
  const std::string_view count = takeField(text);
  const std::optional<std::uint32_t> iterations = readDecimal(count, kMostPasswordIterations);
  // Written without leading zeros, and read back only so.
  if (!iterations || *iterations < kLeastPasswordIterations ||
      count != std::to_string(*iterations) || !base64Decode(takeField(text), hash.salt)) {
    return false;
  }
  const std::string_view key = takeField(text);
  if (!text.empty() || !base64Decode(key, hash.key)) {
    return false;
  }
  hash.iterations = *iterations;
  return true;
}

template <std::size_t N>
std::string base64Text(const std::array<std::uint8_t, N>& bytes) {
  std::string text(base64Size(N), '\0');
  text.resize(base64Encode({reinterpret_cast<const char*>(bytes.data()), N}, text));
  return text;
}

std::string passwordHashText(const PasswordHash& hash) {
  return std::string(kHashScheme) + ':' + std::to_string(hash.iterations) + ':' +
         base64Text(hash.salt) + ':' + base64Text(hash.key);
}

}  // namespace

bool isUtf8CharsetName(std::string_view name) {
  return sameIgnoringCase(name, "utf-8") || sameIgnoringCase(name, "utf8");
}

bool SessionOptions::utf8Named() const {
  return isUtf8CharsetName(charset.view());
}

bool SessionOptions::operator==(const SessionOptions& other) const {
  return charset.view() == other.charset.view() && fingerprint.view() == other.fingerprint.view() &&
         login == other.login && pace == other.pace && maxSessions == other.maxSessions &&
         password == other.password;
}

std::string applyOption(SessionOptions& options, std::string_view keyValue,
                        const PasswordHasher* hasher) {
  const std::size_t equals = keyValue.find('=');
  if (equals == std::string_view::npos) {
    return "option \"" + std::string(keyValue) + "\" wants KEY=VALUE";
  }
  const std::string_view key = keyValue.substr(0, equals);
  const std::string_view value = keyValue.substr(equals + 1);
  const std::string quoted = "\"" + std::string(value) + "\"";

  if (key == "charset") {
    if (!isCharsetName(value)) {
      return "charset " + quoted + " is not a character set name";
    }
    options.charset.assign(sameIgnoringCase(value, "auto") ? std::string_view() : value);
    return {};
  }
  if (key == "fingerprint") {
    std::array<char, 64> digits{};
    std::size_t count = 0;
    for (const char byte : value) {
      if (byte == ':') {
        continue;
      }
      if (!isHexDigit(byte) || count == digits.size()) {
        return "fingerprint " + quoted + " is not a SHA-256 fingerprint (64 hex digits)";
      }
      digits[count++] = lowerCase(byte);
    }
    if (count != 0 && count != digits.size()) {
      return "fingerprint " + quoted + " is not a SHA-256 fingerprint (64 hex digits)";
    }
    options.fingerprint.assign({digits.data(), count});
    return {};
  }
  if (key == "login") {
    for (std::size_t i = 0; i < kLoginNames.size(); ++i) {
      if (sameIgnoringCase(value, kLoginNames[i])) {
        options.login = static_cast<LoginMode>(i);
        return {};
      }
    }
    return "login " + quoted + " is not one of none, pass, sasl";
  }
  if (key == "pace") {
    if (sameIgnoringCase(value, "on") || sameIgnoringCase(value, "off")) {
      options.pace = sameIgnoringCase(value, "on");
      return {};
    }
    return "pace " + quoted + " is not on or off";
  }
  if (key == "max-sessions") {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
      return "max-sessions " + quoted + " is not a number";
    }
    const std::optional<std::uint32_t> number = readDecimal(value, kMostMaxSessions);
    if (!number || *number == 0) {
      return "max-sessions " + quoted + " is not from 1 to 1000";
    }
    options.maxSessions = static_cast<std::uint16_t>(*number);
    return {};
  }
  if (key == "password") {
    // The value is never quoted back: a refusal may be shown or logged.
    if (value.empty()) {
      options.password = {};
      return {};
    }
    if (value.find_first_of(std::string_view("\0|$", 3)) != std::string_view::npos) {
      return "password holds a NUL, '|' or '$', which a DC client cannot send";
    }
    if (hasher == nullptr) {
      return "password is not taken here: stored options hold only its password-hash";
    }
    PasswordHash hash;
    if (std::string error; !hasher->hash(value, hash, error)) {
      return "password could not be hashed: " + error;
    }
    options.password = hash;
    return {};
  }
  if (key == "password-hash") {
    PasswordHash hash;
    if (!readPasswordHash(value, hash)) {
      return "password-hash is not pbkdf2-sha256:ITERATIONS:SALT:KEY with 100000 to 10000000 "
             "iterations, a 16-byte salt and a 32-byte key in base64";
    }
    options.password = hash;
    return {};
  }
  return "unknown option \"" + std::string(key) +
         "\" (known: charset, fingerprint, login, pace, max-sessions, password)";
}

std::string applyOptions(SessionOptions& options, std::string_view list,
                         const PasswordHasher* hasher) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (std::string error = applyOption(options, item, hasher); !error.empty()) {
      return error;
    }
    if (comma == std::string_view::npos) {
      break;
    }
    list.remove_prefix(comma + 1);
    if (list.empty()) {
      return "options end with a comma";
    }
  }
  return {};
}

std::string formatOptions(const SessionOptions& options) {
  std::string text;
  const auto add = [&](std::string_view key, std::string_view value) {
    if (!text.empty()) {
      text += ',';
    }
    text += key;
    text += '=';
    text += value;
  };
  if (!options.charset.empty()) {
    add("charset", options.charset.view());
  }
  if (!options.fingerprint.empty()) {
    add("fingerprint", options.fingerprint.view());
  }
  if (options.login != LoginMode::kNone) {
    add("login", kLoginNames[static_cast<std::size_t>(options.login)]);
  }
  if (!options.pace) {
    add("pace", "off");
  }
  if (options.maxSessions != kDefaultMaxSessions) {
    add("max-sessions", std::to_string(options.maxSessions));
  }
  if (options.hasPassword()) {
    add("password-hash", passwordHashText(options.password));
  }
  return text;
}

}  // namespace quayside
