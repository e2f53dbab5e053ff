#include "translate/client_charset.h"

#include "support/recording_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quayside {
namespace {

using testing::RecordingOutput;

TEST(ClientCharset, RepairReadsStrayBytesAsWindows1252) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string text;
    std::size_t room;
    std::string repaired;
  };
  const std::vector<Row> rows = {
      {"valid UTF-8 changed", "a\xc3\xa9\xf0\x9f\x98\x80", 16, "a\xc3\xa9\xf0\x9f\x98\x80"},
      {"stray bytes lost", "\xe9!\x80\x81\x9f", 16, "\xc3\xa9!\xe2\x82\xac\xc2\x81\xc5\xb8"},
      {"overlong form kept", "\xc0\xaf", 16, "\xc3\x80\xc2\xaf"},
      {"surrogate kept", "\xed\xa0\x80", 16, "\xc3\xad\xc2\xa0\xe2\x82\xac"},
      {"cut inside a character", "ab\xc3\xa9", 3, "ab"},
      {"cut inside a repaired byte", "ab\xe9", 3, "ab"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string out(row.room, '\0');
    const Conversion done = repairUtf8(row.text, out);
    EXPECT_EQ(out.substr(0, done.written), row.repaired);
    EXPECT_TRUE(isValidUtf8(out.substr(0, done.written)));
  }
}

// A group that outgrows the area once repaired leaves as several, split
// between whole messages.
TEST(ClientCharset, Windows1252WithoutTheSystemConverter) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string client;
    std::string utf8;
  };
  const std::vector<Row> rows = {
      {"Latin-1 range", "caf\xe9 \xff", "caf\xc3\xa9 \xc3\xbf"},
      {"0x80..0x9F table", "\x80\x8a\x9f", "\xe2\x82\xac\xc5\xa0\xc5\xb8"},
      {"undefined byte lost", "\x81", "\xc2\x81"},
  };
  TextConverter& converter = windows1252Converter();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string out(3 * row.client.size(), '\0');
    out.resize(converter.toUtf8(row.client, out).written);
    EXPECT_EQ(out, row.utf8);
    std::string back(row.utf8.size(), '\0');
    back.resize(converter.fromUtf8(row.utf8, back).written);
    EXPECT_EQ(back, row.client);
  }
  std::string lacking(4, '\0');
  lacking.resize(converter.fromUtf8("\xce\xa9\xf0\x9f\x98\x80", lacking).written);
  EXPECT_EQ(lacking, "??") << "characters windows-1252 lacks become '?'";
}

TEST(ClientCharset, GrownGroupSplitsBetweenMessages) {
  RecordingOutput recorded;
  ClientCharsetOutput out(recorded, {});
  const std::string message = "<a> " + std::string(12000, '\xe9') + "|";
  const std::string group = message + message;
  const std::span<char> area = out.area(Peer::kClient);
  std::copy(group.begin(), group.end(), area.begin());
  out.commit(Peer::kClient, group.size());
  std::string repaired = "<a> ";
  for (int i = 0; i < 12000; ++i) {
    repaired += "\xc3\xa9";
  }
  repaired += "|";
  EXPECT_EQ(recorded.client, (std::vector<std::string>{repaired, repaired}));
}

}  // namespace
}  // namespace quayside
