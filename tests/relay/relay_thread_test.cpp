#include "relay/relay_thread.h"

#include "platform/password_hash.h"

#include "platform/net.h"
#include "recording_translator.h"
#include "relay/refusal_holds.h"
#include "relay/registry.h"
#include "relay_fixture.h"
#include "support/loopback.h"
#include "support/message_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

namespace quayside {
namespace {

using testing::connectLoopback;
using testing::printable;
using testing::readUntil;
using testing::RecordingTranslator;
using testing::waitForClose;
using namespace std::chrono_literals;

// Records why the relay ended, as the daemon's log would show it.
class EndRecorder : public RelayObserver {
 public:
  void relayConnected(const Relay&) override {}
  void relayEnded(const Relay&, std::string_view reason) override {
    const std::lock_guard lock(mutex_);
    reason_ = reason;
  }
  std::string reason() const {
    const std::lock_guard lock(mutex_);
    return reason_;
  }

 private:
  mutable std::mutex mutex_;
  std::string reason_;  // guarded by mutex_
};

// A hub client connected to a Relay that runs on its own thread, and a
// scripted IRC server the Relay connects to.
class RelayThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(clientListener_.valid()) << clientListener_.error();
    ASSERT_TRUE(serverListener_.valid()) << serverListener_.error();
  }

