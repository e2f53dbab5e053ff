#include "platform/charset.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quayside::platform {
namespace {

enum class Way { kBoth, kToUtf8, kFromUtf8 };

TEST(Charset, ConvertsWithQuestionMarksForWhatIsMissing) {
  struct Row {
    const char* name;  // what is broken when the row fails
    const char* charset;
    std::string client;  // in the client's set
    std::string utf8;
    Way way = Way::kBoth;
  };
  const std::vector<Row> rows = {
      {"windows-1252 accents and euro", "windows-1252", "caf\xe9 \x80", "caf\xc3\xa9 \xe2\x82\xac"},
      {"windows-1252 undefined byte kept", "windows-1252", "a\x81z", "a?z", Way::kToUtf8},
      {"windows-1252 has Cyrillic", "windows-1252", "?", "\xd0\x92", Way::kFromUtf8},
      {"emoji not one '?'", "windows-1252", "?x", "\xf0\x9f\x98\x80x", Way::kFromUtf8},
      {"windows-1251 Cyrillic", "windows-1251", "\xcf\xf0\xe8\xe2\xe5\xf2",
       "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
      {"windows-1251 has e-acute", "windows-1251", "?", "\xc3\xa9", Way::kFromUtf8},
      {"koi8-r Cyrillic", "KOI8-R", "\xf0\xd2\xc9", "\xd0\x9f\xd1\x80\xd0\xb8"},
      {"iso-8859-2 ogonek", "iso-8859-2", "\xb1", "\xc4\x85"},
      {"NMDC bytes changed", "cp1251", "<a> $x|y&#124;\x01", "<a> $x|y&#124;\x01"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    const std::unique_ptr<TextConverter> converter = openCharset(row.charset, error);
    ASSERT_NE(converter, nullptr) << error;
    std::string out(64, '\0');
    if (row.way != Way::kFromUtf8) {
      EXPECT_EQ(out.substr(0, converter->toUtf8(row.client, out).written), row.utf8);
    }
    if (row.way != Way::kToUtf8) {
      EXPECT_EQ(out.substr(0, converter->fromUtf8(row.utf8, out).written), row.client);
    }
  }
}

TEST(Charset, StopsAfterAWholeCharacterWhenFull) {
  std::string error;
  const std::unique_ptr<TextConverter> converter = openCharset("windows-1251", error);
  ASSERT_NE(converter, nullptr) << error;
  std::string out(3, '\0');
  const Conversion done = converter->toUtf8("\xcf\xf0", out);
  EXPECT_EQ(done.read, 1u);
  EXPECT_EQ(out.substr(0, done.written), "\xd0\x9f");
}

TEST(Charset, RefusesWhatNmdcCannotCarry) {
  struct Row {
    const char* name;
    const char* charset;
    bool usable;
    const char* error;  // a part of it
  };
  const std::vector<Row> rows = {
      {"UTF-8 needs a converter", "utf-8", true, ""},
      {"UTF8 spelling refused", "UTF8", true, ""},
      {"unknown set accepted", "no-such-set", false, "\"no-such-set\" is not known"},
      {"UTF-16 accepted", "UTF-16", false, "does not write ASCII as ASCII"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    EXPECT_EQ(openCharset(row.charset, error), nullptr);
    EXPECT_EQ(charsetUsable(row.charset, error), row.usable);
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace quayside::platform
