#include "core/session_options.h"

#include "core/text.h"

#include <array>

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

}  // namespace

bool isUtf8CharsetName(std::string_view name) {
  return sameIgnoringCase(name, "utf-8") || sameIgnoringCase(name, "utf8");
}

bool SessionOptions::utf8Named() const {
  return isUtf8CharsetName(charset.view());
}

bool SessionOptions::operator==(const SessionOptions& other) const {
  return charset.view() == other.charset.view() && fingerprint.view() == other.fingerprint.view() &&
         login == other.login && pace == other.pace;
}

std::string applyOption(SessionOptions& options, std::string_view keyValue) {
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
  return "unknown option \"" + std::string(key) + "\" (known: charset, fingerprint, login, pace)";
}

std::string applyOptions(SessionOptions& options, std::string_view list) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (std::string error = applyOption(options, item); !error.empty()) {
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
  return text;
}

}  // namespace quayside
