#include "core/session_options.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quayside {
namespace {

constexpr std::string_view kHash =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// Salt bytes 1 to 16 and a key of 32 'Z's, in base64.
constexpr std::string_view kSalt = "AQIDBAUGBwgJCgsMDQ4PEA==";
constexpr std::string_view kKey = "WlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlo=";

// Gives every password the same fixed hash and records what it was given.
class FixedHasher : public PasswordHasher {
 public:
  bool hash(std::string_view password, PasswordHash& hash, std::string& error) const override {
    given.emplace_back(password);
    if (password == "fail") {
      error = "no entropy";
      return false;
    }
    hash.iterations = 100'000;
    for (std::size_t i = 0; i < hash.salt.size(); ++i) {
      hash.salt[i] = static_cast<std::uint8_t>(i + 1);
    }
    hash.key.fill('Z');
    return true;
  }
  mutable std::vector<std::string> given;
};

std::string storedHash(std::string_view iterations, std::string_view salt, std::string_view key) {
  return "password-hash=pbkdf2-sha256:" + std::string(iterations) + ":" + std::string(salt) + ":" +
         std::string(key);
}

TEST(SessionOptions, ParseAndFormatRoundTrip) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string list;
    std::string formatted;  // what formatOptions writes back; "!" when refused
  };
  const std::string colons =
      "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:ab:cd:ef:"
      "01:23:45:67:89:ab:cd:ef:01:23:45:67:89:ab:cd:ef";
  std::string sixteenRooms = "room=#1";
  for (int room = 2; room <= 16; ++room) {
    sixteenRooms += ",room=#" + std::to_string(room);
  }
  const Row rows[] = {
      {"defaults written out", "", ""},
      {"16 rooms", sixteenRooms, sixteenRooms},
      {"every key", "charset=cp1251,login=sasl,pace=off", "charset=cp1251,login=sasl,pace=off"},
      {"utf-8 by name is not the guessing default", "charset=UTF-8", "charset=UTF-8"},
      {"auto in any case is the default", "charset=cp1251,charset=Auto", ""},
      {"values in any case", "login=PASS,pace=On", "login=pass"},
      {"fingerprint colons and case", "fingerprint=" + colons, "fingerprint=" + std::string(kHash)},
      {"later option wins", "login=pass,login=none", ""},
      {"short fingerprint", "fingerprint=abcd", "!"},
      {"long fingerprint", "fingerprint=" + std::string(kHash) + "0", "!"},
      {"non-hex fingerprint", "fingerprint=" + std::string(63, 'a') + "g", "!"},
      {"unknown key", "colour=red", "!"},
      {"no value", "pace", "!"},
      {"bad login", "login=token", "!"},
      {"bad pace", "pace=yes", "!"},
      {"charset with a comma-free but odd name", "charset=cp 1252", "!"},
      {"trailing comma", "pace=off,", "!"},
      {"empty item", ",pace=off", "!"},
      {"max-sessions written when not the default", "max-sessions=20", "max-sessions=20"},
      {"max-sessions default not written", "max-sessions=20,max-sessions=8", ""},
      {"max-sessions bounds and leading zeros", "max-sessions=1000,max-sessions=0001",
       "max-sessions=1"},
      {"max-sessions after pace", "max-sessions=1000,pace=off", "pace=off,max-sessions=1000"},
      {"max-sessions zero", "max-sessions=0", "!"},
      {"max-sessions above 1000", "max-sessions=1001", "!"},
      {"max-sessions that would wrap", "max-sessions=4294967297", "!"},
      {"max-sessions not a number", "max-sessions=eight", "!"},
      {"max-sessions signed", "max-sessions=+8", "!"},
      {"max-sessions empty", "max-sessions=", "!"},
      {"password stored as its hash only", "password=secret", storedHash("100000", kSalt, kKey)},
      {"empty password clears it", "password=secret,password=", ""},
      {"stored hash read exactly", storedHash("10000000", kSalt, kKey),
       storedHash("10000000", kSalt, kKey)},
      {"password the hasher fails on", "password=fail", "!"},
      {"password with a pipe", "password=a|b", "!"},
      {"password with a dollar", "password=$a", "!"},
      {"password with a NUL", std::string("password=a\0b", 12), "!"},
      {"hash below the least iterations", storedHash("99999", kSalt, kKey), "!"},
      {"hash above the most iterations", storedHash("10000001", kSalt, kKey), "!"},
      {"hash iterations with a leading zero", storedHash("0100000", kSalt, kKey), "!"},
      {"hash of another scheme",
       "password-hash=pbkdf2-sha1:100000:" + std::string(kSalt) + ":" + std::string(kKey), "!"},
      {"hash with a short salt", storedHash("100000", "AQIDBAUGBwgJCgsMDQ4P", kKey), "!"},
      {"hash salt with spare bits set", storedHash("100000", "AQIDBAUGBwgJCgsMDQ4PEB==", kKey),
       "!"},
      {"hash with a short key",
       storedHash("100000", kSalt, "WlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWg=="), "!"},
      {"hash with a field more", storedHash("100000", kSalt, kKey) + ":x", "!"},
      {"hash cut short", "password-hash=pbkdf2-sha256:100000:" + std::string(kSalt), "!"},
      {"empty hash", "password-hash=", "!"},
      {"rooms kept in the order given, every channel prefix",
       "room=#help,room=&local,room=+plain,room=!ABCDEchan",
       "room=#help,room=&local,room=+plain,room=!ABCDEchan"},
      {"rooms after every other option", "room=#help,pace=off", "pace=off,room=#help"},
      {"an empty room empties the list", "room=#help,room=,room=#dev", "room=#dev"},
      {"room of 50 bytes", "room=#" + std::string(49, 'r'), "room=#" + std::string(49, 'r')},
      {"room of 51 bytes", "room=#" + std::string(50, 'r'), "!"},
      {"room without a channel prefix", "room=help", "!"},
      {"room with a BEL", "room=#a\ab", "!"},
      {"room given twice in another case", "room=#Help,room=#hELP", "!"},
      {"a 17th room", sixteenRooms + ",room=#17", "!"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SessionOptions options;
    const FixedHasher hasher;
    const std::string error = applyOptions(options, row.list, &hasher);
    if (row.formatted == "!") {
      EXPECT_NE(error, "");
      continue;
    }
    ASSERT_EQ(error, "");
    EXPECT_EQ(formatOptions(options), row.formatted);
    SessionOptions again;
    ASSERT_EQ(applyOptions(again, formatOptions(options)), "");
    EXPECT_TRUE(again == options);
  }
}

