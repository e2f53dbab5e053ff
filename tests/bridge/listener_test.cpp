#include "bridge/listener.h"

#include "platform/net.h"
#include "platform/stream.h"
#include "relay/registry.h"
#include "support/loopback.h"

#include "platform/wait.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace quayside {
namespace {

using testing::freePort;
using Note = ListenerHost::AcceptNote;

class RecordingHost : public ListenerHost {
 public:
  void watchAccepts(SocketHandle listener, std::uint32_t message) override {
    watched[listener] = message;
  }
  void unwatchAccepts(SocketHandle listener) override { watched.erase(listener); }
  void errorOpeningPort(const Bridge&, std::string_view) override { ++errors; }
  void uncheckCurrentRow() override { ++unchecked; }
  void noteAccept(const Bridge&, AcceptNote note, std::uint32_t peer, std::uint16_t,
                  std::string_view) override {
    notes.push_back(note);
    peers.push_back(peer);
  }

  std::map<SocketHandle, std::uint32_t> watched;
  int errors = 0;
  int unchecked = 0;
  std::vector<Note> notes;
  std::vector<std::uint32_t> peers;
};

class ListenersTest : public ::testing::Test {
 protected:
  Bridge& addBridge(std::uint16_t port, std::uint32_t message, const std::string& server = "") {
    Bridge& bridge = bridges_.emplace_back();
    bridge.enabled = 1;
    bridge.upstreamKind = 1;
    bridge.localPort = port;
    bridge.acceptMessage = message;
    setFieldText(bridge.server, server);
    return bridge;
  }

  // Connects from `from`, sends `first` (a session's server is connected only
  // once the client names itself) and delivers the accept event once the
  // connection waits.
  SocketHandle connectAndAccept(Bridge& bridge, std::uint32_t from = platform::kLoopback,
                                std::string_view first = "$ValidateNick me|") {
    SocketHandle client = testing::connectLoopback(bridge.localPort, from);
    EXPECT_TRUE(platform::sendAll(client, first));
    platform::WaitEntry entry{bridge.listenSocket};
    EXPECT_EQ(platform::waitReadable({&entry, 1}, std::chrono::milliseconds(5000)).status,
              platform::WaitStatus::kReady);
    listeners_.acceptClient(bridge.acceptMessage);
    return client;
  }

