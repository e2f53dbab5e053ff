#include "platform/files.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "platform/wait.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

namespace quayside::platform {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// A fresh folder per test, removed afterwards.
class ReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quayside-platform-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path folder_;
};

TEST_F(ReplaceTest, EachFailureSaysWhichStepAndLeavesNoTemporary) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> prepare;
    const char* file;   // relative to the folder
    const char* error;  // how the reason starts; empty when the replace works
  };
  const auto blocker = [](const fs::path& folder) { std::ofstream(folder / "blocker") << "x"; };
  const Case cases[] = {
      {"NewFileInMissingFolders", [](const fs::path&) {}, "a/b/new.dat", ""},
      {"FolderInTheFilesPlace",
       [](const fs::path& folder) { fs::create_directory(folder / "taken.dat"); }, "taken.dat",
       "cannot replace "},
      {"FileInTheFoldersPlace", blocker, "blocker/new.dat", "cannot create a file in "},
      {"FileInAParentFoldersPlace", blocker, "blocker/sub/new.dat", "cannot create "},
  };
  const std::array<std::byte, 3> bytes{std::byte{1}, std::byte{0}, std::byte{2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder_);
    fs::create_directory(folder_);
    c.prepare(folder_);
    const std::size_t entriesBefore =
        static_cast<std::size_t>(std::distance(fs::recursive_directory_iterator(folder_), {}));
    const std::string path = (folder_ / c.file).string();
    const ReplaceResult result = replaceFileDurably(path, bytes);
    const std::string expected = c.error;
    EXPECT_EQ(result.ok, expected.empty());
    EXPECT_EQ(result.error.substr(0, expected.size()), expected) << result.error;
    if (result.ok) {
      EXPECT_EQ(readRegularFile(path), std::vector<std::byte>(bytes.begin(), bytes.end()));
      EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    } else {
      EXPECT_NE(result.error.find(": "), std::string::npos) << "the system's reason follows";
      EXPECT_EQ(
          static_cast<std::size_t>(std::distance(fs::recursive_directory_iterator(folder_), {})),
          entriesBefore);
    }
  }
}

// Two connected loopback pairs: `near` ends are waited on, `far` ends act.
struct LoopbackPairs {
  LoopbackPairs() {
    std::string error;
    listener = listenOn(kLoopback, 0, 4, error);
    for (std::size_t i = 0; i < 2; ++i) {
      far[i] = testing::connectLoopback(boundPort(listener));
      near[i] = testing::acceptWithin(listener);
    }
  }
  ~LoopbackPairs() {
    for (std::size_t i = 0; i < 2; ++i) {
      closeSocket(near[i]);
      closeSocket(far[i]);
    }
    closeSocket(listener);
  }

  SocketHandle listener = kNoSocket;
  std::array<SocketHandle, 2> near{kNoSocket, kNoSocket};
  std::array<SocketHandle, 2> far{kNoSocket, kNoSocket};
};

TEST(WaitTest, ReportsWhichHandlesAreReadableOrThatTheTimeRanOut) {
  struct Case {
    const char* name;
    bool sendOnFirst;
    bool closeSecond;
    bool firstReadable;
    bool secondReadable;
    WaitStatus status;
  };
  const Case cases[] = {
      {"NothingTimesOut", false, false, false, false, WaitStatus::kTimedOut},
      {"DataOnlyOnTheFirst", true, false, true, false, WaitStatus::kReady},
      {"PeerClosedCountsAsReadable", false, true, false, true, WaitStatus::kReady},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPairs pairs;
    ASSERT_NE(pairs.near[1], kNoSocket);
    if (c.sendOnFirst) {
      ASSERT_TRUE(sendAll(pairs.far[0], "x"));
    }
    if (c.closeSecond) {
      closeSocket(pairs.far[1]);
    }
    // A kNoSocket entry is never readable and does not disturb the others.
    std::array<WaitEntry, 3> entries{
        {{pairs.near[0], true}, {kNoSocket, true}, {pairs.near[1], true}}};
    const auto start = std::chrono::steady_clock::now();
    const WaitResult result = waitReadable(entries, milliseconds(50));
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(entries[0].readable, c.firstReadable);
    EXPECT_FALSE(entries[1].readable);
    EXPECT_EQ(entries[2].readable, c.secondReadable);
    if (c.status == WaitStatus::kTimedOut) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(50));
    }
  }
}

TEST(ConnectTest, ReportsTheFailingStepOrGivesAPlainStream) {
  std::string error;
  SocketHandle listener = listenOn(kLoopback, 0, 4, error);
  ASSERT_NE(listener, kNoSocket) << error;
  const struct {
    const char* name;
    std::string host;
    std::uint16_t port;
    ConnectFailure failure;
  } cases[] = {
      {"NameDoesNotResolve", "", boundPort(listener), ConnectFailure::kNotResolved},
      {"NobodyListens", "127.0.0.1", testing::freePort(), ConnectFailure::kNotConnected},
      {"Connected", "127.0.0.1", boundPort(listener), ConnectFailure::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Connection connection = connectTcp(c.host, c.port);
    EXPECT_EQ(connection.failure, c.failure);
    EXPECT_EQ(connection.stream != nullptr, c.failure == ConnectFailure::kNone);
    EXPECT_EQ(connection.error.empty(), c.failure != ConnectFailure::kNotConnected);
    if (connection.stream) {
      EXPECT_EQ(connection.address, kLoopback);
      ByteStream& stream = *connection.stream;
      SocketHandle peer = testing::acceptWithin(listener);
      ASSERT_TRUE(stream.sendAll("ping"));
      EXPECT_EQ(testing::readUntil(peer, "ping"), "ping");
      ASSERT_TRUE(sendAll(peer, "pong"));
      std::array<char, 8> into{};
      EXPECT_EQ(stream.receiveSome(into), 4);
      EXPECT_FALSE(stream.hasBufferedInput());
      stream.close();
      EXPECT_EQ(stream.handle(), kNoSocket);
      closeSocket(peer);
    }
  }
  closeSocket(listener);
}

TEST(StopChannelTest, EachStopSignalWakesTheWaitAndIsNamed) {
  std::string error;
  const std::unique_ptr<StopChannel> stop = openStopChannel(error);
  ASSERT_NE(stop, nullptr) << error;
  for (const auto& [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}}) {
    ASSERT_EQ(std::raise(signal), 0);
    std::array<WaitEntry, 1> entries{{{stop->handle(), false}}};
    EXPECT_EQ(waitReadable(entries, milliseconds(5000)).status, WaitStatus::kReady);
    EXPECT_EQ(stop->takeReason(), name);
  }
  EXPECT_EQ(stop->takeReason(), "") << "nothing more was asked";
}

}  // namespace
}  // namespace quayside::platform