TEST(SessionOptions, EveryOptionRoundTripsThroughFormatAndItsEditorField) {
  // A value other than the default for each row: a new option needs one here.
  const std::map<std::string_view, std::string> samples = {
      {"charset", "koi8-r"},    {"fingerprint", std::string(kHash)},
      {"login", "sasl"},        {"pace", "off"},
      {"max-sessions", "1000"}, {"password", "secret"},
      {"room", "#help"},
  };
  const FixedHasher hasher;
  for (const OptionRow& optionRow : kOptionRows) {
    SCOPED_TRACE(optionRow.key);
    const auto sample = samples.find(optionRow.key);
    ASSERT_NE(sample, samples.end()) << "no sample value";
    SessionOptions options;
    // The field a new Bridge shows gives the defaults back.
    ASSERT_EQ(applyOptionField(options, optionRow, optionFieldText(options, optionRow), &hasher),
              "");
    EXPECT_TRUE(options == SessionOptions{});

    ASSERT_EQ(applyOption(options, std::string(optionRow.key) + "=" + sample->second, &hasher), "");
    EXPECT_FALSE(options == SessionOptions{}) << "the sample is the default";
    // Read back as a settings record is: without a hasher.
    SessionOptions reread;
    ASSERT_EQ(applyOptions(reread, formatOptions(options)), "");
    EXPECT_TRUE(reread == options);

    SessionOptions edited;
    if (optionRow.kind == OptionKind::kSecret) {
      EXPECT_EQ(optionFieldText(options, optionRow), "") << "a secret is never shown";
    } else {
      ASSERT_EQ(applyOptionField(edited, optionRow, optionFieldText(options, optionRow)), "");
      EXPECT_TRUE(edited == options);
    }
  }
}

TEST(SessionOptions, RefusalNamesTheKey) {
  SessionOptions options;
  EXPECT_NE(applyOption(options, "pace=maybe").find("pace"), std::string::npos);
  EXPECT_NE(applyOption(options, "colour=red").find("colour"), std::string::npos);
  EXPECT_NE(applyOption(options, "max-sessions=0").find("max-sessions"), std::string::npos);
  EXPECT_NE(applyOption(options, "room=help").find("room"), std::string::npos);
}

TEST(SessionOptions, PasswordTextIsHashedAsTypedAndNeverQuotedBack) {
  SessionOptions options;
  const FixedHasher hasher;
  ASSERT_EQ(applyOption(options, "password=p=w,rd", &hasher), "");
  EXPECT_EQ(hasher.given, std::vector<std::string>{"p=w,rd"});
  EXPECT_TRUE(options.hasPassword());

  // Without a hasher (a stored record) a password text is refused and the
  // hash kept; no refusal repeats the text.
  const struct {
    const char* item;
    const PasswordHasher* hasher;
  } refusals[] = {{"password=hunter2", nullptr}, {"password=hunter2|", &hasher}};
  for (const auto& refusal : refusals) {
    const std::string refused = applyOption(options, refusal.item, refusal.hasher);
    EXPECT_NE(refused.find("password"), std::string::npos) << refusal.item;
    EXPECT_EQ(refused.find("hunter2"), std::string::npos) << refusal.item;
    EXPECT_TRUE(options.hasPassword()) << refusal.item;
  }
}

}  // namespace
}  // namespace quayside
