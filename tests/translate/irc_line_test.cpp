#include "translate/irc_line.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace quayside {
namespace {

using namespace std::string_view_literals;

std::string fifteenth(int from) {
  std::string rest;
  for (int i = from; i <= 20; ++i) {
    rest += "p" + std::to_string(i) + (i < 20 ? " " : "");
  }
  return rest;
}

TEST(IrcLine, PartsAreReadOnce) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string line;  // without CR LF, as framing hands it over
    std::string_view source;
    std::string_view nick;
    std::string_view user;
    std::string_view host;
    std::string_view command;
    int numeric;  // -1: not a numeric
    std::vector<std::string> parameters;
    bool trailing;
    std::string_view tags = "";
  };
  std::string many = ":s CMD";
  std::vector<std::string> fifteen;
  for (int i = 1; i <= 20; ++i) {
    many += " p" + std::to_string(i);
    if (i < 15) {
      fifteen.push_back("p" + std::to_string(i));
    }
  }
  fifteen.push_back(fifteenth(15));
  const std::vector<Row> rows = {
      {"full source not split",
       ":bob!~b@host.net PRIVMSG #c :hi there",
       "bob!~b@host.net",
       "bob",
       "~b",
       "host.net",
       "PRIVMSG",
       -1,
       {"#c", "hi there"},
       true},
      {"server source taken for a user",
       ":irc.example.net 001 me :Welcome",
       "irc.example.net",
       "irc.example.net",
       "",
       "",
       "001",
       1,
       {"me", "Welcome"},
       true},
      {"nick@host not split", ":bob@h JOIN #c", "bob@h", "bob", "", "h", "JOIN", -1, {"#c"}, false},
      {"line without source given one", "PING :tok", "", "", "", "", "PING", -1, {"tok"}, true},
      {"four digits taken for a numeric", ":s 0012 x", "s", "s", "", "", "0012", -1, {"x"}, false},
      {"letters taken for a numeric", ":s 12a x", "s", "s", "", "", "12a", -1, {"x"}, false},
      {"tags not set apart",
       "@time=2026-12-08T17:00:00.000Z;+x :a!u@h PRIVMSG #c :t",
       "a!u@h",
       "a",
       "u",
       "h",
       "PRIVMSG",
       -1,
       {"#c", "t"},
       true,
       "time=2026-12-08T17:00:00.000Z;+x"},
      {"tags without a source lost the command",
       "@a=b PING :x",
       "",
       "",
       "",
       "",
       "PING",
       -1,
       {"x"},
       true,
       "a=b"},
      {"tags alone read as a command", "@a=b;c", "", "", "", "", "", -1, {}, false, "a=b;c"},
      // Each space ends a parameter: a run of them leaves empty ones, as the
      // words of a line have always been read here (an empty kicked nick
      // names nobody); word lists such as CAP's skip them.
      {"several spaces collapsed",
       ":op KICK #c  :x",
       "op",
       "op",
       "",
       "",
       "KICK",
       -1,
       {"#c", "", "x"},
       true},
      {"space at the end lost its empty parameter",
       "NOTICE ",
       "",
       "",
       "",
       "",
       "NOTICE",
       -1,
       {""},
       false},
      {"empty trailing missing", ":s TOPIC #c :", "s", "s", "", "", "TOPIC", -1, {"#c", ""}, true},
      {"colon inside a word taken for the trailing",
       ":s X a:b :c d",
       "s",
       "s",
       "",
       "",
       "X",
       -1,
       {"a:b", "c d"},
       true},
      {"trailing's spaces and colons lost",
       ":s X : a :b ",
       "s",
       "s",
       "",
       "",
       "X",
       -1,
       {" a :b "},
       true},
      {"15th parameter not the rest of the line", many, "s", "s", "", "", "CMD", -1, fifteen,
       false},
      {"NUL not ending the line",
       std::string(":s X a\0b :c"sv),
       "s",
       "s",
       "",
       "",
       "X",
       -1,
       {"a"},
       false},
      {"bare source read as a command", ":srv", "srv", "srv", "", "", "", -1, {}, false},
      {"empty line", "", "", "", "", "", "", -1, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const IrcLine line(row.line);
    EXPECT_EQ(line.tags(), row.tags);
    EXPECT_EQ(line.hasSource(), !row.source.empty());
    EXPECT_EQ(line.source(), row.source);
    EXPECT_EQ(line.nick(), row.nick);
    EXPECT_EQ(line.user(), row.user);
    EXPECT_EQ(line.host(), row.host);
    EXPECT_EQ(line.command(), row.command);
    EXPECT_EQ(line.isNumeric(), row.numeric >= 0);
    EXPECT_EQ(line.numeric(), row.numeric >= 0 ? row.numeric : 0);
    ASSERT_EQ(line.parameterCount(), row.parameters.size());
    for (std::size_t i = 0; i < row.parameters.size(); ++i) {
      EXPECT_EQ(line.parameter(i), row.parameters[i]) << i;
    }
    EXPECT_EQ(line.parameter(row.parameters.size()), "");
    EXPECT_EQ(line.hasTrailing(), row.trailing);
  }
}

