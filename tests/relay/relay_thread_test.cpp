#include "relay/relay_thread.h"

#include "platform/net.h"
#include "recording_translator.h"
#include "relay/registry.h"
#include "relay_fixture.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace quayside {
namespace {

using testing::connectLoopback;
using testing::readUntil;
using testing::RecordingTranslator;
using testing::waitForClose;

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
    hubClient_ = connectLoopback(clientListener_.port());
    ASSERT_NE(hubClient_, kNoSocket);
    relay_->clientSocket = clientListener_.accept();
    ASSERT_NE(relay_->clientSocket, kNoSocket);
    thread_ = std::thread([this] {
      runRelay(*relay_, translator_);
      ended_ = true;
    });
  }

  void startConnected() {
    start(serverText());
    ircServer_ = serverListener_.accept();
    ASSERT_NE(ircServer_, kNoSocket);
    ASSERT_EQ(readUntil(hubClient_, std::string(kLockString)), kLockString);
  }

  testing::LoopbackListener clientListener_{5};
  testing::LoopbackListener serverListener_{5};
  SocketHandle hubClient_ = kNoSocket;
  SocketHandle ircServer_ = kNoSocket;
  std::unique_ptr<Relay> relay_;
  RecordingTranslator translator_;
  std::thread thread_;
  std::atomic<bool> ended_{false};
};

TEST_F(RelayThreadTest, ClosesTheClientWithoutAByteWhenTheServerCannotBeReached) {
  const std::uint16_t closedPort = static_cast<std::uint16_t>(clientListener_.port() ^ 1);
  for (const std::string& text : {std::string("127.0.0.1:abc"), std::string("no-such-host.invalid"),
                                  "127.0.0.1:" + std::to_string(closedPort)}) {
    SCOPED_TRACE(text);
    start(text);
    std::string received;
    EXPECT_TRUE(waitForClose(hubClient_, received, std::chrono::seconds(20)));
    EXPECT_EQ(received, "");
    thread_.join();
    platform::closeSocket(hubClient_);
    EXPECT_EQ(registeredRelayCount(), 0u);
  }
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
  thread_.join();
  EXPECT_EQ(translator_.commands, (std::vector<std::string>{"$A 1", "$B 2", "$C 3"}));
  EXPECT_EQ(translator_.lines, (std::vector<std::string>{"PING :a", "NOTICE x"}));
  EXPECT_EQ(relay_->serverPort, serverListener_.port());
  EXPECT_EQ(relay_->clientSocket, kNoSocket);
  EXPECT_EQ(relay_->serverSocket, kNoSocket);
}

TEST_F(RelayThreadTest, IsRegisteredWhileItRuns) {
  startConnected();
  EXPECT_EQ(registeredRelayCount(), 1u);
  platform::closeSocket(ircServer_);
  std::string rest;
  EXPECT_TRUE(waitForClose(hubClient_, rest)) << "the server's close ends the client connection";
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

TEST_F(RelayThreadTest, ClientThatLeavesBeforeTheConnectEndsTheRelay) {
  start(serverText());
  platform::closeSocket(hubClient_);
  ircServer_ = serverListener_.accept();
  ASSERT_NE(ircServer_, kNoSocket);
  std::string rest;
  EXPECT_TRUE(waitForClose(ircServer_, rest));
  thread_.join();
}

TEST(StartRelay, OwnsAndFreesTheRelay) {
  // Under AddressSanitizer a leak or a use after free here fails the test.
  testing::LoopbackListener listener(5);
  ASSERT_TRUE(listener.valid());
  SocketHandle client = connectLoopback(listener.port());
  auto relay = testing::makeRelay();
  relay->serverText.assign("127.0.0.1:abc");
  relay->clientSocket = listener.accept();
  ASSERT_TRUE(startRelay(std::move(relay)));
  std::string rest;
  EXPECT_TRUE(waitForClose(client, rest));
  for (int i = 0; i < 500 && registeredRelayCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(registeredRelayCount(), 0u);
  platform::closeSocket(client);
}

}  // namespace
}  // namespace quayside