  void TearDown() override {
    platform::closeSocket(hubClient_);
    platform::closeSocket(ircServer_);
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  std::string serverText() const {
    return "irc://127.0.0.1:" + std::to_string(serverListener_.port()) + "/#x";
  }

  // Starts the Relay for `text` and connects the hub client to it.
  void start(const std::string& text) {
    relay_ = testing::makeRelay();
    relay_->serverText.assign(text);
    relay_->upstreamKind = 1;
    relay_->options = options_;
    relay_->holds = holds_;
    hubClient_ = connectLoopback(clientListener_.port());
    ASSERT_NE(hubClient_, kNoSocket);
    // The server is connected only for a client that named itself.
    ASSERT_TRUE(platform::sendAll(hubClient_, clientFirst_));
    relay_->client = platform::adoptTcpSocket(clientListener_.accept());
    ASSERT_NE(relay_->client->handle(), kNoSocket);
    thread_ = std::thread([this] {
      runRelay(*relay_, standard_ ? standardTranslator() : translator_, &observer_, timeouts_);
      ended_ = true;
    });
  }

  // The relay opened no server connection: `why` says what it would mean.
  void expectNoServerConnection(const char* why) {
    SocketHandle connected = serverListener_.accept(std::chrono::milliseconds(0));
    EXPECT_EQ(connected, kNoSocket) << why;
    platform::closeSocket(connected);
  }

  void startConnected() {
    start(serverText());
    ircServer_ = serverListener_.accept();
    ASSERT_NE(ircServer_, kNoSocket);
    const std::string greeting = std::string(kLockString) + (standard_ ? "$Hello me|" : "");
    ASSERT_EQ(readUntil(hubClient_, greeting), greeting);
    if (standard_) {
      ASSERT_EQ(readUntil(ircServer_, "NICK me\r\n"), "CAP LS 302\r\nNICK me\r\n");
    }
  }

  testing::LoopbackListener clientListener_{5};
  testing::LoopbackListener serverListener_{5};
  SocketHandle hubClient_ = kNoSocket;
  SocketHandle ircServer_ = kNoSocket;
  std::unique_ptr<Relay> relay_;
  RecordingTranslator translator_;
  std::thread thread_;
  std::atomic<bool> ended_{false};
  EndRecorder observer_;
  RelayTimeouts timeouts_;
  bool standard_ = false;  // the real translations instead of the recorder
  std::string clientFirst_ = "$ValidateNick me|";
  SessionOptions options_;
  std::shared_ptr<RefusalHolds> holds_;
};

// A client whose server cannot be reached used to be closed without a byte,
// which its user saw only as "connection closed". Now it is greeted and told.
TEST_F(RelayThreadTest, TellsTheClientWhyTheServerCannotBeReached) {
  const std::uint16_t closedPort = static_cast<std::uint16_t>(clientListener_.port() ^ 1);
  const std::string closed = "127.0.0.1:" + std::to_string(closedPort);
  struct Row {
    std::string text;
    std::string told;
    std::string logged;
  };
  for (const Row& row : std::vector<Row>{
           {"127.0.0.1:abc",
            "*** Quayside could not connect to \"127.0.0.1:abc\": the server text cannot be used: "
            "the port is not a number from 1 to 65535|",
            "the server text cannot be used: the port is not a number from 1 to 65535"},
           {"no-such-host.invalid",
            "*** Quayside could not connect to no-such-host.invalid:6667: the server name does not "
            "resolve|",
            "server name does not resolve"},
           {closed, "*** Quayside could not connect to " + closed + ": connection refused|",
            "cannot connect to the server: Connection refused"},
       }) {
    SCOPED_TRACE(row.text);
    start(row.text);
    std::string received;
    EXPECT_TRUE(waitForClose(hubClient_, received, 20s));
    EXPECT_EQ(received, std::string(kLockString) + row.told);
    platform::closeSocket(hubClient_);
    thread_.join();
    EXPECT_EQ(observer_.reason(), row.logged);
    EXPECT_EQ(registeredRelayCount(), 0u);
  }
}

// The ends the user did not cause, each told to the client after what the
// server said before, and logged with the same reason.
TEST_F(RelayThreadTest, TellsTheClientWhyTheServerEndedTheSession) {
  struct Row {
    const char* name;
    RelayTimeouts timeouts;
    std::string serverSays;  // after which the server stays silent
    bool serverCloses;
    std::string reason;
    std::string told;   // what the client receives after the lock
    bool stop = false;  // Quayside stops once the client has what the server said
  };
  const std::vector<Row> rows = {
      {"a server that never welcomes is waited for forever",
       {300ms, 60s, 60s},
       "",
       false,
       "the server sent no welcome within 300 milliseconds",
       "*** Quayside's connection to SERVER ended: the server sent no welcome within 300 "
       "milliseconds|"},
      {"a server silent after the welcome is waited for forever",
       {60s, 200ms, 300ms},
       ":srv 001 me :hi\r\n:srv 372 me :hi\r\n",
       false,
       "the server stopped answering (no reply to a PING within 300 milliseconds)",
       "<srv> hi|*** Quayside's connection to SERVER ended: the server stopped answering (no reply "
       "to a PING within 300 milliseconds)|"},
      {"ERROR shown as chat and smuggles a command",
       {60s, 60s, 60s},
       ":srv 001 me :hi\r\n:srv 372 me :hi\r\nERROR :Closing Link: me (bye\n$ForceMove "
       "evil|)\r\nPING :later\r\n",
       false,
       "the server said: Closing Link: me (bye\n$ForceMove evil|)",
       "<srv> hi|*** Quayside's connection to SERVER ended: the server said: Closing Link: me (bye "
       "&#36;ForceMove evil&#124;)|"},
      {"the server's close not told",
       {60s, 60s, 60s},
       "",
       true,
       "server closed the connection (does this port expect TLS? try ircs://)",
       "*** Quayside's connection to SERVER ended: server closed the connection (does this port "
       "expect TLS? try ircs://)|"},
      {"a TLS port spoken to in plain text not hinted at",
       {60s, 60s, 60s},
       "\x15\x03\x01\x00\x02\x02\x46",
       false,
       "the server answered in TLS (does this port expect TLS? try ircs://)",
       "*** Quayside's connection to SERVER ended: the server answered in TLS (does this port "
       "expect TLS? try ircs://)|"},
      {"a stop without a QUIT is a lost link on IRC and a silent close for the client",
       {60s, 60s, 60s},
       ":srv 001 me :hi\r\n:srv 372 me :hi\r\n",
       false,
       "Quayside stopped",
       "<srv> hi|*** Quayside stopped|",
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    standard_ = true;
    timeouts_ = row.timeouts;
    startConnected();
    ASSERT_TRUE(platform::sendAll(ircServer_, row.serverSays));
    if (row.serverCloses) {
      platform::closeSocket(ircServer_);
    }
    std::string received;
    std::future<bool> stopped;
    if (row.stop) {
      received = readUntil(hubClient_, "<srv> hi|");
      // Waits for the relay, which waits for the client's close: not on this thread.
      stopped = std::async(std::launch::async, [] { return stopRelays(3s); });
    }
    std::string rest;
    EXPECT_TRUE(waitForClose(hubClient_, rest));
    received += rest;
    std::string told = row.told;
    if (const std::size_t server = told.find("SERVER"); server != std::string::npos) {
      told.replace(server, 6, "127.0.0.1:" + std::to_string(serverListener_.port()));
    }
    EXPECT_EQ(received, told);
    platform::closeSocket(hubClient_);
    thread_.join();
    EXPECT_EQ(observer_.reason(), row.reason);
    if (row.stop) {
      EXPECT_TRUE(stopped.get()) << "the registry emptied within the bound";
      EXPECT_FALSE(relaysStopping()) << "later relays run as usual";
    }
    if (!row.serverCloses) {
      std::string toServer;
      EXPECT_TRUE(waitForClose(ircServer_, toServer));
      const bool pinged = toServer.find("PING :quayside\r\n") != std::string::npos;
      EXPECT_EQ(pinged, row.timeouts.idle < 1s) << printable(toServer);
      EXPECT_EQ(toServer.ends_with("QUIT :Quayside stopped\r\n"), row.stop) << printable(toServer);
    }
    platform::closeSocket(ircServer_);
  }
}

TEST_F(RelayThreadTest, StatusLinesReachTheClientInItsCharset) {
  standard_ = true;
  ASSERT_EQ(applyOption(options_, "charset=windows-1251"), "");
  startConnected();
  ASSERT_TRUE(platform::sendAll(ircServer_,
                                ":srv 001 me :hi\r\n:srv 372 me :hi\r\nERROR "
                                ":\xd0\x9f\xd1\x80\xd0\xbe\xd1\x89\xd0\xb0\xd0\xb9\r\n"));
  std::string told;
  EXPECT_TRUE(waitForClose(hubClient_, told));
  EXPECT_EQ(told, "<srv> hi|*** Quayside's connection to 127.0.0.1:" +
                      std::to_string(serverListener_.port()) +
                      " ended: the server said: \xcf\xf0\xee\xf9\xe0\xe9|");
  thread_.join();
}

TEST_F(RelayThreadTest, AnsweredPingsKeepAQuietSessionAlive) {
  standard_ = true;
  timeouts_ = {60s, 100ms, 3s};
  startConnected();
  ASSERT_TRUE(platform::sendAll(ircServer_, ":srv 001 me :hi\r\n:srv 372 me :hi\r\n"));
  EXPECT_EQ(readUntil(hubClient_, "|"), "<srv> hi|");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(readUntil(ircServer_, "\r\n"), "PING :quayside\r\n");
    ASSERT_TRUE(platform::sendAll(ircServer_, ":srv PONG srv :quayside\r\n"));
  }
  EXPECT_FALSE(ended_);
  platform::closeSocket(hubClient_);
  thread_.join();
  EXPECT_EQ(observer_.reason(), "client closed the connection");
}

TEST_F(RelayThreadTest, SendsTheLockAndFramesBothStreams) {
  // Round trip through a translation that answers on the server socket, so
  // the test knows when the relay has handled everything sent before.
  translator_.onLine = [](const Message& line, RelayOutput& out) {
    if (line.bytes.starts_with('N')) {
      out.send(Peer::kServer, "done\r\n");
    }
  };
  startConnected();
  ASSERT_TRUE(platform::sendAll(hubClient_, "$A 1|$B 2|$C"));
  ASSERT_TRUE(platform::sendAll(ircServer_, "PING :a\r\nNOTICE x\r"));
  ASSERT_TRUE(platform::sendAll(hubClient_, " 3|"));
  ASSERT_TRUE(platform::sendAll(ircServer_, "\n"));
  EXPECT_EQ(readUntil(ircServer_, "done\r\n"), "done\r\n");
  platform::closeSocket(hubClient_);
  std::string rest;
  EXPECT_TRUE(waitForClose(ircServer_, rest)) << "the client's close ends the server connection";
  EXPECT_EQ(rest, "QUIT :DC client left\r\n") << "IRC sees a lost link, not a quit";
  thread_.join();
  EXPECT_EQ(translator_.commands,
            (std::vector<std::string>{"$ValidateNick me", "$A 1", "$B 2", "$C 3"}));
  EXPECT_EQ(translator_.lines, (std::vector<std::string>{"PING :a", "NOTICE x"}));
  EXPECT_EQ(relay_->serverPort, serverListener_.port());
  EXPECT_FALSE(relay_->clientOpen());
  EXPECT_EQ(relay_->serverSocket, kNoSocket);
}

TEST_F(RelayThreadTest, IsRegisteredWhileItRuns) {
  startConnected();
  EXPECT_EQ(registeredRelayCount(), 1u);
  platform::closeSocket(ircServer_);
  std::string rest;
  EXPECT_TRUE(waitForClose(hubClient_, rest)) << "the server's close ends the client connection";
  platform::closeSocket(hubClient_);
  thread_.join();
  EXPECT_EQ(registeredRelayCount(), 0u);
}

TEST_F(RelayThreadTest, EndsWhenTheTranslationClosesTheClient) {
  translator_.onLine = [](const Message&, RelayOutput& out) { out.closeClient(); };
  startConnected();
  ASSERT_TRUE(platform::sendAll(ircServer_, ":op KICK #x me :bye\r\n"));
  std::string rest;
  EXPECT_TRUE(waitForClose(hubClient_, rest));
  EXPECT_TRUE(waitForClose(ircServer_, rest)) << "the server connection closes as well";
  thread_.join();
}

// A client that has not named itself opens no server connection, whether
// it leaves, says nothing or says too much.
TEST_F(RelayThreadTest, ClientThatDoesNotNameItselfOpensNoConnection) {
  struct Row {
    const char* name;
    std::string says;
    bool leaves;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"leaves", "$Supports NoHello |", true, "client closed the connection"},
      {"says nothing", "", false, "the client did not name itself within 200 milliseconds"},
      {"says too much", std::string(kStreamCapacity, 'x'), false,
       "the client sent 10000 bytes without naming itself"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    timeouts_.validation = 200ms;
    clientFirst_ = row.says;
    start(serverText());
    if (row.leaves) {
      // Read first, so the close is not a reset.
      EXPECT_EQ(readUntil(hubClient_, std::string(kLockString)), kLockString);
      platform::closeSocket(hubClient_);
    }
    thread_.join();
    EXPECT_EQ(observer_.reason(), row.reason);
    expectNoServerConnection("a server connection was opened");
    platform::closeSocket(hubClient_);
  }
}

// A Bridge's own password is asked for before any IRC traffic: a right one
// goes on (and with login=pass is the IRC password too), a wrong one or one
// with a NUL gets $BadPass, the close and a hold, and no connect.
TEST_F(RelayThreadTest, BridgePasswordIsAskedBeforeAnyIrcTraffic) {
  struct Row {
    const char* name;
    LoginMode login;
    std::string given;
    std::string told;      // after "$GetPass|"; empty: the session goes on
    std::string toServer;  // the first lines the server gets
  };
  const std::vector<Row> rows = {
      {"right", LoginMode::kNone, "$MyPass s3cret|", "", "CAP LS 302\r\nNICK me\r\n"},
      {"right, also for IRC", LoginMode::kPass, "$MyPass s3cret|", "",
       "PASS s3cret\r\nCAP LS 302\r\nNICK me\r\n"},
      {"wrong", LoginMode::kNone, "$MyPass s3cre|",
       "*** Quayside refused the hub password|$BadPass|", ""},
      {"cut at a NUL", LoginMode::kPass, std::string("$MyPass s3cret\0x|", 17),
       "*** Quayside refused the hub password|$BadPass|", ""},
  };
  const platform::SystemPasswordHasher hasher(kLeastPasswordIterations);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    standard_ = true;
    options_ = SessionOptions{};
    ASSERT_EQ(applyOption(options_, "password=s3cret", &hasher), "");
    options_.login = row.login;
    holds_ = std::make_shared<RefusalHolds>();
    start(serverText());
    const std::string asked = std::string(kLockString) + "$GetPass|";
    ASSERT_EQ(readUntil(hubClient_, asked), asked);
    ASSERT_TRUE(platform::sendAll(hubClient_, row.given));
    if (row.told.empty()) {
      ircServer_ = serverListener_.accept();
      ASSERT_NE(ircServer_, kNoSocket);
      EXPECT_EQ(readUntil(ircServer_, "NICK me\r\n"), row.toServer);
      EXPECT_EQ(readUntil(hubClient_, "$Hello me|"), "$Hello me|") << "asked twice";
      platform::closeSocket(hubClient_);
      thread_.join();
      platform::closeSocket(ircServer_);
      continue;
    }
    std::string received;
    EXPECT_TRUE(waitForClose(hubClient_, received));
    EXPECT_EQ(received, row.told);
    platform::closeSocket(hubClient_);
    thread_.join();
    EXPECT_EQ(observer_.reason(), "Quayside refused the hub password");
    EXPECT_TRUE(holds_->find("me", RefusalHolds::Clock::now()).has_value());
    expectNoServerConnection("a refused client connected to the server");
  }
}

