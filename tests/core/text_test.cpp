#include "core/text.h"

#include "core/fixed_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

namespace quayside {
namespace {

std::string decimal(std::uint32_t value) {
  char buffer[16];
  char* end = appendDecimal(buffer, value);
  return std::string(buffer, end);
}

TEST(AppendDecimal, WritesDigitsWithoutLeadingZeros) {
  EXPECT_EQ(decimal(0), "0");
  EXPECT_EQ(decimal(10), "10");
  EXPECT_EQ(decimal(6667), "6667");
  EXPECT_EQ(decimal(4294967295u), "4294967295");
}

TEST(AppendText, ComposesPiecesAtAMovingPosition) {
  char buffer[64];
  char* at = appendText(buffer, "");
  EXPECT_EQ(at, buffer) << "an empty text writes nothing";
  at = appendText(at, "dchub");
  at = appendText(at, "://127.0.0.1:");
  at = appendDecimal(at, 411);
  *at = '\0';
  EXPECT_STREQ(buffer, "dchub://127.0.0.1:411");
}

struct ParseCase {
  const char* name;
  const char* text;
  std::uint32_t expected;
};

class ParseDecimalTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseDecimalTest, ReadsDigitsUpToTheFirstOtherByte) {
  EXPECT_EQ(parseDecimal(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseDecimalTest,
                         ::testing::Values(ParseCase{"plain", "6667", 6667},
                                           ParseCase{"stopsAtLetters", "12ab", 12},
                                           ParseCase{"empty", "", 0},
                                           ParseCase{"leadingBlankStops", " 12", 0},
                                           ParseCase{"wrapsAt2to32", "4294967296", 0},
                                           ParseCase{"portAboveSixteenBits", "65547", 65547},
                                           ParseCase{"noSign", "-5", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseDecimal, PortTakesTheLowSixteenBits) {
  EXPECT_EQ(parseDecimal("65547") & 0xFFFFu, 11u);
}

TEST(FixedText, HoldsAtMostItsCapacityAndEndsAtANul) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string text;
    std::size_t limit;
    std::string held;
  };
  using namespace std::string_literals;
  const Row rows[] = {
      {"short text changed", "abc", 100, "abc"},
      {"capacity overrun", std::string(9, 'x'), 100, std::string(7, 'x')},
      {"limit ignored", "abcdef", 2, "ab"},
      {"NUL kept inside", "ab\0cd"s, 100, "ab"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FixedText<8> assigned;
    assigned.assign("old text");
    assigned.assign(row.text, row.limit);
    EXPECT_EQ(assigned.view(), row.held);
    FixedText<8> written;
    written.write(row.limit, [&](std::span<char> area) {
      const std::size_t count = std::min(area.size(), row.text.size());
      row.text.copy(area.data(), count);
      return count;
    });
    EXPECT_EQ(written.view(), row.held);
  }
}

}  // namespace
}  // namespace quayside
