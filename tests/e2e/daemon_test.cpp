// The daemon as a user runs it: its settings file, its listeners and the
// peers it refuses. None of these needs an IRC server.
#include "e2e/scripted_peers.h"
#include "e2e/servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>

namespace quayside::e2e {
namespace {

using testing::freePort;
using testing::LoopbackListener;

constexpr std::size_t kRecordSize = 1825;

// One settings record laid out by hand, so the daemon's reading of the file
// is checked against the format rather than against our own codec.
std::string record(std::uint8_t enabled, std::string_view server, std::string_view channel,
                   std::uint16_t port, std::uint8_t upstreamKind = 1) {
  std::string bytes(kRecordSize, '\0');
  bytes[0] = static_cast<char>(enabled);
  bytes.replace(1, std::min<std::size_t>(server.size(), 512), server.substr(0, 512));
  bytes.replace(513, std::min<std::size_t>(channel.size(), 256), channel.substr(0, 256));
  bytes[769] = static_cast<char>(port & 0xFF);
  bytes[770] = static_cast<char>(port >> 8);
  bytes[771] = static_cast<char>(upstreamKind);
  return bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DaemonTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto* daemon : started_) {
      checkDaemonAfterTest(*daemon);
    }
  }
  Daemon& start(const std::vector<std::string>& arguments) {
    daemons_.push_back(std::make_unique<Daemon>(arguments));
    started_.push_back(daemons_.back().get());
    return *daemons_.back();
  }

  TempDirectory directory_;

 private:
  std::vector<std::unique_ptr<Daemon>> daemons_;
  std::vector<Daemon*> started_;
};

TEST_F(DaemonTest, TakenPortIsReportedAndNothingOpenEndsTheDaemon) {
  LoopbackListener taken;  // held, so that the daemon finds its port taken
  Daemon& daemon = start({"--bridge", bridgeArgument(taken.port(), 6667, "#c")});
  EXPECT_EQ(daemon.process().waitForExit(), std::optional<int>(1)) << daemon.log();
  EXPECT_NE(daemon.log().find("Error opening port"), std::string::npos) << daemon.log();
}

TEST_F(DaemonTest, ClientOfAnUnreachableServerIsToldWhyBeforeTheClose) {
  const std::uint16_t port = freePort();
  const std::uint16_t ircPort = freePort();
  Daemon& daemon = start({"--bridge", bridgeArgument(port, ircPort, "#c")});
  ASSERT_TRUE(daemon.waitListening(port));
  NmdcClient client("bob");
  ASSERT_TRUE(client.connect(port));
  client.sendNick();
  const auto received = client.readUntilClosed();
  ASSERT_TRUE(received.has_value()) << "the connection stayed open";
  EXPECT_EQ(printable(*received),
            printable(std::string(kLock) + "*** Quayside could not connect to 127.0.0.1:" +
                      std::to_string(ircPort) + ": connection refused|"));
  EXPECT_TRUE(daemon.process().running());
}

TEST_F(DaemonTest, PeerOtherThanExactlyLoopbackOneIsRefused) {
  // A listener of our own stands in for the IRC server: a relay that is
  // created at all connects to it, which the refused peer must never cause.
  LoopbackListener server;
  const std::uint16_t port = freePort();
  Daemon& daemon = start({"--bridge", bridgeArgument(port, server.port(), "#c")});
  ASSERT_TRUE(daemon.waitListening(port));

  NmdcClient stranger("eve");
  ASSERT_TRUE(stranger.connect(port, 0x7F000002)) << "127.0.0.2 must be usable as a source";
  const auto received = stranger.readUntilClosed();
  ASSERT_TRUE(received.has_value()) << "a peer from 127.0.0.2 was kept";
  EXPECT_EQ(printable(*received), "");

  // The same Bridge still serves 127.0.0.1: its relay reaches the stand-in
  // server (which takes the connection in its backlog) and greets.
  NmdcClient local("bob");
  ASSERT_TRUE(local.connect(port));
  EXPECT_TRUE(local.greet());
}

TEST_F(DaemonTest, SettingsFileOpensEnabledBridgesAndIsNeverWritten) {
  const std::uint16_t enabledPort = freePort();
  const std::uint16_t disabledPort = freePort();
  const std::string path = directory_.file("quayside.dat");
  const std::string contents = record(1, "irc://127.0.0.1:1", "#open", enabledPort) +
                               record(0, "127.0.0.1:1", "#closed", disabledPort);
  writeFile(path, contents);

  Daemon& daemon = start({"--settings", path});
  ASSERT_TRUE(daemon.waitListening(enabledPort));
  NmdcClient closed("bob");
  EXPECT_FALSE(closed.connect(disabledPort)) << "a disabled Bridge was opened";
  EXPECT_EQ(daemon.process().signalAndWait(Daemon::stopSignal(), "stopping"),
            std::optional<int>(0));
  EXPECT_TRUE(readFile(path) == contents) << "the daemon changed its settings file";
}

TEST_F(DaemonTest, HostileSettingsFilesAreReadWithinTheirRecords) {
  const std::uint16_t port = freePort();
  struct Row {
    const char* breaks;
    std::string contents;
    bool listens;
  };
  const std::vector<Row> rows = {
      {"texts without a NUL are read past their fields",
       record(1, std::string(600, 'A'), std::string(300, 'C'), port), true},
      {"a trailing partial record loses the whole one before it",
       record(1, "127.0.0.1:1", "#c", port) + std::string(1000, '\x01'), true},
      {"a file shorter than a record is misread", std::string(1824, '\x01'), false},
      {"all-ones bytes crash the loader", std::string(kRecordSize * 2, '\xFF'), false},
  };
  for (const auto& row : rows) {
    const std::string path = directory_.file("hostile.dat");
    writeFile(path, row.contents);
    Daemon& daemon = start({"--settings", path});
    if (row.listens) {
      EXPECT_TRUE(daemon.waitListening(port)) << row.breaks;
      // The server text is 511 bytes at most: a 512th 'A' means an over-read.
      EXPECT_EQ(daemon.log().find(std::string(512, 'A')), std::string::npos) << row.breaks;
      EXPECT_EQ(daemon.log().find(std::string(256, 'C')), std::string::npos) << row.breaks;
      daemon.process().signal(Daemon::stopSignal());
    }
    auto code = daemon.process().waitForExit(std::chrono::seconds(1));
    if (!code) {
      daemon.process().signal(Daemon::stopSignal());
      code = daemon.process().waitForExit();
    }
    ASSERT_TRUE(code.has_value()) << row.breaks;
    EXPECT_LT(*code, 128) << row.breaks << ": killed by a signal\n" << daemon.log();
  }
}

}  // namespace
}  // namespace quayside::e2e