// A retry inside a hold is told why and when, and opens no server
// connection; any other nick on the Bridge goes on as usual, its first
// commands framed after the connect and the lock sent once.
TEST_F(RelayThreadTest, RetriesInsideAHoldAreAnsweredWithoutAConnect) {
  struct Row {
    const char* name;
    std::string heldNick;
    HoldCause cause;
    std::string reason;
    std::string nick;  // the retrying client's
    std::string told;  // after the lock; empty: the session goes on
    std::string logged;
  };
  const std::vector<Row> rows = {
      {"a kicked nick", "bob", HoldCause::kKick, "You were kicked from #x by op ($pam)", "bob",
       "*** You were kicked from #x by op (&#36;pam); Quayside tries again after 18:06|",
       "retry of bob answered locally (held after a kick until 18:06)"},
      {"a refused password is refused again", "bob", HoldCause::kPassword,
       "The IRC server refused the password", "bob",
       "$BadPass|*** The IRC server refused the password; Quayside tries again after 18:05|",
       "retry of bob answered locally (held after a refused password until 18:05)"},
      {"an unreachable server holds every nick", "bob", HoldCause::kUnreachable,
       "Quayside could not connect to x:1: connection refused", "carol",
       "*** Quayside could not connect to x:1: connection refused; Quayside tries again after "
       "18:05|",
       "retry of carol answered locally (held after a failed connection until 18:05)"},
      {"another nick goes on", "bob", HoldCause::kKick, "kicked", "carol", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    standard_ = true;
    holds_ = std::make_shared<RefusalHolds>();
    holds_->refuse(row.heldNick, row.cause, row.reason,
                   {RefusalHolds::Clock::now(), 18 * 3600 + 4 * 60 + 10});
    clientFirst_.clear();
    start(serverText());
    ASSERT_EQ(readUntil(hubClient_, std::string(kLockString)), kLockString);
    const std::string commands = "$Supports NoHello |$Key \x81\xfe|$ValidateNick " + row.nick + "|";
    ASSERT_TRUE(platform::sendAll(hubClient_, commands));
    if (row.told.empty()) {
      ircServer_ = serverListener_.accept();
      ASSERT_NE(ircServer_, kNoSocket);
      EXPECT_EQ(readUntil(ircServer_, "NICK carol\r\n"), "CAP LS 302\r\nNICK carol\r\n");
      const std::string hello = "$Hello carol|";
      EXPECT_EQ(readUntil(hubClient_, hello), "$Supports UserCommand NoGetINFO NoHello |" + hello);
      platform::closeSocket(hubClient_);
      thread_.join();
      platform::closeSocket(ircServer_);
      EXPECT_EQ(observer_.reason(), "client closed the connection");
      continue;
    }
    std::string received;
    EXPECT_TRUE(waitForClose(hubClient_, received));
    EXPECT_EQ(received, row.told);
    platform::closeSocket(hubClient_);
    thread_.join();
    EXPECT_EQ(observer_.reason(), row.logged);
    expectNoServerConnection("the held retry connected to the server");
  }
}

// The ends that retrying at once cannot change are held, with what a retry
// is told; a welcome first ends the count of refusals in a row.
TEST_F(RelayThreadTest, EndsThatRetryingCannotChangeHoldTheRetries) {
  const std::uint16_t closedPort = static_cast<std::uint16_t>(clientListener_.port() ^ 1);
  struct Row {
    const char* name;
    bool reachable;
    std::string serverSays;  // after the client's nick; then the server closes
    std::string heldNick;    // whose retry is held; empty: nobody's
    std::string reason;      // what a retry is told ("SERVER": the server's address)
    std::chrono::seconds heldFor;
  };
  const std::vector<Row> rows = {
      {"a kick names the kicker and the reason", true,
       ":srv 001 bob :hi\r\n:srv 372 bob :hi\r\n:op!u@h KICK #x bob :\x02spam\x02\r\n", "bob",
       "You were kicked from #x by op (spam)", 60s},
      {"the server's ERROR, held 30 s after a welcome", true,
       ":srv 001 bob :hi\r\n:srv 372 bob :hi\r\nERROR :Closing Link: banned\r\n", "bob",
       "Quayside's connection to SERVER ended: the server said: Closing Link: banned", 30s},
      {"a refused connection holds every nick", false, "", "carol",
       "Quayside could not connect to SERVER: connection refused", 30s},
      {"a server that closes is not held", true, ":srv 001 bob :hi\r\n:srv 372 bob :hi\r\n", "", "",
       0s},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    standard_ = true;
    holds_ = std::make_shared<RefusalHolds>();
    // An earlier refusal of bob, over now: without a welcome the next would
    // hold 60 s.
    holds_->refuse("bob", HoldCause::kPassword, "", {RefusalHolds::Clock::now() - 1h, 0});
    const std::uint16_t port = row.reachable ? serverListener_.port() : closedPort;
    clientFirst_ = "$ValidateNick bob|";
    start("127.0.0.1:" + std::to_string(port));
    if (row.reachable) {
      ircServer_ = serverListener_.accept();
      ASSERT_NE(ircServer_, kNoSocket);
      ASSERT_EQ(readUntil(ircServer_, "NICK bob\r\n"), "CAP LS 302\r\nNICK bob\r\n");
      ASSERT_TRUE(platform::sendAll(ircServer_, row.serverSays));
      platform::closeSocket(ircServer_);
    }
    std::string received;
    EXPECT_TRUE(waitForClose(hubClient_, received));
    platform::closeSocket(hubClient_);
    thread_.join();
    const auto now = RefusalHolds::Clock::now();
    const std::optional<Hold> hold = holds_->find(row.heldNick, now);
    if (row.heldNick.empty()) {
      EXPECT_FALSE(holds_->anyActive(now));
      continue;
    }
    ASSERT_TRUE(hold.has_value());
    std::string reason = row.reason;
    if (const std::size_t server = reason.find("SERVER"); server != std::string::npos) {
      reason.replace(server, 6, "127.0.0.1:" + std::to_string(port));
    }
    EXPECT_EQ(hold->reason, reason);
    EXPECT_LE(hold->until, now + row.heldFor);
    EXPECT_GT(hold->until, now + row.heldFor - 10s);
    EXPECT_EQ(holds_->find("bob", now).has_value(), row.heldNick == "bob" || !row.reachable);
  }
}

TEST(StartRelay, OwnsAndFreesTheRelay) {
  // Under AddressSanitizer a leak or a use after free here fails the test.
  testing::LoopbackListener listener(5);
  ASSERT_TRUE(listener.valid());
  SocketHandle client = connectLoopback(listener.port());
  ASSERT_TRUE(platform::sendAll(client, "$ValidateNick me|"));
  auto relay = testing::makeRelay();
  relay->serverText.assign("127.0.0.1:abc");
  relay->client = platform::adoptTcpSocket(listener.accept());
  ASSERT_TRUE(startRelay(std::move(relay)));
  std::string rest;
  EXPECT_TRUE(waitForClose(client, rest));
  platform::closeSocket(client);
  for (int i = 0; i < 500 && registeredRelayCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(registeredRelayCount(), 0u);
}

}  // namespace
}  // namespace quayside
