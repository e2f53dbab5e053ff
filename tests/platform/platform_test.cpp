#include "platform/files.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/temp_directory.h"
#include "support/tls_peer.h"

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
// Old pointer qualifiers that windows.h still defines.
#undef near
#undef far
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

namespace quayside::platform {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// A fresh folder per test, removed afterwards.
class ReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    folder_ = fs::temp_directory_path() /
              ("quayside-platform-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(folder_);
    ASSERT_TRUE(fs::create_directory(folder_));
#else
    std::string pattern = (fs::temp_directory_path() / "quayside-platform-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
#endif
  }
  void TearDown() override {
    fs::remove_all(folder_);
  }

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
#ifdef _WIN32
      // Windows keeps no mode bits: the file is private through the folder's
      // permissions, and it must not be read-only.
      EXPECT_NE(fs::status(path).permissions() & fs::perms::owner_write, fs::perms::none);
#else
      EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
    } else {
      EXPECT_NE(result.error.find(": "), std::string::npos) << "the system's reason follows";
      EXPECT_EQ(
          static_cast<std::size_t>(std::distance(fs::recursive_directory_iterator(folder_), {})),
          entriesBefore);
    }
  }
}

TEST(PathTest, FolderAndNameJoinWithOneSeparatorOfTheSystem) {
  struct Case {
    const char* path;
    const char* folder;  // folderOf(path)
    const char* joined;  // joinPath(folder, "q.dat")
  };
#ifdef _WIN32
  const std::array<Case, 5> cases{{
      {"C:\\Users\\J\xc3\xbcrgen\\quayside.exe", "C:\\Users\\J\xc3\xbcrgen",
       "C:\\Users\\J\xc3\xbcrgen\\q.dat"},
      {"C:/a/b.exe", "C:/a", "C:/a\\q.dat"},
      {"C:\\b.exe", "C:\\", "C:\\q.dat"},
      {"C:b.exe", "C:", "C:q.dat"},
      {"b.exe", ".", ".\\q.dat"},
  }};
#else
  const std::array<Case, 3> cases{{
      {"/home/j/quayside", "/home/j", "/home/j/q.dat"},
      {"/quayside", "/", "/q.dat"},
      {"quayside", ".", "./q.dat"},
  }};
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(folderOf(c.path), c.folder);
    EXPECT_EQ(joinPath(c.folder, "q.dat"), c.joined);
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

#ifdef _WIN32
// A listener on ::1 at a port the OS chose; kNoSocket when IPv6 is missing.
SocketHandle listenOnIpv6Loopback(std::uint16_t& port) {
  SocketHandle fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  int length = sizeof address;
  if (fd == kNoSocket || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closeSocket(fd);
    return kNoSocket;
  }
  setBlocking(fd, false);
  port = ntohs(address.sin6_port);
  return fd;
}

// A non-blocking connect that is never waited for: it fills a backlog.
SocketHandle startConnect(std::uint16_t port) {
  SocketHandle fd = ::socket(AF_INET, SOCK_STREAM, 0);
  setBlocking(fd, false);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(kLoopback);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}
#else
// A listener on ::1 at a port the OS chose; kNoSocket when IPv6 is missing.
SocketHandle listenOnIpv6Loopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    SocketHandle failed = fd;
    closeSocket(failed);
    return kNoSocket;
  }
  setBlocking(fd, false);
  port = ntohs(address.sin6_port);
  return fd;
}

// A non-blocking connect that is never waited for: it fills a backlog.
SocketHandle startConnect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(kLoopback);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

#endif

