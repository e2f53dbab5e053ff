#include "relay/framing.h"

#include "recording_output.h"
#include "recording_translator.h"
#include "relay_fixture.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace quayside {
namespace {

using testing::RecordingOutput;
using testing::RecordingTranslator;

using Strings = std::vector<std::string>;

struct FramingCase {
  const char* name;
  Stream stream;
  std::vector<std::string> receives;  // one entry per receive
  Strings messages;                   // handed to the translator, without terminators
  std::string heldAfter;              // unprocessed bytes left at the buffer's start
  Strings toClient = {};              // what the framing itself told the client
};

// `text` as receives of `size` bytes each.
std::vector<std::string> inReceives(const std::string& text, std::size_t size) {
  std::vector<std::string> receives;
  for (std::size_t at = 0; at < text.size(); at += size) {
    receives.push_back(text.substr(at, size));
  }
  return receives;
}

const std::string kLongChat = "<a> " + std::string(kLongMessageLimit - 4, 'x');
const std::string kRefusal = "*** Your message was not sent: it is longer than 65,536 bytes|";

void PrintTo(const FramingCase& c, std::ostream* os) {
  *os << c.name;
}

class FramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingTest, HandsOverEachCompleteMessageOnce) {
  const FramingCase& c = GetParam();
  auto relay = testing::makeRelay();
  RecordingTranslator translator;
  RecordingOutput out;
  for (const std::string& bytes : c.receives) {
    feed(*relay, c.stream, bytes, translator, out);
  }
  EXPECT_EQ(c.stream == Stream::kClient ? translator.commands : translator.lines, c.messages);
  const bool client = c.stream == Stream::kClient;
  const std::uint32_t length = client ? relay->clientLength : relay->serverLength;
  const std::uint32_t offset = client ? relay->clientOffset : relay->serverOffset;
  const char* buffer = client ? relay->clientBuffer.data() : relay->serverBuffer.data();
  EXPECT_EQ(offset, 0u) << "unprocessed bytes always wait at the buffer's start";
  EXPECT_EQ(std::string(buffer, length), c.heldAfter);
  EXPECT_EQ(buffer[length], '\0');
  EXPECT_EQ(out.client, c.toClient);
  EXPECT_FALSE(relay->clientLongBuffer) << "no heap memory held between messages";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FramingTest,
    ::testing::Values(
        FramingCase{
            "twoCommandsAndHalfAThird", Stream::kClient, {"$A x|$B y|$C"}, {"$A x", "$B y"}, "$C"},
        FramingCase{
            "halfCommandCompletedLater", Stream::kClient, {"$A x|$C", " z|"}, {"$A x", "$C z"}, ""},
        FramingCase{"emptyCommandsAreHandedOn", Stream::kClient, {"||"}, {"", ""}, ""},
        FramingCase{"embeddedNulStaysInTheCommand",
                    Stream::kClient,
                    {std::string("$A\0b|", 5)},
                    {std::string("$A\0b", 4)},
                    ""},
        FramingCase{"oneByteAtATime", Stream::kClient, {"<", "a", ">", "|", "x"}, {"<a>"}, "x"},
        FramingCase{
            "crAndLfInSeparateReceives", Stream::kServer, {"PING :a\r", "\nPI"}, {"PING :a"}, "PI"},
        FramingCase{"crAtTheEndWaits", Stream::kServer, {"L1\r"}, {}, "L1\r"},
        FramingCase{"loneCrOrLfEndsNothing", Stream::kServer, {"a\rb\nc\r\n"}, {"a\rb\nc"}, ""},
        FramingCase{"severalLinesInOneReceive",
                    Stream::kServer,
                    {"one\r\ntwo\r\nthr"},
                    {"one", "two"},
                    "thr"},
        FramingCase{"overlongCommandTailReadAsCommand",
                    Stream::kClient,
                    {std::string(kStreamCapacity, 'x'), "more", "$Kick me|<a> b|"},
                    {"<a> b"},
                    ""},
        FramingCase{"overlongLineTailReadAsLine",
                    Stream::kServer,
                    {std::string(kStreamCapacity + 5, 'y') + "KICK #c me\r\nPING :x\r\n"},
                    {"PING :x"},
                    ""},
        FramingCase{"overlongLineEndingInCrLosesItsLf",
                    Stream::kServer,
                    {std::string(kStreamCapacity - 1, 'y') + "\r", "\nPING :x\r\n"},
                    {"PING :x"},
                    ""},
        FramingCase{"crLfAfterOverlongLineSplitByReceives",
                    Stream::kServer,
                    {std::string(kStreamCapacity, 'y'), "z\r", "\nPING :x\r\n"},
                    {"PING :x"},
                    ""},
        FramingCase{"longChatCutOrLost", Stream::kClient, {kLongChat + "|"}, {kLongChat}, ""},
        FramingCase{"longChatInSmallReceivesCutOrLost",
                    Stream::kClient,
                    inReceives(kLongChat + "|<b> c|$Ke", 1000),
                    {kLongChat, "<b> c"},
                    "$Ke"},
        FramingCase{"longPrivateMessageCutOrLost",
                    Stream::kClient,
                    {"$To: b From: a $<a> " + std::string(30000, 'y'), "z|"},
                    {"$To: b From: a $<a> " + std::string(30000, 'y') + "z"},
                    ""},
        FramingCase{"chatOverTheLimitSentOrUntold",
                    Stream::kClient,
                    inReceives(kLongChat + "x$Kick me|<b> c|", 7000),
                    {"<b> c"},
                    "",
                    {kRefusal}},
        FramingCase{"longCommandOtherThanChatKept",
                    Stream::kClient,
                    {"$MyINFO " + std::string(kStreamCapacity, 'x'), "$Kick me|<b> c|"},
                    {"<b> c"},
                    ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Framing, OverlongClientCommandIsDiscardedUpToItsTerminator) {
  auto relay = testing::makeRelay();
  RecordingTranslator translator;
  RecordingOutput out;
  const std::string full(kStreamCapacity, 'x');
  feed(*relay, Stream::kClient, full, translator, out);
  EXPECT_TRUE(translator.commands.empty());
  EXPECT_EQ(relay->clientLength, kStreamCapacity) << "exactly 10,000 bytes are held";

  feed(*relay, Stream::kClient, "tail|<a> b|", translator, out);
  EXPECT_EQ(translator.commands, (Strings{"<a> b"}))
      << "the full buffer and the rest of its command are dropped";
}

TEST(Framing, OverlongServerLineIsDiscardedWholeAndTheRelayGoesOn) {
  auto relay = testing::makeRelay();
  RecordingTranslator translator;
  RecordingOutput out;
  feed(*relay, Stream::kServer, std::string(12000, 'y') + "\r\nPING :x\r\n", translator, out);
  EXPECT_EQ(translator.lines, (Strings{"PING :x"}));
}

TEST(Framing, MessagesTakenAlongAreSteppedOver) {
  struct Row {
    const char* name;  // what is broken when the row fails
    Stream stream;
    std::string bytes;
    Strings following;  // what the first message is handed after it
    Strings handed;     // the messages the translation sees
    std::string heldAfter;
  };
  const Row rows[] = {
      {"taken line translated again",
       Stream::kServer,
       "A2\r\nB\r\nC\r\nD\r\n",
       {"B\r\nC\r\nD\r\n"},
       {"A2", "D"},
       ""},
      {"taken command translated again", Stream::kClient, "A1|B|C|", {"B|C|"}, {"A1", "C"}, ""},
      {"claim past the complete lines drops the unfinished one",
       Stream::kServer,
       "A2\r\nB\r\nC",
       {"B\r\nC"},
       {"A2"},
       "C"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto relay = testing::makeRelay();
    RecordingTranslator translator;
    RecordingOutput out;
    Strings following;
    // Messages starting with 'A' take along as many as their digit says.
    translator.take = [&](const Message& message) -> std::size_t {
      if (!message.bytes.starts_with('A')) {
        return 0;
      }
      following.emplace_back(message.following);
      return static_cast<std::size_t>(message.bytes[1] - '0');
    };
    feed(*relay, row.stream, row.bytes, translator, out);
    EXPECT_EQ(following, row.following);
    EXPECT_EQ(row.stream == Stream::kClient ? translator.commands : translator.lines, row.handed);
    const bool client = row.stream == Stream::kClient;
    EXPECT_EQ(std::string(client ? relay->clientBuffer.data() : relay->serverBuffer.data(),
                          client ? relay->clientLength : relay->serverLength),
              row.heldAfter);
  }
}

}  // namespace
}  // namespace quayside
