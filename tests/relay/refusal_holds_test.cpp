#include "relay/refusal_holds.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace quayside {
namespace {

using namespace std::chrono_literals;
using Clock = RefusalHolds::Clock;

constexpr std::int32_t at(int hour, int minute, int second) {
  return hour * 3600 + minute * 60 + second;
}

// One step of a Bridge's life, `second` seconds after it starts.
struct Step {
  enum class Op { kRefuse, kWelcome, kAsk };
  int second;
  Op op;
  std::string nick;
  HoldCause cause = HoldCause::kUnreachable;
  // kRefuse: what the State column then says; kAsk: the hold's words, or
  // empty when the nick is not held.
  std::string said = {};
};
using Op = Step::Op;

struct Row {
  const char* name;  // what is broken when the row fails
  std::int32_t startOfDay;
  std::vector<Step> steps;
};

TEST(RefusalHolds, HoldTimesFollowRefusalsKicksAndWelcomes) {
  constexpr std::int32_t kSix = at(18, 4, 10);
  const std::vector<Row> rows = {
      {"a first refusal holds 30 s",
       kSix,
       {{0, Op::kRefuse, "bob", HoldCause::kPassword, "held after a refused password until 18:05"},
        {29, Op::kAsk, "bob", {}, "held after a refused password until 18:05"},
        {30, Op::kAsk, "bob"}}},
      {"each refusal in a row doubles the hold up to 5 minutes",
       kSix,
       {{0, Op::kRefuse, "bob", HoldCause::kNicks, "held after refused nicks until 18:05"},
        {30, Op::kRefuse, "bob", HoldCause::kNicks, "held after refused nicks until 18:06"},
        {90, Op::kRefuse, "bob", HoldCause::kServerError,
         "held after the server's ERROR until 18:08"},
        {210, Op::kRefuse, "bob", HoldCause::kNicks, "held after refused nicks until 18:12"},
        {450, Op::kRefuse, "bob", HoldCause::kNicks, "held after refused nicks until 18:17"},
        {750, Op::kRefuse, "bob", HoldCause::kNicks, "held after refused nicks until 18:22"},
        {1049, Op::kAsk, "bob", {}, "held after refused nicks until 18:22"},
        {1050, Op::kAsk, "bob"}}},
      {"a kick holds 60 s and is not counted as a refusal",
       kSix,
       {{0, Op::kRefuse, "bob", HoldCause::kKick, "held after a kick until 18:06"},
        {59, Op::kAsk, "bob", {}, "held after a kick until 18:06"},
        {60, Op::kAsk, "bob"},
        {60, Op::kRefuse, "bob", HoldCause::kPassword, "held after a refused password until 18:06"},
        {90, Op::kRefuse, "bob", HoldCause::kKick, "held after a kick until 18:07"}}},
      {"the welcome ends the hold and the count",
       kSix,
       {{0, Op::kRefuse, "bob", HoldCause::kPassword, "held after a refused password until 18:05"},
        {30, Op::kRefuse, "bob", HoldCause::kPassword, "held after a refused password until 18:06"},
        {40, Op::kWelcome, "bob"},
        {41, Op::kAsk, "bob"},
        {50, Op::kRefuse, "bob", HoldCause::kPassword, "held after a refused password until 18:06"},
        {79, Op::kAsk, "bob", {}, "held after a refused password until 18:06"},
        {80, Op::kAsk, "bob"}}},
      {"one nick's refusal or kick never holds another",
       kSix,
       {{0, Op::kRefuse, "bob", HoldCause::kPassword, "held after a refused password until 18:05"},
        {1, Op::kRefuse, "eve", HoldCause::kKick, "held after a kick until 18:06"},
        {2, Op::kAsk, "carol"},
        {2, Op::kAsk, "Bob"},
        {3, Op::kWelcome, "carol"},
        {4, Op::kAsk, "bob", {}, "held after a refused password until 18:05"}}},
      {"the server's refusals hold every nick, and any welcome ends them",
       kSix,
       {{0, Op::kRefuse, "bob", HoldCause::kUnreachable,
         "held after a failed connection until 18:05"},
        {1, Op::kAsk, "carol", {}, "held after a failed connection until 18:05"},
        {1, Op::kAsk, "", {}, "held after a failed connection until 18:05"},
        {30, Op::kRefuse, "carol", HoldCause::kCertificate,
         "held after a refused certificate until 18:06"},
        {40, Op::kWelcome, "dave"},
        {41, Op::kAsk, "bob"}}},
      {"the hold that ends later answers",
       kSix,
       {{0, Op::kRefuse, "", HoldCause::kUnreachable, "held after a failed connection until 18:05"},
        {10, Op::kRefuse, "bob", HoldCause::kKick, "held after a kick until 18:06"},
        {11, Op::kAsk, "bob", {}, "held after a kick until 18:06"}}},
      {"the time shown wraps at midnight and is never early",
       at(23, 59, 30),
       {{0, Op::kRefuse, "bob", HoldCause::kKick, "held after a kick until 00:01"},
        {0, Op::kRefuse, "eve", HoldCause::kPassword,
         "held after a refused password until 00:00"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RefusalHolds holds;
    const Clock::time_point start = Clock::now();
    for (const Step& step : row.steps) {
      SCOPED_TRACE(step.second);
      const HoldClock now{start + std::chrono::seconds(step.second), row.startOfDay + step.second};
      switch (step.op) {
        case Op::kRefuse:
          EXPECT_EQ(heldText(holds.refuse(step.nick, step.cause, "why", now)), step.said);
          EXPECT_TRUE(holds.anyActive(now.steady));
          break;
        case Op::kWelcome:
          holds.welcomed(step.nick);
          break;
        case Op::kAsk: {
          const std::optional<Hold> hold = holds.find(step.nick, now.steady);
          EXPECT_EQ(hold ? heldText(*hold) : "", step.said) << step.nick;
          break;
        }
      }
    }
  }
}

TEST(RefusalHolds, KeepTheLastReasonCutOnACharacterAndShowTheNewestHold) {
  RefusalHolds holds;
  const Clock::time_point start = Clock::now();
  const std::string longReason = "x" + std::string(RefusalHolds::kReasonLimit, '\xc3');
  holds.refuse("bob", HoldCause::kKick, "You were kicked from #c by op (spam)", {start, 0});
  holds.refuse("eve", HoldCause::kPassword, "\xc3\xa9" + longReason, {start + 1s, 0});
  EXPECT_EQ(holds.find("bob", start)->reason, "You were kicked from #c by op (spam)");
  const std::string cut = holds.find("eve", start + 1s)->reason;
  EXPECT_LE(cut.size(), RefusalHolds::kReasonLimit);
  EXPECT_TRUE(cut.starts_with("\xc3\xa9x"));
  EXPECT_EQ(holds.newest(start + 2s)->cause, HoldCause::kPassword);
  EXPECT_EQ(holds.newest(start + 59s)->cause, HoldCause::kKick) << "eve's ended at 31 s";
  EXPECT_FALSE(holds.newest(start + 60s));
  EXPECT_FALSE(holds.anyActive(start + 60s));
}

TEST(RefusalHolds, RememberABoundedNumberOfNicks) {
  RefusalHolds holds;
  const Clock::time_point start = Clock::now();
  holds.refuse("old", HoldCause::kPassword, "", {start, 0});
  holds.refuse("old", HoldCause::kPassword, "", {start + 1s, 0});
  for (std::size_t i = 0; i < RefusalHolds::kEntryLimit; ++i) {
    holds.refuse("n" + std::to_string(i), HoldCause::kKick, "",
                 {start + 100s + std::chrono::milliseconds(i), 0});
  }
  // "old" had expired: it went first, and its count with it.
  EXPECT_EQ(holds.refuse("old", HoldCause::kPassword, "", {start + 101s, 0}).until, start + 131s);
  // While all run, the one that ends soonest goes.
  EXPECT_FALSE(holds.find("n0", start + 101s));
  EXPECT_TRUE(holds.find("n1", start + 101s));
}

TEST(RefusalHolds, RelayThreadsAndTheWindowUseThemAtOnce) {
  // Under ThreadSanitizer a missing lock fails this test.
  RefusalHolds holds;
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&holds, start, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string nick = "n" + std::to_string((t * 200 + i) % 90);
        holds.refuse(nick, t % 2 == 0 ? HoldCause::kKick : HoldCause::kPassword, "why",
                     {start + std::chrono::seconds(i), 0});
        (void)holds.find(nick, start);
        (void)holds.newest(start);
        if (i % 7 == 0) {
          holds.welcomed(nick);
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_TRUE(holds.anyActive(start));
}

}  // namespace
}  // namespace quayside
