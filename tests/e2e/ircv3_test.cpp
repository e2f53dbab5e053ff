// A modern network through the daemon: InspIRCd with the IRCv3
// capabilities, so the hub client sees channel history, away members, a
// host change and an invitation, and never a tag.
#include "e2e/inspircd.h"
#include "e2e/scripted_peers.h"
#include "e2e/servers.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quayside::e2e {
namespace {

constexpr char kChannel[] = "#modern";

class Ircv3SessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!SaslNetwork::inspircdPath().empty() && !SaslNetwork::athemePath().empty()) {
      network_ = std::make_unique<SaslNetwork>();
    }
  }
  static void TearDownTestSuite() { network_.reset(); }

  void SetUp() override {
    if (!network_) {
      const char* required = std::getenv("QUAYSIDE_REQUIRE_INSPIRCD");
      if (required != nullptr && std::string_view(required) == "1") {
        FAIL() << "inspircd or atheme-services is not installed";
      }
      GTEST_SKIP() << "apt-get install inspircd atheme-services to run this test";
    }
    ASSERT_TRUE(network_->started()) << network_->log();
    localPort_ = testing::freePort();
    daemon_ = std::make_unique<Daemon>(std::vector<std::string>{
        "--bridge", bridgeArgument(localPort_, network_->port(), kChannel)});
    ASSERT_TRUE(daemon_->waitListening(localPort_));
  }

  void TearDown() override {
    if (daemon_) {
      checkDaemonAfterTest(*daemon_);
    }
  }

  // An IRC user in the channel; `userAtHost` gets how the server shows them.
  std::unique_ptr<IrcUser> userInChannel(const std::string& nick, std::string& userAtHost) {
    auto user = std::make_unique<IrcUser>(nick);
    EXPECT_TRUE(user->login(network_->port()));
    user->line(std::string("JOIN ") + kChannel);
    std::string joined;
    EXPECT_TRUE(user->waitForPrefix(":" + nick + "!", &joined));
    userAtHost = joined.substr(nick.size() + 2, joined.find(' ') - nick.size() - 2);
    return user;
  }

  static inline std::unique_ptr<SaslNetwork> network_;
  std::unique_ptr<Daemon> daemon_;
  std::uint16_t localPort_ = 0;
};

std::string userInfo(const std::string& nick, const std::string& userAtHost, bool away) {
  return "$MyINFO $ALL " + nick + " " + userAtHost + "$ $IRC" + (away ? "\x03" : "\x01") + "$$0$|";
}

TEST_F(Ircv3SessionTest, HistoryAwayHostChangesAndInvitesReachTheHubClient) {
  std::string alicePlace;
  std::string carolPlace;
  std::string davePlace;
  auto alice = userInChannel("alice", alicePlace);
  alice->line(std::string("MODE ") + kChannel + " +H 10:1d");
  alice->line(std::string("PRIVMSG ") + kChannel + " :said before you came");
  auto carol = userInChannel("carol", carolPlace);
  carol->line("AWAY :gone fishing");
  auto dave = userInChannel("dave", davePlace);
  ASSERT_FALSE(HasFailure());

  NmdcClient bob("bob");
  ASSERT_TRUE(bob.connect(localPort_));
  ASSERT_TRUE(bob.login(kChannel));
  // The channel's history, played on join, arrives as chat; members are
  // listed with user@host (userhost-in-names) and carol as away (the WHO).
  EXPECT_TRUE(bob.waitFor(
      [](const std::string& m) {
        return m.starts_with("<alice> ") && m.ends_with("said before you came|");
      },
      "the history line"));
  EXPECT_TRUE(bob.waitForExact(userInfo("carol", carolPlace, true)));

  carol->line("AWAY");
  EXPECT_TRUE(bob.waitForExact(userInfo("carol", carolPlace, false)));
  dave->line(std::string("OPER ") + kOperName + " " + kOperPassword);
  dave->line("SETHOST dock.example");
  const std::string user = davePlace.substr(0, davePlace.find('@'));
  EXPECT_TRUE(bob.waitForExact(userInfo("dave", user + "@dock.example", false)));
  alice->line("JOIN #other");
  alice->line("INVITE bob #other");
  EXPECT_TRUE(bob.waitForExact("*** alice invites you to #other (type +join #other)|"));

  alice->line(std::string("PRIVMSG ") + kChannel + " :barrier");
  ASSERT_TRUE(bob.waitForExact("<alice> barrier|"));
  for (const std::string& message : bob.skipped()) {
    EXPECT_FALSE(message.starts_with("@") || message.find("time=") != std::string::npos)
        << "a tag reached the client: " << printable(message);
  }
}

}  // namespace
}  // namespace quayside::e2e
