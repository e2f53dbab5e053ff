#include "core/session_options.h"

#include <gtest/gtest.h>

#include <string>

namespace quayside {
namespace {

constexpr std::string_view kHash =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(SessionOptions, ParseAndFormatRoundTrip) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string list;
    std::string formatted;  // what formatOptions writes back; "!" when refused
  };
  const std::string colons =
      "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:ab:cd:ef:"
      "01:23:45:67:89:ab:cd:ef:01:23:45:67:89:ab:cd:ef";
  const Row rows[] = {
      {"defaults written out", "", ""},
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
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SessionOptions options;
    const std::string error = applyOptions(options, row.list);
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

TEST(SessionOptions, RefusalNamesTheKey) {
  SessionOptions options;
  EXPECT_NE(applyOption(options, "pace=maybe").find("pace"), std::string::npos);
  EXPECT_NE(applyOption(options, "colour=red").find("colour"), std::string::npos);
}

}  // namespace
}  // namespace quayside
