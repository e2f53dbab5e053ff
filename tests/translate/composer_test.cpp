#include "translate/composer.h"

#include "recording_output.h"
#include "translate/nmdc_text.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>

namespace quayside {
namespace {

std::string escaped(std::string_view text) {
  std::array<char, 256> area{};
  Composer composer(area);
  composer.appendEscaped(text);
  return std::string(composer.view());
}

std::string unescaped(std::string_view text) {
  std::string out(text.size(), '\0');
  out.resize(nmdcUnescape(text, out.data(), out.size()));
  return out;
}

struct EscapeCase {
  const char* name;
  const char* irc;   // text as IRC holds it
  const char* nmdc;  // the same text as the hub client sees it
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << c.name;
}

class NmdcEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(NmdcEscapeTest, EscapesTowardsTheClientAndBack) {
  EXPECT_EQ(escaped(GetParam().irc), GetParam().nmdc);
  EXPECT_EQ(unescaped(GetParam().nmdc), GetParam().irc);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NmdcEscapeTest,
    ::testing::Values(EscapeCase{"plain", "hello", "hello"},
                      EscapeCase{"pipeAndDollar", "a|b$c", "a&#124;b&#36;c"},
                      EscapeCase{"commandInjection", "x|$ForceMove h", "x&#124;&#36;ForceMove h"},
                      EscapeCase{"ampersandAlone", "fish & chips", "fish & chips"},
                      EscapeCase{"literalEscapeText", "&#124;", "&amp;#124;"},
                      EscapeCase{"literalAmp", "&amp;", "&amp;amp;"},
                      EscapeCase{"literalDollarEscape", "&#36;x", "&amp;#36;x"},
                      EscapeCase{"unfinishedEscape", "&#12", "&#12"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NmdcUnescape, IsOneLeftToRightPass) {
  EXPECT_EQ(unescaped("&amp;#124;"), "&#124;") << "not unescaped twice into '|'";
  EXPECT_EQ(unescaped("&&#36;"), "&$");
}

TEST(Composer, NeverWritesPastItsAreaAndKeepsRoomForTheTerminator) {
  std::array<char, 12> area{};
  area.fill('#');
  Composer composer(std::span<char>(area.data(), 10));
  composer.append("0123456789abc");
  EXPECT_TRUE(composer.truncated());
  EXPECT_EQ(composer.view(), "01234567");
  composer.terminate("\r\n");
  EXPECT_EQ(composer.view(), "01234567\r\n");
  EXPECT_EQ(area[10], '#') << "nothing written past the area";
}

TEST(Composer, WritesOnlyWholeEscapes) {
  std::array<char, 10> area{};
  Composer composer(area);  // 8 bytes of room
  composer.appendEscaped("ab|c");
  EXPECT_EQ(composer.view(), "ab&#124;");
  composer.appendEscaped("|");
  EXPECT_EQ(composer.view(), "ab&#124;") << "no half escape at the limit";
  EXPECT_TRUE(composer.truncated());
}

TEST(Batch, SendsWholeCommandsInAsFewSendsAsFit) {
  testing::RecordingOutput out(20);  // room for two of the three commands
  {
    Batch batch(out, Peer::kClient);
    for (const char* nick : {"alice", "bob", "carol"}) {
      batch.add([nick](Composer& c) {
        c.append("$Q ");
        c.append(nick);
        c.terminate("|");
      });
    }
  }  // the rest is flushed when the batch ends
  EXPECT_EQ(out.client, (std::vector<std::string>{"$Q alice|$Q bob|", "$Q carol|"}));
}

TEST(Batch, CommandTooLongAloneIsCutButStillTerminated) {
  testing::RecordingOutput out(8);
  {
    Batch batch(out, Peer::kServer);
    batch.add([](Composer& c) {
      c.append("PRIVMSG #c :long");
      c.terminate("\r\n");
    });
  }
  EXPECT_EQ(out.server, (std::vector<std::string>{"PRIVMS\r\n"}));
}

}  // namespace
}  // namespace quayside