  static bool relaysEnd() {
    for (int i = 0; i < 1000 && registeredRelayCount() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return registeredRelayCount() == 0;
  }

  void TearDown() override {
    for (Bridge& bridge : bridges_) {
      listeners_.closeListener(bridge);
    }
    EXPECT_TRUE(relaysEnd());
  }

  BridgeList bridges_;
  RecordingHost host_;
  Listeners listeners_{bridges_, host_};
};

TEST_F(ListenersTest, FailedOpenTellsTheUserAndDisablesTheBridge) {
  Bridge& first = addBridge(freePort(), 1124);
  listeners_.openListener(first);
  ASSERT_NE(first.listenSocket, kNoSocket);
  const struct {
    const char* name;
    std::uint16_t port;
    const char* optionsProblem = "";
  } cases[] = {{"PortAlreadyListening", first.localPort},
               {"PortZero", 0},
               {"StoredOptionsUnreadable", freePort(), "unknown option"}};
  for (const auto& [name, port, optionsProblem] : cases) {
    host_ = RecordingHost{};
    Bridge& bridge = addBridge(port, 1125);
    bridge.optionsProblem = optionsProblem;
    listeners_.openListener(bridge);
    EXPECT_EQ(host_.errors, 1) << name;
    EXPECT_EQ(host_.unchecked, 1) << name;
    EXPECT_EQ(bridge.enabled, 0) << name;
    EXPECT_EQ(bridge.listenSocket, kNoSocket) << name;
    EXPECT_TRUE(host_.watched.empty()) << name;
  }
}

TEST_F(ListenersTest, EachClientGetsItsOwnRelayFromCopiesOfTheTexts) {
  testing::LoopbackListener server(5);
  Bridge& bridge = addBridge(freePort(), 1124, "irc://127.0.0.1:" + std::to_string(server.port()));
  listeners_.openListener(bridge);
  SocketHandle clients[2];
  SocketHandle upstream[2];
  std::chrono::steady_clock::time_point connectedAt[2];
  for (int i = 0; i < 2; ++i) {
    clients[i] = connectAndAccept(bridge);
    upstream[i] = server.accept();
    ASSERT_NE(upstream[i], kNoSocket);
    connectedAt[i] = std::chrono::steady_clock::now();
  }
  // One Bridge's IRC connections start one per two seconds.
  EXPECT_GE(connectedAt[1] - connectedAt[0], std::chrono::milliseconds(1900));
  // Editing the Bridge now leaves the running Relays alone.
  setFieldText(bridge.server, "elsewhere.invalid");
  const std::string greeting = std::string(kLockString) + "$Hello me|";
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(testing::readUntil(clients[i], greeting), greeting);
    platform::closeSocket(clients[i]);
    platform::closeSocket(upstream[i]);
  }
  EXPECT_EQ(host_.notes, (std::vector<Note>{Note::kAccepted, Note::kAccepted}));
}

TEST_F(ListenersTest, BurstOfClientsBeforeAnyAcceptAllGetRelays) {
  Bridge& bridge = addBridge(freePort(), 1124, "127.0.0.1:" + std::to_string(freePort()));
  listeners_.openListener(bridge);
  constexpr int kClients = 40;
  std::vector<SocketHandle> clients;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(bridge.localPort);
  to.sin_addr.s_addr = htonl(platform::kLoopback);
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(platform::createTcpSocket());
    platform::setBlocking(clients.back(), false);
    ::connect(clients.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  for (int i = 0; i < 500 && host_.notes.size() < kClients; ++i) {
    platform::WaitEntry entry{bridge.listenSocket};
    if (platform::waitReadable({&entry, 1}, std::chrono::milliseconds(10)).status ==
        platform::WaitStatus::kReady) {
      listeners_.acceptClient(1124);
    }
  }
  EXPECT_EQ(std::count(host_.notes.begin(), host_.notes.end(), Note::kAccepted), kClients);
  for (SocketHandle& client : clients) {
    platform::closeSocket(client);
  }
}

TEST_F(ListenersTest, ListenerReopensAtOnceAfterServedConnections) {
  // The refusing server makes the Relay close the client first, which leaves
  // the Bridge's port in TIME_WAIT.
  Bridge& bridge = addBridge(freePort(), 1124, "127.0.0.1:" + std::to_string(freePort()));
  listeners_.openListener(bridge);
  ASSERT_EQ(platform::boundPort(bridge.listenSocket), bridge.localPort);
  EXPECT_EQ(host_.watched.at(bridge.listenSocket), 1124u);
  const std::uint8_t high = static_cast<std::uint8_t>(bridge.localPort >> 8);
  const std::uint8_t low = static_cast<std::uint8_t>(bridge.localPort);
  EXPECT_EQ(bridge.listenAddress, (std::array<std::uint8_t, 16>{2, 0, high, low, 127, 0, 0, 1}));
  SocketHandle client = connectAndAccept(bridge);
  std::string before;
  EXPECT_TRUE(testing::waitForClose(client, before));
  platform::closeSocket(client);
  ASSERT_TRUE(relaysEnd());
  listeners_.closeListener(bridge);
  EXPECT_TRUE(host_.watched.empty());
  listeners_.openListener(bridge);
  EXPECT_NE(bridge.listenSocket, kNoSocket);
  EXPECT_EQ(host_.errors, 0);
}

// Past either cap a client gets the lock and one line, no Relay; the log
// gets one line for the run.
TEST_F(ListenersTest, CapsTurnClientsAwayWithTheLockAndOneLine) {
  struct Row {
    const char* name;
    std::uint16_t maxSessions;
    int named;    // clients that name themselves first
    int unnamed;  // then clients that say nothing
  };
  const std::vector<Row> rows = {
      {"sessions", 2, 2, 0},
      {"connections without a nick", 1000, 0, static_cast<int>(Admission::kUnvalidatedLimit)},
  };
  // A server that never answers keeps the sessions waiting for its welcome.
  testing::LoopbackListener server(5);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host_ = RecordingHost{};
    Bridge& bridge = addBridge(freePort(), 1124, "127.0.0.1:" + std::to_string(server.port()));
    bridge.options.maxSessions = row.maxSessions;
    bridge.options.pace = false;
    listeners_.openListener(bridge);
    std::vector<SocketHandle> clients;
    for (int i = 0; i < row.named + row.unnamed; ++i) {
      clients.push_back(
          connectAndAccept(bridge, platform::kLoopback, i < row.named ? "$ValidateNick me|" : ""));
    }
    for (int i = 0; i < 500 && bridge.admission->sessions() < std::size_t(row.named); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int i = 0; i < 2; ++i) {
      SocketHandle late = connectAndAccept(bridge, platform::kLoopback, "$ValidateNick late|");
      std::string told;
      EXPECT_TRUE(testing::waitForClose(late, told));
      EXPECT_EQ(told, std::string(kLockString) + tooManySessionsLine(row.maxSessions));
      platform::closeSocket(late);
    }
    EXPECT_EQ(std::count(host_.notes.begin(), host_.notes.end(), Note::kOverCap), 1);
    for (SocketHandle& client : clients) {
      platform::closeSocket(client);
    }
    ASSERT_TRUE(relaysEnd());
    EXPECT_EQ(bridge.admission->sessions() + bridge.admission->unvalidated(), 0u);
    listeners_.closeListener(bridge);
  }
}

TEST_F(ListenersTest, PeerOtherThanExactLoopbackIsRefused) {
  Bridge& bridge = addBridge(freePort(), 1124);
  listeners_.openListener(bridge);
  SocketHandle client = connectAndAccept(bridge, 0x7F000002);
  EXPECT_EQ(host_.notes, std::vector<Note>{Note::kRefused});
  EXPECT_EQ(host_.peers, std::vector<std::uint32_t>{0x7F000002});
  std::string before;
  EXPECT_TRUE(testing::waitForClose(client, before));
  EXPECT_EQ(registeredRelayCount(), 0u);
  platform::closeSocket(client);
}

TEST_F(ListenersTest, EventsWithoutAnOpenListenerDoNothing) {
  Bridge& bridge = addBridge(freePort(), 1124);
  listeners_.openListener(bridge);
  SocketHandle client = testing::connectLoopback(bridge.localPort);
  listeners_.acceptClient(4242);  // no Bridge holds this number
  listeners_.closeListener(bridge);
  listeners_.acceptClient(1124);  // posted before the close, handled after
  EXPECT_TRUE(host_.notes.empty());
  EXPECT_EQ(registeredRelayCount(), 0u);
  platform::closeSocket(client);
}

TEST_F(ListenersTest, SharedOrLowEventNumbersAreMadeUnique) {
  Bridge& closed = addBridge(freePort(), 1124);  // holds the number first but stays closed
  Bridge& first = addBridge(freePort(), 1124);
  Bridge& second = addBridge(freePort(), 1124);
  Bridge& low = addBridge(freePort(), 0);
  for (Bridge* bridge : {&first, &second, &low}) {
    listeners_.openListener(*bridge);
  }
  EXPECT_EQ(closed.acceptMessage, 1124u);
  EXPECT_EQ(first.acceptMessage, 1124u);
  EXPECT_EQ(second.acceptMessage, 1125u);
  EXPECT_EQ(low.acceptMessage, 1126u);
  // The closed Bridge earlier in the list does not swallow the open one's event.
  SocketHandle client = connectAndAccept(first, 0x7F000003);
  EXPECT_EQ(host_.notes, std::vector<Note>{Note::kRefused});
  platform::closeSocket(client);
}

TEST_F(ListenersTest, Ipv6LoopbackIsHeldTooAndServed) {
  const std::uint16_t port = freePort();
  std::string error;
  SocketHandle squatter = platform::listenOnLoopback6(port, 5, error);
  if (squatter == kNoSocket && error.empty()) {
    GTEST_SKIP() << "this system has no IPv6 loopback";
  }
  ASSERT_NE(squatter, kNoSocket) << error;
  Bridge& bridge = addBridge(port, 1124);
  listeners_.openListener(bridge);
  EXPECT_EQ(host_.errors, 1) << "another program holding [::1] at the port";
  EXPECT_EQ(bridge.listenSocket, kNoSocket) << "the 127.0.0.1 half is not kept alone";
  platform::closeSocket(squatter);

  host_ = RecordingHost{};
  bridge.enabled = 1;
  listeners_.openListener(bridge);
  ASSERT_NE(bridge.listenSocket6, kNoSocket);
  EXPECT_EQ(host_.watched.size(), 2u);
  platform::Connection client = platform::connectTcp("::1", port);
  ASSERT_NE(client.stream, nullptr);
  platform::WaitEntry entry{bridge.listenSocket6};
  ASSERT_EQ(platform::waitReadable({&entry, 1}, std::chrono::milliseconds(5000)).status,
            platform::WaitStatus::kReady);
  listeners_.acceptClient(bridge.acceptMessage);
  EXPECT_EQ(host_.notes, std::vector<Note>{Note::kAccepted});
  // The lock proves the relay running (and registered), so TearDown can
  // wait for its end.
  EXPECT_NE(testing::readUntil(client.stream->handle(), "|").find("$Lock"), std::string::npos);
  listeners_.closeListener(bridge);
  EXPECT_TRUE(host_.watched.empty());
  EXPECT_EQ(bridge.listenSocket6, kNoSocket);
}

}  // namespace
}  // namespace quayside
