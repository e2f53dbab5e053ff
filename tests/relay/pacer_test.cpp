#include "relay/pacer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quayside {
namespace {

using Milliseconds = std::chrono::milliseconds;
// One send: when (milliseconds from the start) and what.
using Send = std::pair<long, std::string>;

struct Add {
  long at;  // milliseconds from the start
  std::string lines;
};

std::string numbered(int from, int to) {
  std::string lines;
  for (int i = from; i <= to; ++i) {
    lines += "PRIVMSG #c :" + std::to_string(i) + "\r\n";
  }
  return lines;
}

// Runs the pacer as the relay does: lines come in at their times, and the
// relay wakes at every time the pacer names, until nothing waits.
std::vector<Send> schedule(const std::vector<Add>& adds) {
  const Pacer::TimePoint start{std::chrono::hours(1)};
  long now = 0;
  std::vector<Send> sends;
  Pacer pacer([&](std::string_view bytes) { sends.emplace_back(now, std::string(bytes)); });
  std::size_t next = 0;
  for (;;) {
    const std::optional<Pacer::TimePoint> due = pacer.nextSendAt();
    const long dueAt =
        due ? static_cast<long>(std::chrono::duration_cast<Milliseconds>(*due - start).count())
            : -1;
    if (next < adds.size() && (dueAt < 0 || adds[next].at <= dueAt)) {
      now = adds[next].at;
      pacer.add(adds[next].lines, start + Milliseconds(now));
      ++next;
    } else if (dueAt >= 0) {
      now = dueAt;
      pacer.sendDue(start + Milliseconds(now));
    } else {
      break;
    }
  }
  EXPECT_EQ(pacer.queuedBytes(), 0u);
  return sends;
}

TEST(Pacer, SendsFiveLinesAtOnceThenOneEveryTwoSeconds) {
  struct Row {
    const char* name;  // what is broken when the row fails
    std::vector<Add> adds;
    std::vector<Send> sends;
  };
  const Row rows[] = {
      {"a burst beyond five is not spread out",
       {{0, numbered(1, 8)}},
       {{0, numbered(1, 5)},
        {2000, numbered(6, 6)},
        {4000, numbered(7, 7)},
        {6000, numbered(8, 8)}}},
      {"five lines are held back", {{0, numbered(1, 5)}}, {{0, numbered(1, 5)}}},
      {"the allowance does not refill after ten idle seconds",
       {{0, numbered(1, 5)}, {10000, numbered(6, 10)}},
       {{0, numbered(1, 5)}, {10000, numbered(6, 10)}}},
      {"a partly refilled allowance lets too many through",
       {{0, numbered(1, 5)}, {4000, numbered(6, 8)}},
       {{0, numbered(1, 5)}, {4000, numbered(6, 7)}, {6000, numbered(8, 8)}}},
      {"a late line overtakes the waiting ones",
       {{0, numbered(1, 6)}, {1000, numbered(7, 7)}},
       {{0, numbered(1, 5)}, {2000, numbered(6, 6)}, {4000, numbered(7, 7)}}},
      {"a PONG waits behind chat, or delays it",
       {{0, numbered(1, 7)}, {1000, "PONG :x\r\n"}},
       {{0, numbered(1, 5)},
        {1000, "PONG :x\r\n"},
        {2000, numbered(6, 6)},
        {4000, numbered(7, 7)}}},
      {"a PONG amid chat reorders the chat",
       {{0, "A\r\nPONG :y\r\nB\r\n"}},
       {{0, "A\r\n"}, {0, "PONG :y\r\n"}, {0, "B\r\n"}}},
      {"registration waits, is not counted, or the capability negotiation counted (a later nick "
       "change takes its own turn)",
       {{0, "PASS p\r\nCAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\nNICK a\r\nUSER a\r\nJOIN #c\r\n" +
                numbered(1, 2) + "NICK b\r\n"}},
       {{0, "PASS p\r\nCAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\nNICK a\r\nUSER a\r\nJOIN #c\r\n"},
        {2000, numbered(1, 1)},
        {4000, "NICK b\r\n"},
        {6000, numbered(2, 2)}}},
      {"a private message or a command waits for the whole paste to the channel",
       {{0, numbered(1, 8)},
        {1000, "PRIVMSG bob :pm\r\n"},
        {1500, "MODE #c +b x\r\n"},
        {2500, "PRIVMSG bob :pm2\r\n" + numbered(9, 9)}},
       {{0, numbered(1, 5)},
        {2000, "PRIVMSG bob :pm\r\n"},
        {4000, "MODE #c +b x\r\n"},
        {6000, "PRIVMSG bob :pm2\r\n"},
        {8000, numbered(6, 6)},
        {10000, numbered(7, 7)},
        {12000, numbered(8, 8)},
        {14000, numbered(9, 9)}}},
      {"a final piece without CR LF is lost",
       {{0, numbered(1, 5) + "tail"}},
       {{0, numbered(1, 5)}, {2000, "tail"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(schedule(row.adds), row.sends);
  }
}

TEST(AnswerLimiter, FourAnswersInAnyTwoSecondsAndOneNoteABurst) {
  using enum AnswerLimiter::Verdict;
  struct Row {
    const char* name;      // what is broken when the row fails
    std::vector<long> at;  // milliseconds of each request
    std::vector<AnswerLimiter::Verdict> verdicts;
  };
  const Row rows[] = {
      {"a burst is not cut at four",
       {0, 0, 0, 0, 0, 0},
       {kSend, kSend, kSend, kSend, kFirstRefused, kRefused}},
      {"the window does not slide",
       {0, 500, 1000, 1500, 1999, 2000, 2400},
       {kSend, kSend, kSend, kSend, kFirstRefused, kSend, kFirstRefused}},
      {"refusals after an answer are not a new burst",
       {0, 0, 0, 0, 10, 20, 2000, 2001, 2002, 2003, 2004},
       {kSend, kSend, kSend, kSend, kFirstRefused, kRefused, kSend, kSend, kSend, kSend,
        kFirstRefused}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    AnswerLimiter limiter;
    std::vector<AnswerLimiter::Verdict> verdicts;
    for (const long at : row.at) {
      verdicts.push_back(limiter.take(AnswerLimiter::TimePoint{} + std::chrono::hours(1) +
                                      std::chrono::milliseconds(at)));
    }
    EXPECT_EQ(verdicts, row.verdicts);
  }
}

TEST(Pacer, HoldsBackTheClientWhileAPasteWaits) {
  const Pacer::TimePoint start{};
  std::size_t sent = 0;
  Pacer pacer([&](std::string_view bytes) { sent += bytes.size(); });
  const std::string line = "PRIVMSG #c :" + std::string(386, 'x') + "\r\n";  // 400 bytes
  std::string paste;
  for (int i = 0; i < 170; ++i) {
    paste += line;
  }
  const Pacer::Queued queued = pacer.add(paste, start);
  EXPECT_EQ(queued.target, "#c");
  EXPECT_EQ(queued.lines, 170u);
  EXPECT_EQ(queued.waiting, 165u);
  EXPECT_EQ(queued.until, std::chrono::seconds(2 * 165)) << "the user is told a wrong time";
  EXPECT_TRUE(pacer.full()) << "a 64 KiB paste's lines fill the queue";
  EXPECT_EQ(sent, 5 * line.size());
  Pacer::TimePoint last = start;
  while (const std::optional<Pacer::TimePoint> due = pacer.nextSendAt()) {
    pacer.sendDue(*due);
    last = *due;
  }
  EXPECT_EQ(last - start, std::chrono::seconds(2 * 165)) << "one line every two seconds";
  EXPECT_FALSE(pacer.full());
  EXPECT_EQ(pacer.queuedBytes(), 0u);
  EXPECT_EQ(sent, paste.size());
  EXPECT_FALSE(pacer.nextSendAt()) << "nothing waits: no deadline for the relay";

  pacer.add(paste, last + std::chrono::hours(1));
  EXPECT_EQ(pacer.dropWaiting(), 165u);
  EXPECT_EQ(pacer.queuedBytes(), 0u);
  EXPECT_FALSE(pacer.nextSendAt());
}

}  // namespace
}  // namespace quayside
