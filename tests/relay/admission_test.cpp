#include "relay/admission.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quayside {
namespace {

using std::chrono::seconds;
using Verdict = Admission::Verdict;

// Each step acts on one Admission with a cap of two sessions and checks
// what it answers and the counts after it.
TEST(Admission, CountsCapsAndSpacesConnects) {
  enum class Act { kConnect, kValidate, kLeaveUnvalidated, kLeaveSession };
  struct Step {
    Act act;
    bool admitted;
    std::size_t unvalidated;
    std::size_t sessions;
  };
  const std::vector<Step> steps = {
      {Act::kConnect, true, 1, 0},          {Act::kConnect, true, 2, 0},
      {Act::kConnect, true, 3, 0},          {Act::kValidate, true, 2, 1},
      {Act::kValidate, true, 1, 2},         {Act::kConnect, false, 1, 2},
      {Act::kValidate, false, 0, 2},        {Act::kLeaveSession, true, 0, 1},
      {Act::kConnect, true, 1, 1},          {Act::kLeaveUnvalidated, true, 0, 1},
      {Act::kLeaveUnvalidated, true, 0, 1},  // never below zero
  };
  Admission admission;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& step = steps[i];
    bool admitted = true;
    switch (step.act) {
      case Act::kConnect:
        admitted = admission.admitConnection(2) == Verdict::kAdmitted;
        break;
      case Act::kValidate:
        admitted = admission.admitSession(2);
        break;
      case Act::kLeaveUnvalidated:
        admission.release(false);
        break;
      case Act::kLeaveSession:
        admission.release(true);
        break;
    }
    EXPECT_EQ(admitted, step.admitted);
    EXPECT_EQ(admission.unvalidated(), step.unvalidated);
    EXPECT_EQ(admission.sessions(), step.sessions);
  }

  // Past the cap of connections without a nick, one refusal per run is the first.
  Admission flooded;
  for (std::size_t i = 0; i < Admission::kUnvalidatedLimit; ++i) {
    ASSERT_EQ(flooded.admitConnection(1000), Verdict::kAdmitted);
  }
  EXPECT_EQ(flooded.admitConnection(1000), Verdict::kFirstRefused);
  EXPECT_EQ(flooded.admitConnection(1000), Verdict::kRefused);
  flooded.release(false);
  EXPECT_EQ(flooded.admitConnection(1000), Verdict::kAdmitted);
  EXPECT_EQ(flooded.admitConnection(1000), Verdict::kFirstRefused);

  // Connects start two seconds apart, in the order asked, from the first.
  const Admission::Clock::time_point t0{seconds(100)};
  Admission spaced;
  EXPECT_EQ(spaced.connectSlot(t0), t0);
  EXPECT_EQ(spaced.connectSlot(t0), t0 + seconds(2));
  EXPECT_EQ(spaced.connectSlot(t0 + seconds(1)), t0 + seconds(4));
  EXPECT_EQ(spaced.connectSlot(t0 + seconds(30)), t0 + seconds(30));
}

}  // namespace
}  // namespace quayside
