#include "core/member_ranks.h"

#include <gtest/gtest.h>

namespace quayside {
namespace {

constexpr std::uint16_t kOp = 0x1;
constexpr std::uint16_t kAdmin = 0x2;

// Ranks and the away mark are kept apart: a change to one never loses the
// other, and a member who leaves takes both along.
TEST(MemberRanks, RanksAndAwayMarksOutliveEachOthersChanges) {
  MemberRanks members;
  members.set("Carol", kOp | kAdmin);
  members.setAway("carol", true);
  EXPECT_TRUE(members.revoke("CAROL", kOp)) << "the admin rank was lost with the operator one";
  EXPECT_FALSE(members.revoke("carol", kAdmin));
  EXPECT_TRUE(members.isAway("carol")) << "losing every rank forgot the away mark";
  members.rename("carol", "carol2");
  EXPECT_TRUE(members.isAway("carol2"));
  EXPECT_FALSE(members.isAway("carol"));
  members.setAway("carol2", false);
  EXPECT_EQ(members.size(), 0u) << "a member with no mark is still kept";

  members.grant("dave", kOp);
  members.setAway("dave", true);
  members.forget("dave");
  EXPECT_FALSE(members.holdsAny("dave"));
  EXPECT_FALSE(members.isAway("dave"));
  EXPECT_EQ(members.size(), 0u);
}

}  // namespace
}  // namespace quayside
