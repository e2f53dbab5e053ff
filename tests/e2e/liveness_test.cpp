// Silent servers through the daemon, with its relay timeouts shortened: a
// server that never welcomes is given up with the reason told to the user,
// and a real server that answers the relay's PINGs keeps a quiet session.
#include "e2e/scripted_peers.h"
#include "e2e/servers.h"

#include <gtest/gtest.h>

#include <iostream>

namespace quayside::e2e {
namespace {

using namespace std::chrono_literals;

constexpr char kChannel[] = "#quiet";

TEST(Liveness, SilentServerIsGivenUpAndAnAnsweringOneKept) {
  if (IrcServer::programPath().empty()) {
    if (ngircdRequired()) {
      FAIL() << "ngircd is not installed (QUAYSIDE_REQUIRE_NGIRCD=1 demands it)";
    }
    GTEST_SKIP() << "ngircd is not installed: apt-get install ngircd to run this test";
  }
  IrcServer server;
  ASSERT_TRUE(server.started()) << "ngircd did not start:\n" << server.startupLog();
  testing::LoopbackListener silent;  // accepts (in its backlog) and never answers
  ASSERT_TRUE(silent.valid());
  const std::uint16_t livePort = testing::freePort();
  const std::uint16_t silentPort = testing::freePort();
  // Welcome within 2 s; PING after 300 ms of silence; 2 s for the answer.
  Daemon daemon({"--bridge", bridgeArgument(livePort, server.port(), kChannel), "--bridge",
                 bridgeArgument(silentPort, silent.port(), kChannel)},
                {{"QUAYSIDE_RELAY_TIMEOUTS", "2000,300,2000"}});
  ASSERT_TRUE(daemon.waitListening(livePort));
  ASSERT_TRUE(daemon.waitListening(silentPort));

  NmdcClient bob("bob");
  ASSERT_TRUE(bob.connect(livePort));
  ASSERT_TRUE(bob.login(kChannel));

  // A client that answered the lock, as real clients do, still gets the
  // reason before the close.
  NmdcClient eve("eve");
  ASSERT_TRUE(eve.connect(silentPort));
  ASSERT_TRUE(eve.greet());
  ASSERT_TRUE(eve.validate());
  const auto told = eve.readUntilClosed();
  ASSERT_TRUE(told.has_value()) << "the silent server's client stayed connected";
  EXPECT_EQ(printable(*told), "*** Quayside's connection to 127.0.0.1:" +
                                  std::to_string(silent.port()) +
                                  " ended: the server sent no welcome within 2 seconds|");
  eve.close();
  EXPECT_TRUE(daemon.process().waitForOutput("the server sent no welcome within 2 seconds"));

  // By now bob's relay has pinged ngircd several times: nothing of it shows
  // and the session stays.
  const auto shown = bob.next(1500ms);
  EXPECT_FALSE(shown.has_value()) << printable(shown.value_or(""));
  EXPECT_FALSE(bob.closedByPeer()) << daemon.log();

  EXPECT_FALSE(hasSanitizerReport(daemon.log())) << daemon.log();
  if (::testing::Test::HasFailure()) {
    std::cerr << "daemon log:\n" << daemon.log() << "\n";
  }
}

}  // namespace
}  // namespace quayside::e2e
