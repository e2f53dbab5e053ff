#include "core/session_options.h"

#include "core/base64.h"
#include "core/text.h"

#include <algorithm>
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

std::vector<std::string> oneValue(std::string_view value) {
  return {std::string(value)};
}

std::string quoted(std::string_view value) {
  return "\"" + std::string(value) + "\"";
}

std::string applyCharset(SessionOptions& options, const OptionValue& value, const PasswordHasher*) {
  if (!isCharsetName(value.text)) {
    return "charset " + quoted(value.text) + " is not a character set name";
  }
  options.charset.assign(equalsIgnoringCase(value.text, "auto") ? std::string_view() : value.text);
  return {};
}

std::string applyFingerprint(SessionOptions& options, const OptionValue& value,
                             const PasswordHasher*) {
  const auto refused = [&value] {
    return "fingerprint " + quoted(value.text) + " is not a SHA-256 fingerprint (64 hex digits)";
  };
  std::array<char, 64> digits{};
  std::size_t count = 0;
  for (const char byte : value.text) {
    if (byte == ':') {
      continue;
    }
    if (!isHexDigit(byte) || count == digits.size()) {
      return refused();
    }
    digits[count++] = lowerCase(byte);
  }
  if (count != 0 && count != digits.size()) {
    return refused();
  }
  options.fingerprint.assign({digits.data(), count});
  return {};
}

std::string applyPassword(SessionOptions& options, const OptionValue& value,
                          const PasswordHasher* hasher) {
  PasswordHash hash;
  if (value.stored) {
    if (!readPasswordHash(value.text, hash)) {
      return "password-hash is not pbkdf2-sha256:ITERATIONS:SALT:KEY with 100000 to 10000000 "
             "iterations, a 16-byte salt and a 32-byte key in base64";
    }
    options.password = hash;
    return {};
  }
  // The value is never quoted back: a refusal may be shown or logged.
  if (value.text.empty()) {
    options.password = {};
    return {};
  }
  if (value.text.find_first_of(std::string_view("\0|$", 3)) != std::string_view::npos) {
    return "password holds a NUL, '|' or '$', which a DC client cannot send";
  }
  if (hasher == nullptr) {
    return "password is not taken here: stored options hold only its password-hash";
  }
  if (std::string error; !hasher->hash(value.text, hash, error)) {
    return "password could not be hashed: " + error;
  }
  options.password = hash;
  return {};
}

// Suggestions for the editor: character sets DC clients commonly use; any
// other name may be typed. "auto" is UTF-8 with windows-1252 recognised per
// message.
constexpr OptionChoice kCommonCharsets[] = {
    {"auto"},         {"utf-8"},      {"windows-1252"}, {"windows-1251"},
    {"windows-1250"}, {"iso-8859-1"}, {"iso-8859-2"},   {"iso-8859-15"},
    {"koi8-r"},       {"cp437"},      {"cp850"},
};

// In LoginMode's order.
constexpr OptionChoice kLoginChoices[] = {
    {"none", "none"},
    {"pass", "server password"},
    {"sasl", "SASL"},
};

std::string applyRoom(SessionOptions& options, const OptionValue& value, const PasswordHasher*) {
  if (value.text.empty()) {
    options.roomCount = 0;
    return {};
  }
  if (std::string problem = roomNameProblem(value.text); !problem.empty()) {
    return "room " + problem;
  }
  for (const RoomName& room : options.roomList()) {
    if (std::ranges::equal(room.view(), value.text,
                           [](char a, char b) { return lowerCase(a) == lowerCase(b); })) {
      return "room " + quoted(value.text) + " is given twice";
    }
  }
  if (options.roomCount == kMostRooms) {
    return "room " + quoted(value.text) + " is one too many: at most " +
           std::to_string(kMostRooms) + " rooms";
  }
  options.rooms[options.roomCount++].assign(value.text);
  return {};
}