TEST(IrcLine, RawTextsAfterParameters) {
  const IrcLine line(":srv 433 * me :Nickname in use");
  EXPECT_EQ(line.rest(1), "me :Nickname in use");
  EXPECT_EQ(line.rest(2), "Nickname in use");
  EXPECT_EQ(line.rest(3), "");
  EXPECT_EQ(line.middle(1), "me");
  EXPECT_EQ(line.middle(2), "");  // the trailing parameter is no word
  EXPECT_EQ(line.fromCommand(), "433 * me :Nickname in use");
  EXPECT_EQ(IrcLine(":srv 372 :x").textAfter(1), "x");
  EXPECT_EQ(IrcLine(":srv 372 me").textAfter(1), "");
  EXPECT_EQ(IrcLine("@t=1 :srv X a").fromCommand(), "X a");

  // Past the 15th parameter the words go on.
  std::string mode = ":op MODE #c +oooooooooooooooooooo";
  for (int i = 0; i < 20; ++i) {
    mode += " n" + std::to_string(i);
  }
  mode += " :last";
  IrcWords words = IrcLine(mode).wordsFrom(2);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(words.next(), "n" + std::to_string(i));
    EXPECT_FALSE(words.trailing());
  }
  EXPECT_EQ(words.next(), "last");
  EXPECT_TRUE(words.trailing());
  EXPECT_TRUE(words.done());
}

TEST(IrcLine, TagValuesAreUnescapedWithinTheBuffer) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string line;
    std::string_view key;
    std::optional<std::string> value;  // nothing: no such tag
  };
  const std::vector<Row> rows = {
      {"plain value lost", "@time=12:00 PING", "time", "12:00"},
      {"escapes kept", R"(@k=a\:b\sc\\d\re\nf PING)", "k", "a;b c\\d\re\nf"},
      {"lone backslash at the end kept", R"(@k=ab\ PING)", "k", "ab"},
      {"unknown escape not the byte itself", R"(@k=\x\b PING)", "k", "xb"},
      {"missing value not empty", "@a;k;b=1 PING", "k", ""},
      {"empty value not empty", "@k= PING", "k", ""},
      {"';' runs break the lookup", "@;;a=1;;;k=2;; PING", "k", "2"},
      {"key prefix taken for the key", "@kk=1;k2=2 PING", "k", std::nullopt},
      {"client tag taken for the plain key", "@+k=1 PING", "k", std::nullopt},
      {"client tag not found", "@+k=1 PING", "+k", "1"},
      {"first of two same keys not taken", "@k=1;k=2 PING", "k", "1"},
      {"tag found without tags", "PING :k=1", "k", std::nullopt},
      {"NUL inside the tags read past", std::string("@k=a\0b PING"sv), "k", "a"},
      {"value longer than the buffer overran", "@k=" + std::string(100, 'v') + " PING", "k",
       std::string(16, 'v')},
      {"escape at the buffer's end overran", "@k=" + std::string(15, 'v') + R"(\s\s PING)", "k",
       std::string(15, 'v') + " "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::array<char, 16> buffer{};
    const std::optional<std::size_t> size = IrcLine(row.line).tag(row.key, buffer);
    ASSERT_EQ(size.has_value(), row.value.has_value());
    if (size) {
      EXPECT_EQ(std::string(buffer.data(), *size), *row.value);
    }
  }
}

}  // namespace
}  // namespace quayside
