#pragma once

// A hub client and IRC users in channels of a real IRC server, with the
// daemon between them: the fixture the session and room tests share.
#include "e2e/scripted_peers.h"
#include "e2e/servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quayside::e2e {

inline constexpr char kChannel[] = "#chat";

class IrcSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (IrcServer::programPath().empty()) {
      if (ngircdRequired()) {
        FAIL() << "ngircd is not installed (QUAYSIDE_REQUIRE_NGIRCD=1 demands it)";
      }
      GTEST_SKIP() << "ngircd is not installed: apt-get install ngircd to run this test";
    }
    server_ = std::make_unique<IrcServer>(pingSeconds(), serverOptions());
    ASSERT_TRUE(server_->started()) << "ngircd did not start:\n" << server_->startupLog();
    localPort_ = testing::freePort();
    daemon_ = std::make_unique<Daemon>(
        std::vector<std::string>{
            "--bridge", bridgeArgument(localPort_, server_->port(), kChannel) + bridgeOptions()},
        daemonEnvironment());
    ASSERT_TRUE(daemon_->waitListening(localPort_));
  }

  void TearDown() override {
    if (daemon_) {
      checkDaemonAfterTest(*daemon_);
    }
  }

  virtual int pingSeconds() const { return 600; }
  virtual IrcServerOptions serverOptions() const { return {}; }
  // Appended to the Bridge's argument, as ",room=#help".
  virtual std::string bridgeOptions() const { return {}; }
  virtual std::map<std::string, std::string> daemonEnvironment() const { return {}; }

  // An IRC user who is in the channel (the first one in is its operator).
  std::unique_ptr<IrcUser> ircUserInChannel(const std::string& nick) {
    auto user = std::make_unique<IrcUser>(nick);
    EXPECT_TRUE(user->login(server_->port(), serverOptions().password));
    EXPECT_TRUE(user->join(kChannel));
    return user;
  }

  // A hub client logged in through the daemon; `witness` (an IRC user in the
  // channel) has seen it join, so the channel's traffic reaches it.
  std::unique_ptr<NmdcClient> clientInChannel(const std::string& nick, IrcUser& witness) {
    auto client = std::make_unique<NmdcClient>(nick);
    EXPECT_TRUE(client->connect(localPort_));
    EXPECT_TRUE(client->login(kChannel));
    EXPECT_TRUE(witness.waitFrom(nick, std::string("JOIN :") + kChannel));
    return client;
  }

  // Everything the client receives up to a marker line that `sender` says in
  // the channel: a barrier that makes "nothing else arrived" checkable.
  std::vector<std::string> receivedBefore(NmdcClient& client, IrcUser& sender,
                                          const std::string& marker) {
    sender.line(std::string("PRIVMSG ") + kChannel + " :" + marker);
    client.clearSkipped();
    EXPECT_TRUE(client.waitForExact("<" + sender.nick() + "> " + marker + "|"));
    return client.skipped();
  }

  std::unique_ptr<IrcServer> server_;
  std::unique_ptr<Daemon> daemon_;
  std::uint16_t localPort_ = 0;
};

inline bool contains(const std::vector<std::string>& messages, const std::string& message) {
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

}  // namespace quayside::e2e
