// The hub password as the IRC login, through the daemon: PASS against
// ngIRCd with a server password, SASL PLAIN against InspIRCd with Atheme's
// NickServ accounts.
#include "e2e/inspircd.h"
#include "e2e/scripted_peers.h"
#include "e2e/servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>

namespace quayside::e2e {
namespace {

constexpr char kChannel[] = "#chat";
constexpr char kServerPassword[] = "harbour-pass";
constexpr char kAccountPassword[] = "quay-secret";
constexpr char kWrongPassword[] = "wrong-guess";

bool required(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::string_view(value) == "1";
}

// A hub client through the NMDC password exchange, up to "$Hello".
Outcome logInWith(NmdcClient& client, const std::string& password) {
  if (auto r = client.greet(); !r) {
    return r;
  }
  client.send("$Supports NoHello NickChange |$Key 0123456789abcdef|$ValidateNick " + client.nick() +
              "|");
  if (auto r = client.expectNext("$Supports NickChange UserCommand NoGetINFO NoHello |", kTurnWait);
      !r) {
    return r;
  }
  if (auto r = client.expectNext("$GetPass|"); !r) {
    return r << " (the password is asked for after $ValidateNick)";
  }
  client.send("$MyPass " + password + "|");
  return client.expectNext("$Hello " + client.nick() + "|");
}

// A refused password: "$BadPass", the reason naming the server, the close.
Outcome expectRefused(NmdcClient& client) {
  if (auto r = client.waitForExact("$BadPass|"); !r) {
    return r;
  }
  if (auto r = client.expectNext("*** The IRC server 127.0.0.1 refused the password|"); !r) {
    return r;
  }
  if (!client.readUntilClosed()) {
    return Outcome::failure("the client is still connected after $BadPass");
  }
  return Outcome::success();
}

class LoginTest : public ::testing::Test {
 protected:
  void startDaemon(std::uint16_t ircPort, const std::string& login) {
    localPort_ = testing::freePort();
    daemon_ = std::make_unique<Daemon>(std::vector<std::string>{
        "--bridge", bridgeArgument(localPort_, ircPort, kChannel) + ",login=" + login});
    ASSERT_TRUE(daemon_->waitListening(localPort_));
  }

  void TearDown() override {
    if (daemon_) {
      const std::string log = daemon_->log();
      EXPECT_FALSE(hasSanitizerReport(log)) << log;
      for (const char* password : {kServerPassword, kAccountPassword, kWrongPassword}) {
        EXPECT_EQ(log.find(password), std::string::npos) << "a password in the log:\n" << log;
      }
      if (HasFailure()) {
        std::cerr << "daemon log:\n" << log << "\n";
      }
    }
  }

  std::unique_ptr<Daemon> daemon_;
  std::uint16_t localPort_ = 0;
};

class PassLoginTest : public LoginTest {
 protected:
  void SetUp() override {
    if (IrcServer::programPath().empty()) {
      if (required("QUAYSIDE_REQUIRE_NGIRCD")) {
        FAIL() << "ngircd is not installed (QUAYSIDE_REQUIRE_NGIRCD=1 demands it)";
      }
      GTEST_SKIP() << "ngircd is not installed: apt-get install ngircd to run this test";
    }
    IrcServerOptions options;
    options.password = kServerPassword;
    server_ = std::make_unique<IrcServer>(600, options);
    ASSERT_TRUE(server_->started()) << "ngircd did not start:\n" << server_->startupLog();
    startDaemon(server_->port(), "pass");
  }

