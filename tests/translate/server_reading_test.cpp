#include "translate/server_reading.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quayside {
namespace {

using namespace std::string_view_literals;

TEST(ServerReading, NickMatchesComparesWordsWithCaseFolded) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string_view nick;
    std::string_view line;  // the word starts at index 0; no CR LF, as framing cut it off
    bool matches;
    bool source = false;  // the line is a source: its nick is the word
  };
  const std::vector<Row> rows = {
      {"letter case not folded", "Me", "mE :x", true},
      {"IRC bracket folding missing", "[a]\\^", "{A}|~ x", true},
      {"word at line end rejected", "me", "me", true},
      {"longer word accepted", "me", "me2 x", false},
      {"shorter word accepted", "me", "m", false},
      {"word ending at NUL accepted", "me", "me\0 "sv, false},
      {"CR taken for a word end", "me", "me\rx", false},
      {"'!' accepted in a plain word", "me", "me!u@h", false},
      {"'!' rejected after a prefix nick", "me", "me!u@h", true, true},
      {"read past the line", "me ", "me", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string source = ":" + std::string(row.line) + " X";
    const IrcLine line(source);
    const std::string_view word = row.source ? line.nick() : row.line.substr(0, row.line.find(' '));
    EXPECT_EQ(nickMatches(row.nick, word), row.matches);
  }
}

TEST(ServerReading, PrefixHashRotatesLeftByThreeAfterEachByte) {
  EXPECT_EQ(prefixHash(""), 0u);
  EXPECT_EQ(prefixHash("a"), 0x61u << 3);
  EXPECT_EQ(prefixHash("ab"), (((0x61u << 3) + 0x62u) << 3));
  // Long enough for high bits to come round to the bottom.
  EXPECT_EQ(prefixHash("irc.example.net!~user@host"), 0xb37a6b1cu);
  // Equal hashes from different senders are easy to make; they stay apart.
  EXPECT_EQ(prefixHash("aa!u@h"), prefixHash("bY!u@h"));
  EXPECT_FALSE(samePrefix("aa!u@h", "bY!u@h"));
  EXPECT_TRUE(samePrefix("bob!u@h", "bob!u@h"));
}

}  // namespace
}  // namespace quayside
