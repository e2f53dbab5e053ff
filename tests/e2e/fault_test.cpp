// Faults from the network, through the daemon: servers that vanish in the
// middle of a line or reset the connection, peers that stop reading, a
// client that leaves while the connect is still under way, and floods of
// local connects. The daemon must go on serving, and every client must
// learn what happened.
#include "e2e/scripted_peers.h"
#include "e2e/servers.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <memory>
#include <thread>
#include <vector>

namespace quayside::e2e {
namespace {

using namespace std::chrono_literals;

constexpr char kChannel[] = "#faults";

// The relay's connection as the scripted server sees it, once `client` has
// connected to the Bridge at `port` and named itself; null when any step failed.
std::unique_ptr<MessagePeer> validatedRelay(NmdcClient& client, std::uint16_t port,
                                            const testing::LoopbackListener& server) {
  if (!client.connect(port) || !client.greet() || !client.validate()) {
    return nullptr;
  }
  const SocketHandle accepted = server.accept();
  return accepted == kNoSocket ? nullptr : std::make_unique<MessagePeer>("\r\n", accepted);
}

TEST(Faults, ServerThatVanishesIsToldToTheClientAndTheDaemonGoesOn) {
  struct Row {
    const char* name;  // what is broken when the row fails
    bool reset;        // a reset (RST) rather than an orderly close
    const char* told;  // how the end reads to the client
  };
  const Row rows[] = {
      {"close in the middle of a line", false, "server closed the connection"},
      {"connection reset", true, "server connection failed"},
  };
  testing::LoopbackListener server;
  ASSERT_TRUE(server.valid());
  const std::uint16_t port = testing::freePort();
  Daemon daemon({"--bridge", bridgeArgument(port, server.port(), kChannel)});
  ASSERT_TRUE(daemon.waitListening(port));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.reset && Daemon::underWine()) {
      // Wine's receive reads a reset as an orderly end; Windows' fails with
      // WSAECONNRESET as POSIX does.
      continue;
    }
    NmdcClient client("bob");
    const std::unique_ptr<MessagePeer> irc = validatedRelay(client, port, server);
    ASSERT_NE(irc, nullptr);
    ASSERT_TRUE(irc->waitForPrefix("NICK bob"));
    ASSERT_TRUE(irc->send(":srv NOTICE bob :half a li"));
    if (row.reset) {
      const linger abort{1, 0};
      ::setsockopt(irc->socket(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    irc->close();
    const auto told = client.readUntilClosed();
    ASSERT_TRUE(told.has_value()) << "the client stayed connected";
    EXPECT_NE(told->find(std::string(" ended: ") + row.told + "|"), std::string::npos)
        << printable(*told);
    EXPECT_EQ(told->find("half"), std::string::npos) << "an unfinished line was shown";
  }
  EXPECT_TRUE(daemon.process().running());
  EXPECT_FALSE(hasSanitizerReport(daemon.log())) << daemon.log();
}

TEST(Faults, PeerThatStopsReadingEndsTheSessionWithAReason) {
  struct Row {
    const char* name;
    bool serverStalls;  // else the client stops reading
    const char* reason;
  };
  const Row rows[] = {
      {"server accepts and never reads", true, "the server stopped reading"},
      {"client never reads", false, "the client stopped reading"},
  };
  // Filling the socket buffers between the peers takes megabytes, which a
  // sanitizer build translates slowly.
  constexpr auto kFillTime = std::chrono::seconds(120);
  testing::LoopbackListener server;
  ASSERT_TRUE(server.valid());
  const std::uint16_t port = testing::freePort();
  // Sends give up after half a second; unpaced, so the client's flood
  // reaches the server's socket at once.
  Daemon daemon({"--bridge", bridgeArgument(port, server.port(), kChannel) + ",pace=off"},
                {{"QUAYSIDE_RELAY_TIMEOUTS", "60000,120000,60000,500"}});
  ASSERT_TRUE(daemon.waitListening(port));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NmdcClient client("bob");
    const std::unique_ptr<MessagePeer> irc = validatedRelay(client, port, server);
    ASSERT_NE(irc, nullptr);
    ASSERT_TRUE(client.send(clientInfo("bob")));
    ASSERT_TRUE(irc->waitForPrefix("USER "));
    ASSERT_TRUE(irc->send(":srv 001 bob :hi\r\n:bob!u@h JOIN " + std::string(kChannel) + "\r\n"));
    ASSERT_TRUE(client.waitForPrefix("$HubName "));

    // The flood ends when the relay closes the connection it goes to.
    const SocketHandle flooded = row.serverStalls ? client.socket() : irc->socket();
    const std::string line = row.serverStalls ? "<bob> " + std::string(30000, 'a') + "|"
                                              : ":al!a@h PRIVMSG " + std::string(kChannel) + " :" +
                                                    std::string(400, 'a') + "\r\n";
    std::thread flood([&] {
      while (platform::sendAll(flooded, line)) {
      }
    });
    if (row.serverStalls) {
      const auto told = client.readUntilClosed(kFillTime);
      EXPECT_TRUE(told.has_value()) << "the client stayed connected";
      EXPECT_NE(told.value_or("").find(std::string(" ended: ") + row.reason +
                                       ": nothing could be sent to it for 500 milliseconds|"),
                std::string::npos);
    } else {
      EXPECT_TRUE(irc->waitForExact("QUIT :DC client left\r\n", kFillTime));
    }
    flood.join();
    client.close();
    irc->close();
    const auto deadline = Clock::now() + kReadTimeout;
    while (daemon.log().find(row.reason) == std::string::npos && Clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(daemon.log().find(row.reason), std::string::npos) << daemon.log();
  }
  EXPECT_TRUE(daemon.process().running());
  EXPECT_FALSE(hasSanitizerReport(daemon.log())) << daemon.log();
}

TEST(Faults, ClientLeavingDuringTheConnectLeavesTheDaemonServing) {
  // A backlog of one, filled and never accepted: the relay's connect waits.
  testing::LoopbackListener stuck(0);
  ASSERT_TRUE(stuck.valid());
  SocketHandle filler = testing::connectLoopback(stuck.port());
  ASSERT_NE(filler, kNoSocket);
  testing::LoopbackListener good;
  ASSERT_TRUE(good.valid());
  const std::uint16_t stuckPort = testing::freePort();
  const std::uint16_t goodPort = testing::freePort();
  Daemon daemon({"--bridge", bridgeArgument(stuckPort, stuck.port(), kChannel), "--bridge",
                 bridgeArgument(goodPort, good.port(), kChannel)});
  ASSERT_TRUE(daemon.waitListening(stuckPort));
  ASSERT_TRUE(daemon.waitListening(goodPort));

  NmdcClient leaving("eve");
  ASSERT_TRUE(leaving.connect(stuckPort));
  leaving.sendNick();
  std::this_thread::sleep_for(200ms);
  leaving.close();

  // The other relays never wait for that connect.
  NmdcClient client("bob");
  ASSERT_TRUE(client.connect(goodPort));
  EXPECT_TRUE(client.greet());
  EXPECT_TRUE(daemon.process().running());
  platform::closeSocket(filler);
  EXPECT_FALSE(hasSanitizerReport(daemon.log())) << daemon.log();
}

// Local connections cannot make Quayside an amplifier: 500 at once each get
// the lock, those past the caps one line more and the close, and connects
// that never name themselves open no IRC connection; a real client is
// served afterwards.
TEST(Faults, FloodsOfLocalConnectsMeetTheCaps) {
  constexpr int kClients = 500;
  constexpr int kWaiting = 64;  // connections a Bridge lets wait for a nick
  // The daemon holds two descriptors per client, this test one per client
  // plus the server's side.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 4 * kClients) {
    GTEST_SKIP() << "the descriptor limit (" << limit.rlim_max << ") is too low for this test";
  }
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

  // Connects complete in the backlog: the relays never need an accept.
  testing::LoopbackListener server(4 * kClients);
  ASSERT_TRUE(server.valid());
  const std::uint16_t port = testing::freePort();
  Daemon daemon({"--bridge", bridgeArgument(port, server.port(), kChannel)});
  ASSERT_TRUE(daemon.waitListening(port));

  std::vector<std::unique_ptr<NmdcClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<NmdcClient>("c" + std::to_string(i)));
    ASSERT_TRUE(clients.back()->connect(port)) << "client " << i;
    if (i < kWaiting) {
      // Greeted, so its accept has counted it.
      ASSERT_TRUE(clients.back()->greet()) << "client " << i;
    }
  }
  int turnedAway = 0;
  for (std::size_t i = kWaiting; i < clients.size(); ++i) {
    const std::optional<std::string> told = clients[i]->readUntilClosed();
    turnedAway +=
        told == std::string(kLock) + "*** Quayside: too many sessions on this Bridge (8)|";
  }
  EXPECT_EQ(turnedAway, kClients - kWaiting);
  clients.clear();

  for (int i = 0; i < 100; ++i) {
    NmdcClient reset("r");
    ASSERT_TRUE(reset.connect(port));
    const linger abort{1, 0};
    ::setsockopt(reset.socket(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  NmdcClient client("bob");
  const std::unique_ptr<MessagePeer> irc = validatedRelay(client, port, server);
  ASSERT_NE(irc, nullptr);
  EXPECT_TRUE(irc->waitForPrefix("NICK bob"));
  EXPECT_TRUE(daemon.process().waitForOutput("session " + std::to_string(port) + "/bob from :"));
  EXPECT_EQ(connectedRelays(daemon.log()), 1u) << daemon.log();
  EXPECT_EQ(server.accept(0ms), kNoSocket) << "a client without a nick connected to IRC";
  EXPECT_TRUE(daemon.process().running());
  EXPECT_FALSE(hasSanitizerReport(daemon.log())) << daemon.log();
}

}  // namespace
}  // namespace quayside::e2e