  std::unique_ptr<IrcServer> server_;
};

TEST_F(PassLoginTest, ServerPasswordLetsInAndAWrongOneIsRefused) {
  NmdcClient good("passer");
  ASSERT_TRUE(good.connect(localPort_));
  ASSERT_TRUE(logInWith(good, kServerPassword));
  ASSERT_TRUE(good.registerInfo(kChannel));

  NmdcClient bad("guesser");
  ASSERT_TRUE(bad.connect(localPort_));
  ASSERT_TRUE(logInWith(bad, kWrongPassword));
  // ngIRCd judges the password once NICK and USER are in.
  bad.send("$Version 1,0091|$GetNickList|" + clientInfo(bad.nick()));
  EXPECT_TRUE(expectRefused(bad));
  EXPECT_TRUE(daemon_->process().waitForOutput("the IRC server refused the password"))
      << daemon_->log();
}

// The Bridge's own password, the same as the server's here: asked for
// before the IRC connection opens, then given to the server as well; a
// wrong one, or one with a NUL, never reaches the server.
TEST_F(PassLoginTest, BridgePasswordGuardsTheIrcConnection) {
  startDaemon(server_->port(), std::string("pass,password=") + kServerPassword);
  struct Row {
    const char* nick;
    std::string password;
    bool admitted;
  };
  const Row rows[] = {
      {"guesser", kWrongPassword, false},
      {"nulled", std::string(kServerPassword) + std::string(1, '\0') + "x", false},
      {"owner", kServerPassword, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.nick);
    NmdcClient client(row.nick);
    ASSERT_TRUE(client.connect(localPort_));
    ASSERT_TRUE(client.greet());
    client.sendNick();
    ASSERT_TRUE(client.expectNext("$GetPass|")) << "the password is asked for first";
    client.send("$MyPass " + row.password + "|");
    if (row.admitted) {
      ASSERT_TRUE(client.expectNext("$Supports NickChange UserCommand NoGetINFO NoHello |"));
      ASSERT_TRUE(client.expectNext("$Hello owner|")) << "asked twice, or not let in";
      ASSERT_TRUE(client.registerInfo(kChannel));
      continue;
    }
    EXPECT_TRUE(client.expectNext("*** Quayside refused the hub password|"));
    EXPECT_TRUE(client.expectNext("$BadPass|"));
    EXPECT_TRUE(client.readUntilClosed()) << "still connected after $BadPass";
  }
  EXPECT_TRUE(daemon_->process().waitForOutput("/owner from :"));
  EXPECT_EQ(connectedRelays(daemon_->log()), 1u) << daemon_->log();
}

// One network for the suite: starting InspIRCd and Atheme takes a while.
class SaslLoginTest : public LoginTest {
 protected:
  static void SetUpTestSuite() {
    if (SaslNetwork::inspircdPath().empty() || SaslNetwork::athemePath().empty()) {
      return;
    }
    network_ = std::make_unique<SaslNetwork>();
    if (network_->started()) {
      for (const char* account : {kGoodAccount, kBadAccount}) {
        if (auto r = network_->registerAccount(account, kAccountPassword); !r) {
          registration_ = r.message();
        }
      }
    }
  }
  static void TearDownTestSuite() { network_.reset(); }

  void SetUp() override {
    if (!network_) {
      if (required("QUAYSIDE_REQUIRE_INSPIRCD")) {
        FAIL() << "inspircd or atheme-services is not installed "
                  "(QUAYSIDE_REQUIRE_INSPIRCD=1 demands them)";
      }
      GTEST_SKIP() << "apt-get install inspircd atheme-services to run this test";
    }
    ASSERT_TRUE(network_->started()) << "InspIRCd and Atheme did not start:\n" << network_->log();
    ASSERT_TRUE(registration_.empty()) << registration_ << "\n" << network_->log();
    startDaemon(network_->port(), "sasl");
  }

  static constexpr char kGoodAccount[] = "saslgood";
  static constexpr char kBadAccount[] = "saslbad";
  static inline std::unique_ptr<SaslNetwork> network_;
  static inline std::string registration_;
};

TEST_F(SaslLoginTest, AccountPasswordLogsTheNickIntoItsAccount) {
  NmdcClient client(kGoodAccount);
  ASSERT_TRUE(client.connect(localPort_));
  ASSERT_TRUE(logInWith(client, kAccountPassword));
  client.send("$Version 1,0091|$GetNickList|" + clientInfo(client.nick()));
  ASSERT_TRUE(client.waitForExact("$HubName " + std::string(kChannel) + "|"));
  // WHOIS tells the account the nick is logged into (330). The
  // WHOIS is paced behind the registration's seven lines (2 s each against
  // a 10 s allowance), so it may leave about 6 s after them.
  client.send("$WHOIS " + client.nick() + "|");
  const std::string loggedIn = client.nick() + " is logged in as " + client.nick();
  EXPECT_TRUE(client.waitFor(
      [&](const std::string& message) { return message.find(loggedIn) != std::string::npos; },
      loggedIn, nullptr, std::chrono::seconds(15)));
}

TEST_F(SaslLoginTest, WrongPasswordIsRefused) {
  NmdcClient client(kBadAccount);
  ASSERT_TRUE(client.connect(localPort_));
  ASSERT_TRUE(logInWith(client, kWrongPassword));
  EXPECT_TRUE(expectRefused(client));
  // The hold is kept before the end is logged.
  ASSERT_TRUE(daemon_->process().waitForOutput("the IRC server refused the password"));

  // A retry within the hold, whatever password it would give, is refused
  // here: the network sees no second failed login.
  NmdcClient retry(kBadAccount);
  ASSERT_TRUE(retry.connect(localPort_));
  ASSERT_TRUE(retry.greet());
  retry.sendNick();
  EXPECT_TRUE(retry.expectNext("$BadPass|"));
  const auto told = retry.readUntilClosed();
  ASSERT_TRUE(told.has_value()) << "the held retry stayed connected";
  EXPECT_TRUE(isHeldAnswer(*told, "The IRC server refused the password")) << printable(*told);
  EXPECT_TRUE(daemon_->process().waitForOutput(
      "retry of saslbad answered locally (held after a refused password until "));
  EXPECT_EQ(connectedRelays(daemon_->log()), 1u) << daemon_->log();
}

}  // namespace
}  // namespace quayside::e2e