TEST(ConnectTest, ReportsTheFailingStepOrGivesAPlainStream) {
  std::string error;
  SocketHandle listener = listenOn(kLoopback, 0, 4, error);
  ASSERT_NE(listener, kNoSocket) << error;
  std::uint16_t ipv6Port = 0;
  SocketHandle ipv6Listener = listenOnIpv6Loopback(ipv6Port);
  // A full backlog leaves the next connect unanswered, as a silent host does.
  SocketHandle full = listenOn(kLoopback, 0, 0, error);
  std::array<SocketHandle, 2> fillers{startConnect(boundPort(full)), startConnect(boundPort(full))};
  const struct {
    const char* name;
    std::string host;
    std::uint16_t port;
    SocketHandle listener;
    ConnectFailure failure;
    const char* address;
  } cases[] = {
      {"NameDoesNotResolve", "", boundPort(listener), kNoSocket, ConnectFailure::kNotResolved, ""},
      {"NobodyListens", "127.0.0.1", testing::freePort(), kNoSocket, ConnectFailure::kNotConnected,
       "127.0.0.1"},
      {"NoAnswerInTime", "127.0.0.1", boundPort(full), kNoSocket, ConnectFailure::kTimedOut,
       "127.0.0.1"},
      {"Connected", "127.0.0.1", boundPort(listener), listener, ConnectFailure::kNone, "127.0.0.1"},
      {"ConnectedOverIpv6", "::1", ipv6Port, ipv6Listener, ConnectFailure::kNone, "[::1]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.address == std::string("[::1]") && ipv6Listener == kNoSocket) {
      continue;  // no IPv6 on this machine
    }
    const auto start = std::chrono::steady_clock::now();
    Connection connection = connectTcp(c.host, c.port, milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(3000));
    EXPECT_EQ(connection.failure, c.failure);
    EXPECT_EQ(connection.stream != nullptr, c.failure == ConnectFailure::kNone);
    EXPECT_EQ(connection.error.empty(), c.failure == ConnectFailure::kNone) << connection.error;
    EXPECT_EQ(connection.address, c.address);
    if (connection.stream) {
      ByteStream& stream = *connection.stream;
      SocketHandle peer = testing::acceptWithin(c.listener);
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
  for (SocketHandle& socket : fillers) {
    closeSocket(socket);
  }
  closeSocket(full);
  closeSocket(ipv6Listener);
  closeSocket(listener);
}

#if QUAYSIDE_TEST_TLS_SERVER
// One TLS client start against an in-process TLS server on loopback, which
// presents `certificate`; the server's stream comes back in `server`.
TlsStart startAgainst(const testing::TestCertificate& certificate, const TlsPeer& peer,
                      std::unique_ptr<ByteStream>& server) {
  testing::LoopbackListener listener;
  Connection connection = connectTcp("127.0.0.1", listener.port());
  if (!connection.stream) {
    return {};
  }
  std::thread serving([&] { server = testing::acceptTls(listener.accept(), certificate); });
  TlsStart start = startTls(std::move(connection.stream), peer);
  serving.join();
  return start;
}

// Reads from a client stream until `size` bytes came, as the relay loop does.
std::string receiveAll(ByteStream& stream, std::size_t size, std::span<char> area) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + testing::kReadTimeout;
  while (received.size() < size && std::chrono::steady_clock::now() < deadline) {
    std::array<WaitEntry, 1> entry{{{stream.handle(), false}}};
    if (!stream.hasBufferedInput()) {
      waitReadable(entry, milliseconds(100));
    }
    const long count = stream.receiveSome(area);
    if (count == 0 || count == -1) {
      break;
    }
    if (count > 0) {
      received.append(area.data(), static_cast<std::size_t>(count));
    }
  }
  return received;
}

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    authority_ = testing::makeAuthority();
    std::ofstream(directory_.file("ca.pem")) << authority_.certificatePem;
    // The trust store is the test's own authority alone.
    ::setenv("SSL_CERT_FILE", directory_.file("ca.pem").c_str(), 1);
    ::setenv("SSL_CERT_DIR", directory_.path().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
  }

  testing::TempDirectory directory_;
  testing::TestCertificate authority_;
};

