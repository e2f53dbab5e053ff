#include "relay/linger_board.h"

#include "platform/wait.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

namespace quayside {
namespace {

using namespace std::chrono_literals;

bool raised(const platform::Wakeup& wakeup) {
  std::array<platform::WaitEntry, 1> entry{{{wakeup.handle(), false}}};
  return platform::waitReadable(entry, 0ms).status == platform::WaitStatus::kReady &&
         entry[0].readable;
}

// A client is handed only to a seat still listed, at most once, and wakes it.
TEST(LingerBoard, AClientIsHandedOnlyToASessionStillLingering) {
  std::string error;
  const std::unique_ptr<platform::Wakeup> wakeup = platform::openWakeup(error);
  ASSERT_TRUE(wakeup) << error;
  LingerBoard board;
  LingerBoard::Seat seat;
  seat.nick = "bob";
  seat.wakeup = wakeup.get();
  board.list(seat);
  ASSERT_EQ(board.find("bob").size(), 1u);
  EXPECT_TRUE(board.find("Bob").empty());
  const std::uint64_t id = board.find("bob").front().id;

  // The session ended (its linger ran out) before the client came.
  EXPECT_FALSE(board.unlist(seat));
  ReturningClient late{nullptr, "$ValidateNick bob|", 1};
  EXPECT_FALSE(board.handOver(id, late));
  EXPECT_EQ(late.early, "$ValidateNick bob|");
  EXPECT_FALSE(raised(*wakeup));

  board.list(seat);
  ReturningClient first{nullptr, "first", 2};
  ASSERT_TRUE(board.handOver(board.find("bob").front().id, first));
  EXPECT_TRUE(raised(*wakeup));
  EXPECT_TRUE(board.empty()) << "a session that was handed a client is not offered again";
  ReturningClient second{nullptr, "second", 3};
  EXPECT_FALSE(board.handOver(id, second));
  const std::optional<ReturningClient> taken = board.takeReturning(seat);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->early, "first");
  EXPECT_FALSE(board.unlist(seat));
}

TEST(LingerBoard, EndsWhileAwayAreToldOncePerNickAndBounded) {
  LingerBoard board;
  for (std::size_t i = 0; i <= LingerBoard::kEndNoticeLimit; ++i) {
    board.endedWhileAway("nick" + std::to_string(i), "ended " + std::to_string(i));
  }
  board.endedWhileAway("nick1", "ended again");
  EXPECT_FALSE(board.takeEndNotice("nick0")) << "the oldest is forgotten past the limit";
  EXPECT_EQ(board.takeEndNotice("nick1"), "ended again");
  EXPECT_FALSE(board.takeEndNotice("nick1")) << "told once";
  EXPECT_EQ(board.takeEndNotice("nick64"), "ended 64");
}

}  // namespace
}  // namespace quayside
