#pragma once

#include "core/fixed_text.h"
#include "core/password_hasher.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

// How the IRC session logs in with the DC client's hub password.
enum class LoginMode : std::uint8_t {
  kNone,  // no password
  kPass,  // PASS before NICK and USER
  kSasl,  // SASL PLAIN with the DC nick as account
};

inline constexpr std::uint16_t kDefaultMaxSessions = 8;
inline constexpr std::uint16_t kMostMaxSessions = 1000;
// How long a session may outlive its DC client, in minutes (a day at most).
inline constexpr std::uint16_t kMostLingerMinutes = 1440;

// Rooms: more channels of the same network, joined with the Bridge's own
// and shown as users of the hub. A name is at most 50 bytes, as servers
// commonly allow.
inline constexpr std::size_t kMostRooms = 16;
inline constexpr std::size_t kRoomNameLimit = 50;
using RoomName = FixedText<kRoomNameLimit + 1>;

// Why IRC cannot use `name` as a channel (said as "#x is not ..."), or an
// empty string: it must start with '#', '&', '+' or '!', hold no space,
// comma, BEL, NUL, CR or LF, and be at most kRoomNameLimit bytes.
std::string roomNameProblem(std::string_view name);

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
  // The rooms joined at every session's start, in the order given; no two
  // alike in letter case.
  std::array<RoomName, kMostRooms> rooms{};
  std::uint8_t roomCount = 0;
  // How long the IRC session stays once its DC client left, waiting for the
  // client to come back; 0: it ends with the client.
  std::uint16_t lingerMinutes = 0;

  std::span<const RoomName> roomList() const { return {rooms.data(), roomCount}; }

  bool hasPassword() const { return password.iterations != 0; }
  std::string_view charsetName() const { return charset.empty() ? "utf-8" : charset.view(); }
  // The guess's opposite: UTF-8 named, so bytes that are not UTF-8 are errors.
  bool utf8Named() const;
  bool operator==(const SessionOptions& other) const;
};

// Whether `name` means UTF-8 ("utf-8" or "utf8" in any letter case).
bool isUtf8CharsetName(std::string_view name);

// How an option's value is written and edited. The kind checks what it can
// (a choice, a toggle, a number's bounds) before the row's `apply` is called.
enum class OptionKind : std::uint8_t {
  kText,    // free text the row checks itself; `choices`, when given, are suggestions
  kChoice,  // one of `choices`, in any letter case; `apply` gets its index
  kToggle,  // on or off, in any letter case; `apply` gets 1 or 0
  kNumber,  // decimal digits from `least` to `most`; `apply` gets the number
  // A text kept only as its hash: typed under `key`, written and read back
  // under `storedKey`; the editor never shows it, only whether one is set.
  kSecret,
  // Repeatable: each KEY=VALUE adds one item (at most `most`), an empty
  // value empties the list; the editor shows the items separated by blanks.
  kList,
};

// A value of a kChoice row and the words the windows show for it; for a
// kText row a suggestion, shown as it is written.
struct OptionChoice {
  std::string_view value;
  std::string_view label{};  // empty: the value itself

  std::string_view shown() const { return label.empty() ? value : label; }
};

// One value as the kind has read it: the text after '=', and for kChoice,
// kToggle and kNumber the index, 1 or 0, or the number.
struct OptionValue {
  std::string_view text;
  std::uint32_t number = 0;
  bool stored = false;  // kSecret: given under storedKey, in its stored form
};

// One per-Bridge option, described once: the parser, the formatter, the
// daemon's usage text and both windows' option editors read these rows.
struct OptionRow {
  std::string_view key{};
  OptionKind kind = OptionKind::kText;
  std::span<const OptionChoice> choices{};
  std::uint32_t least = 0;  // kNumber's bounds; kList's `most` is its item count
  std::uint32_t most = 0;
  // The value the options start with, as applyOption takes it; formatOptions
  // leaves it out, and an empty kText field in the editor stands for it.
  std::string_view defaultValue{};
  std::string_view storedKey{};  // kSecret only
  // The usage texts: the value's placeholder after '=' (kChoice and kToggle
  // list their values instead), and the help lines, separated by '\n', that
  // say what it does and its default.
  std::string_view valueName{};
  std::string_view help{};
  // The Qt window's caption for the field (a toggle's is its box's text)
  // and its tooltip (a plain text field's placeholder).
  std::string_view label{};
  std::string_view tip{};
  // Sets the option from a value the kind has checked; returns why it is
  // refused, naming the key, or an empty string.
  std::string (*apply)(SessionOptions& options, const OptionValue& value,
                       const PasswordHasher* hasher) = nullptr;
  // The current values as applyOption takes them (kSecret: its stored form;
  // none when unset); one per item for kList.
  std::vector<std::string> (*values)(const SessionOptions& options) = nullptr;
};

// Every per-Bridge option, in the order formatOptions writes them.
extern const std::span<const OptionRow> kOptionRows;

// The row whose key (or, for a secret, stored key) is `key`; null when none.
const OptionRow* findOptionRow(std::string_view key);

// Applies one "key=value" option, by its row in kOptionRows: charset (a
// name, or "auto" for the default), fingerprint (hex, colons optional, any
// case), login (none, pass, sasl), pace (on, off), max-sessions (1 to 1000),
// password (the text, hashed by `hasher`; empty clears it; refused without
// a hasher) and password-hash (the stored form,
// "pbkdf2-sha256:ITERATIONS:SALT:KEY" in base64, read exactly). Returns why
// the option is refused, naming the key, or an empty string.
std::string applyOption(SessionOptions& options, std::string_view keyValue,
                        const PasswordHasher* hasher = nullptr);

// Applies a comma-separated list of options (empty items are refused).
std::string applyOptions(SessionOptions& options, std::string_view list,
                         const PasswordHasher* hasher = nullptr);

// The options that differ from the defaults, as "key=value" items joined by
// commas, in a fixed order; applyOptions reads it back to the same options.
// A password is written as its password-hash, never as text.
std::string formatOptions(const SessionOptions& options);

// What an option's editor field shows for `options`: the value (kList: the
// items separated by blanks); a kSecret's field is always empty.
std::string optionFieldText(const SessionOptions& options, const OptionRow& optionRow);

// Applies what an option's editor field holds: an empty kText field is the
// default, a kList field replaces the whole list, any other text is applied
// as KEY=TEXT. A kSecret field is applied as typed (empty removes it), so
// the caller decides whether an empty field means "keep".
std::string applyOptionField(SessionOptions& options, const OptionRow& optionRow,
                             std::string_view text, const PasswordHasher* hasher = nullptr);

}  // namespace quayside