TEST_F(TlsTest, TrustsTheAuthorityOrAPinAndSaysWhyNotOtherwise) {
  const testing::TestCertificate selfSigned = testing::makeServerCertificate({"localhost"});
  const auto issued = [&](const std::vector<std::string>& names,
                          const std::vector<std::string>& ips = {}) {
    return testing::makeServerCertificate(names, ips, &authority_);
  };
  const struct {
    const char* name;
    testing::TestCertificate certificate;
    std::string host;
    std::string pin;  // "self": the self-signed certificate's fingerprint
    TlsFailure failure;
  } cases[] = {
      {"IssuedForTheName", issued({"localhost"}), "localhost", "", TlsFailure::kNone},
      {"IssuedForTheAddress", issued({}, {"127.0.0.1"}), "127.0.0.1", "", TlsFailure::kNone},
      {"WildcardName", issued({"*.quayside.test"}), "irc.quayside.test", "", TlsFailure::kNone},
      {"SelfSigned", selfSigned, "localhost", "", TlsFailure::kUntrusted},
      {"PinnedTrustedWhateverItsName", selfSigned, "irc.example.org", "self", TlsFailure::kNone},
      {"AnotherPinStillVerifies", selfSigned, "localhost", std::string(64, 'a'),
       TlsFailure::kUntrusted},
      {"ForAnotherName", issued({"localhost"}), "irc.example.org", "", TlsFailure::kWrongHost},
      {"ForAnotherAddress", issued({}, {"127.0.0.2"}), "127.0.0.1", "", TlsFailure::kWrongHost},
      {"NulInTheName", issued({std::string("localhost\0.evil.test", 20)}), "localhost", "",
       TlsFailure::kWrongHost},
      {"WildcardCoversOneLabelOnly", issued({"*.test"}), "irc.quayside.test", "",
       TlsFailure::kWrongHost},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<ByteStream> server;
    TlsStart start = startAgainst(
        c.certificate, {c.host, c.pin == "self" ? selfSigned.fingerprint : c.pin}, server);
    EXPECT_EQ(start.failure, c.failure) << start.error;
    EXPECT_EQ(start.fingerprint, c.certificate.fingerprint) << "the caller may offer to trust it";
    EXPECT_EQ(start.stream != nullptr, c.failure == TlsFailure::kNone);
    EXPECT_EQ(start.error.empty(), c.failure == TlsFailure::kNone) << start.error;
    if (!start.stream || !server) {
      continue;
    }
    // Bytes both ways; a large block comes in records bigger than the
    // receive area, so some wait decrypted inside the stream.
    ASSERT_TRUE(start.stream->sendAll("NICK bob\r\n"));
    std::array<char, 512> area{};
    EXPECT_EQ(receiveAll(*server, 10, area), "NICK bob\r\n");
    const std::string block(100000, 'x');
    ASSERT_TRUE(server->sendAll(block));
    EXPECT_EQ(receiveAll(*start.stream, block.size(), area).size(), block.size());
    server->close();
    EXPECT_EQ(receiveAll(*start.stream, 1, area), "") << "the close is seen";
    EXPECT_EQ(start.stream->receiveSome(area), 0);
  }
}