constexpr OptionRow kRows[] = {
    {
        .key = "charset",
        .kind = OptionKind::kText,
        .choices = kCommonCharsets,
        .defaultValue = "auto",
        .valueName = "NAME",
        .help = "the DC client's character set, as iconv names it (default utf-8)",
        .label = "Charset",
        .tip = "The DC client's character set (any name iconv knows)",
        .apply = applyCharset,
        .values =
            [](const SessionOptions& options) {
              return oneValue(options.charset.empty() ? "auto" : options.charset.view());
            },
    },
    {
        .key = "fingerprint",
        .kind = OptionKind::kText,
        .valueName = "HEX",
        .help = "SHA-256 of a server certificate to trust whatever its chain\n"
                "(64 hex digits, colons optional; default none)",
        .label = "Fingerprint",
        .tip = "SHA-256 of a certificate to trust",
        .apply = applyFingerprint,
        .values =
            [](const SessionOptions& options) { return oneValue(options.fingerprint.view()); },
    },
    {
        .key = "login",
        .kind = OptionKind::kChoice,
        .choices = kLoginChoices,
        .defaultValue = "none",
        .help = "pass: the hub password as IRC server password;\n"
                "sasl: SASL PLAIN with the DC nick as account (default none)",
        .label = "Login",
        .tip = "How the hub password logs in to IRC",
        .apply =
            [](SessionOptions& options, const OptionValue& value, const PasswordHasher*) {
              options.login = static_cast<LoginMode>(value.number);
              return std::string();
            },
        .values =
            [](const SessionOptions& options) {
              return oneValue(kLoginChoices[static_cast<std::size_t>(options.login)].value);
            },
    },
    {
        .key = "pace",
        .kind = OptionKind::kToggle,
        .defaultValue = "on",
        .help = "pace lines towards IRC (default on)",
        .label = "Pace lines to IRC",
        .apply =
            [](SessionOptions& options, const OptionValue& value, const PasswordHasher*) {
              options.pace = value.number != 0;
              return std::string();
            },
        .values =
            [](const SessionOptions& options) { return oneValue(options.pace ? "on" : "off"); },
    },
    {
        .key = "max-sessions",
        .kind = OptionKind::kNumber,
        .least = 1,
        .most = kMostMaxSessions,
        .defaultValue = "8",
        .valueName = "N",
        .help = "DC clients served at once, 1 to 1000; more are refused\n"
                "(default 8)",
        .label = "Max sessions",
        .tip = "DC clients this Bridge serves at once",
        .apply =
            [](SessionOptions& options, const OptionValue& value, const PasswordHasher*) {
              options.maxSessions = static_cast<std::uint16_t>(value.number);
              return std::string();
            },
        .values =
            [](const SessionOptions& options) {
              return oneValue(std::to_string(options.maxSessions));
            },
    },
    {
        .key = "password",
        .kind = OptionKind::kSecret,
        .storedKey = "password-hash",
        .valueName = "TEXT",
        .help = "a password DC clients must give to use the Bridge, kept\n"
                "only as a salted hash; no NUL, '|' or '$' (default none)",
        .label = "Password",
        .tip = "A password DC clients must give to use this Bridge, stored only as a salted "
               "hash. Left empty, Update keeps the stored one",
        .apply = applyPassword,
        .values =
            [](const SessionOptions& options) {
              return options.hasPassword() ? oneValue(passwordHashText(options.password))
                                           : std::vector<std::string>();
            },
    },
    {
        .key = "room",
        .kind = OptionKind::kList,
        .most = kMostRooms,
        .valueName = "#CHANNEL",
        .help = "another channel of the network on the same connection,\n"
                "shown as a hub user whose private messages are its chat;\n"
                "repeatable, up to 16 (default none)",
        .label = "Rooms",
        .tip = "More channels of the same network, separated by spaces: each is a user of "
               "the hub, and its chat comes as private messages from it",
        .apply = applyRoom,
        .values =
            [](const SessionOptions& options) {
              std::vector<std::string> names;
              for (const RoomName& room : options.roomList()) {
                names.emplace_back(room.view());
              }
              return names;
            },
    },
};

// The values of a toggle, off first so that a value's index is its state.
constexpr std::string_view kToggleValues[] = {"off", "on"};

// What the kind checks before the row's `apply`: a kChoice's value among
// its choices, a toggle's on or off, a number's digits and bounds.
std::string readValue(const OptionRow& optionRow, OptionValue& value) {
  const std::string_view text = value.text;
  switch (optionRow.kind) {
    case OptionKind::kChoice: {
      std::string names;
      for (std::size_t i = 0; i < optionRow.choices.size(); ++i) {
        if (equalsIgnoringCase(text, optionRow.choices[i].value)) {
          value.number = static_cast<std::uint32_t>(i);
          return {};
        }
        names += i == 0 ? "" : ", ";
        names += optionRow.choices[i].value;
      }
      return std::string(optionRow.key) + " " + quoted(text) + " is not one of " + names;
    }
    case OptionKind::kToggle:
      for (std::uint32_t state = 0; state < 2; ++state) {
        if (equalsIgnoringCase(text, kToggleValues[state])) {
          value.number = state;
          return {};
        }
      }
      return std::string(optionRow.key) + " " + quoted(text) + " is not on or off";
    case OptionKind::kNumber: {
      if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::string(optionRow.key) + " " + quoted(text) + " is not a number";
      }
      const std::optional<std::uint32_t> number = readDecimal(text, optionRow.most);
      if (!number || *number < optionRow.least) {
        return std::string(optionRow.key) + " " + quoted(text) + " is not from " +
               std::to_string(optionRow.least) + " to " + std::to_string(optionRow.most);
      }
      value.number = *number;
      return {};
    }
    case OptionKind::kText:
    case OptionKind::kSecret:
    case OptionKind::kList:
      return {};
  }
  return {};
}

}  // namespace