TEST_F(TlsTest, SendsToAPeerThatStopsReadingGiveUpAtTheLimit) {
  const testing::TestCertificate certificate =
      testing::makeServerCertificate({"localhost"}, {}, &authority_);
  for (const bool tls : {false, true}) {
    // A peer that takes a few bytes now and then must not stretch the limit.
    for (const bool trickles : {false, true}) {
      SCOPED_TRACE(std::string(tls ? "TLS" : "plain TCP") + (trickles ? ", trickling" : ""));
      testing::LoopbackListener listener;
      std::unique_ptr<ByteStream> server;
      std::unique_ptr<ByteStream> client;
      SocketHandle accepted = kNoSocket;
      if (tls) {
        client = startAgainst(certificate, {"localhost", ""}, server).stream;
      } else {
        client = connectTcp("127.0.0.1", listener.port()).stream;
        accepted = listener.accept();
      }
      ASSERT_NE(client, nullptr);
      std::atomic<bool> done = false;
      std::thread reader([&] {
        std::vector<char> bytes(65536);
        while (trickles && !done) {
          std::this_thread::sleep_for(milliseconds(50));
          if (tls) {
            server->receiveSome(bytes);
          } else {
            receiveSome(accepted, bytes.data(), bytes.size());
          }
        }
      });
      // A trickling peer takes the 4 MB in seconds, each call's wait ending
      // with some bytes taken: only a limit on the whole send ends it.
      client->setSendLimit(milliseconds(trickles ? 300 : 100));
      const std::string block(trickles ? 4'000'000 : 100'000, 'x');
      SendResult sent;
      for (int i = 0; i < (trickles ? 3 : 10000) && sent; ++i) {
        sent = client->sendAll(block);
      }
      EXPECT_TRUE(sent.timedOut());
      done = true;
      reader.join();
      closeSocket(accepted);
    }
  }
}

#else
// Windows: the trust store is the system's own, which tests do not change,
// and there is no TLS server side (tls_peer.h needs OpenSSL).
class TlsTest : public ::testing::Test {};
#endif

TEST_F(TlsTest, PeersThatSpeakNoTlsEndTheHandshakeInTime) {
  const struct {
    const char* name;
    std::string sent;  // before the peer goes quiet
    bool closes;
    TlsFailure failure;
  } cases[] = {
      {"PlainPortSaysNothing", "", false, TlsFailure::kTimedOut},
      {"PlainIrcGreeting", "NOTICE AUTH :*** Looking up your hostname\r\n", false,
       TlsFailure::kFailed},
      {"RecordHeaderThenSilence", "\x16\x03\x03\x40\x00", false, TlsFailure::kTimedOut},
      {"GarbageRecords", std::string(4096, '\x17'), false, TlsFailure::kFailed},
      {"ClosesAtOnce", "", true, TlsFailure::kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::LoopbackListener listener;
    Connection connection = connectTcp("127.0.0.1", listener.port());
    ASSERT_NE(connection.stream, nullptr);
    SocketHandle peer = listener.accept();
    ASSERT_TRUE(c.sent.empty() || sendAll(peer, c.sent));
    if (c.closes) {
      closeSocket(peer);
    }
    const auto start = std::chrono::steady_clock::now();
    const TlsStart tls =
        startTls(std::move(connection.stream), {"localhost", ""}, milliseconds(300));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(tls.failure, c.failure) << tls.error;
    EXPECT_FALSE(tls.error.empty());
    EXPECT_LT(took, milliseconds(2000));
    EXPECT_EQ(tls.stream, nullptr) << "never a plain-text fallback";
    closeSocket(peer);
  }
}

#ifdef _WIN32
// Ctrl+Break and Ctrl+C go to every process on the console, this one too.
TEST(StopChannelTest, EachConsoleEventWakesTheWaitAndIsNamed) {
  std::string error;
  const std::unique_ptr<StopChannel> stop = openStopChannel(error);
  ASSERT_NE(stop, nullptr) << error;
  ::AllocConsole();  // when run without one; fails harmlessly otherwise
  for (const auto& [event, name] :
       {std::pair{CTRL_BREAK_EVENT, "Ctrl+Break"}, std::pair{CTRL_C_EVENT, "Ctrl+C"}}) {
    if (event == CTRL_BREAK_EVENT && testing::underWine()) {
      continue;  // wine does not deliver Ctrl+Break
    }
    if (::GenerateConsoleCtrlEvent(event, 0) == 0) {
      // DaemonProgram.ServesClientsAndStopsOnSignals gives its child a console.
      GTEST_SKIP() << "no console to send " << name << " on";
    }
    std::array<WaitEntry, 1> entries{{{stop->handle(), false}}};
    EXPECT_EQ(waitReadable(entries, milliseconds(5000)).status, WaitStatus::kReady);
    EXPECT_EQ(stop->takeReason(), name);
  }
  EXPECT_EQ(stop->takeReason(), "") << "nothing more was asked";
}
#else
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

#endif

// A raised Wakeup stays readable for every wait until lowered, however often
// it was raised; a lowered one must not wake the relays that wait on it.
TEST(WakeupTest, ReadableFromRaiseUntilLower) {
  std::string error;
  const std::unique_ptr<Wakeup> wakeup = openWakeup(error);
  ASSERT_NE(wakeup, nullptr) << error;
  const auto readable = [&wakeup] {
    std::array<WaitEntry, 1> entries{{{wakeup->handle(), false}}};
    return waitReadable(entries, milliseconds(50)).status == WaitStatus::kReady &&
           entries[0].readable;
  };
  EXPECT_FALSE(readable()) << "opened lowered";
  for (int raises = 1; raises <= 3; ++raises) {
    for (int i = 0; i < raises; ++i) {
      wakeup->raise();
    }
    EXPECT_TRUE(readable()) << raises;
    EXPECT_TRUE(readable()) << raises << ": a wait takes nothing away";
    wakeup->lower();
    EXPECT_FALSE(readable()) << raises;
  }
}

}  // namespace
}  // namespace quayside::platform