std::string roomNameProblem(std::string_view name) {
  if (name.empty()) {
    return "\"\" is empty: a channel name starts with #, &, + or !";
  }
  const std::string shown = quoted(name);
  if (std::string_view("#&+!").find(name.front()) == std::string_view::npos) {
    return shown + " does not start with #, &, + or !";
  }
  if (name.size() > kRoomNameLimit) {
    return shown + " is longer than " + std::to_string(kRoomNameLimit) + " bytes";
  }
  if (name.find_first_of(std::string_view(" ,\a\0\r\n", 6)) != std::string_view::npos) {
    return shown + " holds a space, comma, BEL or line break, which IRC cannot take";
  }
  return {};
}

bool isUtf8CharsetName(std::string_view name) {
  return equalsIgnoringCase(name, "utf-8") || equalsIgnoringCase(name, "utf8");
}

bool SessionOptions::utf8Named() const {
  return isUtf8CharsetName(charset.view());
}

bool SessionOptions::operator==(const SessionOptions& other) const {
  return charset.view() == other.charset.view() && fingerprint.view() == other.fingerprint.view() &&
         login == other.login && pace == other.pace && maxSessions == other.maxSessions &&
         password == other.password &&
         std::ranges::equal(roomList(), other.roomList(), [](const RoomName& a, const RoomName& b) {
           return a.view() == b.view();
         });
}

constinit const std::span<const OptionRow> kOptionRows = kRows;

const OptionRow* findOptionRow(std::string_view key) {
  for (const OptionRow& optionRow : kOptionRows) {
    if (key == optionRow.key || (!optionRow.storedKey.empty() && key == optionRow.storedKey)) {
      return &optionRow;
    }
  }
  return nullptr;
}

std::string applyOption(SessionOptions& options, std::string_view keyValue,
                        const PasswordHasher* hasher) {
  const std::size_t equals = keyValue.find('=');
  if (equals == std::string_view::npos) {
    return "option \"" + std::string(keyValue) + "\" wants KEY=VALUE";
  }
  const std::string_view key = keyValue.substr(0, equals);
  const OptionRow* optionRow = findOptionRow(key);
  if (optionRow == nullptr) {
    std::string known;
    for (const OptionRow& listed : kOptionRows) {
      known += known.empty() ? "" : ", ";
      known += listed.key;
    }
    return "unknown option \"" + std::string(key) + "\" (known: " + known + ")";
  }
  OptionValue value{keyValue.substr(equals + 1)};
  value.stored = optionRow->kind == OptionKind::kSecret && key == optionRow->storedKey;
  if (std::string refused = readValue(*optionRow, value); !refused.empty()) {
    return refused;
  }
  return optionRow->apply(options, value, hasher);
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
  for (const OptionRow& optionRow : kOptionRows) {
    const std::string_view key =
        optionRow.kind == OptionKind::kSecret ? optionRow.storedKey : optionRow.key;
    for (const std::string& value : optionRow.values(options)) {
      if (value == optionRow.defaultValue) {
        continue;
      }
      text += text.empty() ? "" : ",";
      text += key;
      text += '=';
      text += value;
    }
  }
  return text;
}

std::string optionFieldText(const SessionOptions& options, const OptionRow& optionRow) {
  if (optionRow.kind == OptionKind::kSecret) {
    return {};
  }
  std::string text;
  for (const std::string& value : optionRow.values(options)) {
    text += text.empty() ? "" : " ";
    text += value;
  }
  return text;
}

std::string applyOptionField(SessionOptions& options, const OptionRow& optionRow,
                             std::string_view text, const PasswordHasher* hasher) {
  const std::string key = std::string(optionRow.key) + '=';
  if (optionRow.kind != OptionKind::kList) {
    if (text.empty() && optionRow.kind == OptionKind::kText) {
      text = optionRow.defaultValue;
    }
    return applyOption(options, key + std::string(text), hasher);
  }
  // The field is the whole list: emptied first, then each item added.
  if (std::string refused = applyOption(options, key, hasher); !refused.empty()) {
    return refused;
  }
  while (!text.empty()) {
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
      break;
    }
    text.remove_prefix(start);
    const std::size_t end = text.find_first_of(" \t");
    if (std::string refused = applyOption(options, key + std::string(text.substr(0, end)), hasher);
        !refused.empty()) {
      return refused;
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  return {};
}

}  // namespace quayside
