#include "bridge/daemon.h"

#include "core/version.h"
#include "platform/net.h"
#include "platform/password_hash.h"
#include "support/child_process.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quayside {
namespace {

// 512 characters of server text: one more than its field holds.
const std::string kTooLongServer = "4111=" + std::string(512, 'a') + "/#c";

// 16 rooms of 50 bytes, a fingerprint and a password's hash: more option
// text than a record holds.
const std::string kOversizedOptions = [] {
  std::string text = "1=a/#b,fingerprint=" + std::string(64, 'a') +
                     ",password-hash=pbkdf2-sha256:100000:AQIDBAUGBwgJCgsMDQ4PEA==:"
                     "WlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlo=";
  for (int room = 10; room < 26; ++room) {
    text += ",room=#" + std::to_string(room) + std::string(47, 'r');
  }
  return text;
}();

TEST(DaemonArguments, TableOfCommandLines) {
  struct Case {
    const char* name;
    std::vector<std::string_view> arguments;
    bool ok;
    bool readSettings = false;
    std::size_t bridges = 0;
    bool help = false;
    bool version = false;
    const char* refusal = "";  // words the error holds
  };
  const Case cases[] = {
      {"NoOptionsReadTheDefaultFile", {}, true, true},
      {"SettingsAlone", {"--settings", "x.dat"}, true, true},
      {"SettingsAndBridges", {"--settings=x.dat", "--bridge=1=a/#b"}, true, true, 1},
      {"BridgesAloneReadNoFile", {"--bridge", "1=a/#b", "--bridge", "2=c/#d"}, true, false, 2},
      {"BridgeWithoutValue", {"--bridge"}, false},
      {"BridgeWithoutPort", {"--bridge", "irc.example.org/#c"}, false},
      {"PortZero", {"--bridge", "0=irc.example.org/#c"}, false},
      {"PortTooLarge", {"--bridge", "65536=irc.example.org/#c"}, false},
      {"NoChannel", {"--bridge", "4111=irc.example.org"}, false},
      {"EmptyChannel", {"--bridge", "4111=irc.example.org/"}, false},
      {"ServerTooLong", {"--bridge", kTooLongServer}, false},
      {"Options", {"--bridge", "1=a/#b,login=sasl,pace=off"}, true, false, 1},
      {"UnknownBridgeOption", {"--bridge", "1=a/#b,colour=red"}, false},
      {"BadOptionValue", {"--bridge", "1=a/#b,pace=maybe"}, false},
      {"CharsetUnknownToTheSystem", {"--bridge", "1=a/#b,charset=no-such-set"}, false},
      {"CodePageCharset", {"--bridge", "1=a/#b,charset=windows-1251"}, true, false, 1},
      {"CommaWithoutOption", {"--bridge", "1=a/#b,"}, false},
      {"MaxSessions", {"--bridge", "1=a/#b,max-sessions=1000"}, true, false, 1},
      {"MaxSessionsOutOfRange", {"--bridge", "1=a/#b,max-sessions=0"}, false},
      {"Linger", {"--bridge", "1=a/#b,linger=30"}, true, false, 1},
      {"PasswordWithAPipe", {"--bridge", "1=a/#b,password=a|b"}, false},
      {"DamagedPasswordHash", {"--bridge", "1=a/#b,password-hash=x"}, false},
      {"OptionsWithoutChannel", {"--bridge", "1=a/,pace=off"}, false},
      {"Rooms",
       {"--bridge", "4111=ircs://irc.example.org/#main,room=#help,room=#dev"},
       true,
       false,
       1},
      {"RoomThatIsTheChannelAsJoined",
       {"--bridge", "1=a/[Main],room=#{main}"},
       false,
       false,
       0,
       false,
       false,
       "--bridge room \"#{main}\" is the Bridge's own channel"},
      {"OptionsLongerThanARecordHolds",
       {"--bridge", kOversizedOptions},
       false,
       false,
       0,
       false,
       false,
       "--bridge the options take 1077 bytes stored, more than 1014: fewer or shorter rooms"},
      {"SettingsTwice", {"--settings", "a", "--settings", "b"}, false},
      {"UnknownOption", {"--verbose"}, false},
      {"StrayWord", {"quayside.dat"}, false},
      {"Help", {"--help"}, true, true, 0, true},
      {"ShortHelp", {"-h"}, true, true, 0, true},
      {"Version", {"--version"}, true, true, 0, false, true},
      {"VersionWithAValue", {"--version=1"}, false},
  };
  for (const Case& c : cases) {
    const DaemonArguments parsed = parseDaemonArguments(c.arguments);
    EXPECT_EQ(parsed.ok, c.ok) << c.name;
    EXPECT_EQ(parsed.error.empty(), c.ok) << c.name;
    EXPECT_NE(parsed.error.find(c.refusal), std::string::npos) << c.name << ": " << parsed.error;
    if (c.ok) {
      EXPECT_EQ(parsed.readSettings, c.readSettings) << c.name;
      EXPECT_EQ(parsed.bridges.size(), c.bridges) << c.name;
      EXPECT_EQ(parsed.help, c.help) << c.name;
      EXPECT_EQ(parsed.version, c.version) << c.name;
    }
  }
}

TEST(DaemonArguments, BridgeSplitsAtTheLastSlash) {
  const std::vector<std::string_view> arguments{"--bridge",
                                                "4111=irc://irc.example.org:6667/#chat"};
  const DaemonArguments parsed = parseDaemonArguments(arguments);
  ASSERT_EQ(parsed.bridges.size(), 1u);
  const Bridge& bridge = parsed.bridges.front();
  EXPECT_EQ(fieldText(bridge.server), "irc://irc.example.org:6667");
  EXPECT_EQ(fieldText(bridge.channel), "#chat");
  EXPECT_EQ(bridge.localPort, 4111);
  EXPECT_EQ(bridge.upstreamKind, 1);
  EXPECT_EQ(bridge.enabled, 1);
  EXPECT_EQ(formatOptions(bridge.options), "");

  const std::vector<std::string_view> withOptions{"--bridge",
                                                  "4111=irc.example.org/#chat,pace=off"};
  const DaemonArguments optioned = parseDaemonArguments(withOptions);
  ASSERT_EQ(optioned.bridges.size(), 1u);
  EXPECT_EQ(fieldText(optioned.bridges.front().channel), "#chat");
  EXPECT_EQ(formatOptions(optioned.bridges.front().options), "pace=off");

  // A password is hashed as the arguments are read; only the hash is kept.
  const std::vector<std::string_view> withPassword{"--bridge",
                                                   "4111=irc.example.org/#chat,password=s3cret"};
  const DaemonArguments guarded = parseDaemonArguments(withPassword);
  ASSERT_EQ(guarded.bridges.size(), 1u) << guarded.error;
  const SessionOptions& options = guarded.bridges.front().options;
  EXPECT_EQ(options.password.iterations, platform::kPasswordIterations);
  EXPECT_EQ(formatOptions(options).find("s3cret"), std::string::npos);
  EXPECT_TRUE(platform::localPasswordMatches(options, "s3cret"));
  EXPECT_FALSE(platform::localPasswordMatches(options, "s3cre"));
}

// Every line begins with the local time; every session line names the
// Bridge's port, the DC nick (and the IRC nick when it differs) and the
// client's port; control bytes cannot forge a line.
TEST(DaemonLog, LinesSayWhenAndWhoseSessionAndCannotBeForged) {
  struct Row {
    const char* nick;
    const char* ircNick;
    std::function<void(DaemonLog&, const Relay&)> event;
    std::string line;
  };
  const std::vector<Row> rows = {
      {"", "",
       [](DaemonLog& log, const Relay&) { log.line("channel #a\r\nquayside-daemon: fake"); },
       "channel #a??quayside-daemon: fake"},
      {"", "", [](DaemonLog& log, const Relay& r) { log.relayEnded(r, "client closed"); },
       "session 4111 from :51022 ended: client closed"},
      {"alice", "alice_",
       [](DaemonLog& log, const Relay& r) { log.relayEnded(r, "client closed the connection"); },
       "session 4111/alice (alice_) from :51022 ended: client closed the connection"},
      {"alice", "alice", [](DaemonLog& log, const Relay& r) { log.relayNote(r, "CTCP refused"); },
       "session 4111/alice from :51022: CTCP refused"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::string written;
    DaemonLog log([&written](std::string_view line) { written += line; },
                  [] { return std::string("2026-12-08 18:02:11"); });
    auto relay = std::make_unique<Relay>();
    relay->bridgePort = 4111;
    relay->clientPort = 51022;
    relay->nick.assign(row.nick);
    relay->ircNick.assign(row.ircNick);
    row.event(log, *relay);
    EXPECT_EQ(written, "2026-12-08 18:02:11 quayside-daemon: " + row.line + "\n");
  }
}

#ifdef QUAYSIDE_DAEMON_PATH

using testing::ChildProcess;

TEST(DaemonProgram, BadArgumentsExitTwoAndNothingToOpenExitsOne) {
  ChildProcess badArguments(QUAYSIDE_DAEMON_PATH, {"--bridge", "nonsense"});
  EXPECT_TRUE(badArguments.waitForOutput("usage: quayside-daemon [--settings FILE]"));
  EXPECT_EQ(badArguments.waitForExit(), std::optional<int>(2));
  ChildProcess nothing(QUAYSIDE_DAEMON_PATH, {"--settings", "/nonexistent/quayside.dat"});
  EXPECT_TRUE(nothing.waitForOutput("no Bridge could be opened"));
  EXPECT_EQ(nothing.waitForExit(), std::optional<int>(1));
}

TEST(DaemonProgram, HelpAndVersionAnswerAndExitZero) {
  ChildProcess version(QUAYSIDE_DAEMON_PATH, {"--version"});
  // Windows' text-mode standard output ends lines in CR LF.
  EXPECT_TRUE(version.waitForOutput("quayside-daemon " QUAYSIDE_VERSION_TEXT));
  EXPECT_TRUE(version.waitForOutput("TLS: "));
  EXPECT_EQ(version.waitForExit(), std::optional<int>(0));
  // The settings file named is the one the daemon would read.
  ChildProcess help(QUAYSIDE_DAEMON_PATH, {"--settings", "/nonexistent/q.dat", "--help"});
  EXPECT_TRUE(help.waitForOutput("Settings file: /nonexistent/q.dat"));
  EXPECT_EQ(help.waitForExit(), std::optional<int>(0));
  EXPECT_NE(help.output().find("fingerprint="), std::string::npos);
}

TEST(DaemonProgram, ServesClientsAndStopsOnSignals) {
  for (const int stopSignal : {SIGTERM, SIGINT}) {
#ifdef _WIN32
    // ChildProcess sends Ctrl+Break for SIGTERM, which wine does not deliver.
    if (stopSignal == SIGTERM && testing::underWine()) {
      continue;
    }
#endif
    const std::string port = std::to_string(testing::freePort());
    const std::string refusing = "127.0.0.1:" + std::to_string(testing::freePort());
    const std::string bridge = port + "=" + refusing + "/#chat";
    // A scripted IRC server for a session that is running when the stop comes.
    testing::LoopbackListener ircServer(5);
    const std::uint16_t sessionPort = testing::freePort();
    const std::string served =
        std::to_string(sessionPort) + "=127.0.0.1:" + std::to_string(ircServer.port()) + "/#chat";
    // The second Bridge on the same port fails alone; the daemon runs on.
    ChildProcess daemon(QUAYSIDE_DAEMON_PATH,
                        {"--bridge", bridge, "--bridge", bridge, "--bridge", served});
    EXPECT_TRUE(daemon.waitForOutput("listening on 127.0.0.1:" + port + " server " + refusing +
                                     " channel #chat\n"));
    EXPECT_TRUE(daemon.waitForOutput("Error opening port " + port + ": "));
    SocketHandle client = testing::connectLoopback(static_cast<std::uint16_t>(std::stoi(port)));
    EXPECT_TRUE(platform::sendAll(client, "$ValidateNick me|"));
    EXPECT_TRUE(daemon.waitForOutput(" quayside-daemon: session " + port + " from :"));
    EXPECT_TRUE(daemon.waitForOutput("session " + port + "/me from :"));
    EXPECT_TRUE(daemon.waitForOutput(" ended: cannot connect to the server"));
    platform::closeSocket(client);

    SocketHandle session = testing::connectLoopback(sessionPort);
    ASSERT_TRUE(platform::sendAll(session, "$ValidateNick me|"));
    SocketHandle server = ircServer.accept();
    ASSERT_NE(server, kNoSocket);
    ASSERT_EQ(testing::readUntil(server, "NICK me\r\n"), "CAP LS 302\r\nNICK me\r\n");
    const std::string greeting = std::string(kLockString) + "$Hello me|";
    ASSERT_EQ(testing::readUntil(session, greeting), greeting);
    // The session waits for its client to close after telling it: the stop
    // is waited for on a thread of its own while the test plays that client.
    std::future<std::optional<int>> exited = std::async(
        std::launch::async, [&] { return daemon.signalAndWait(stopSignal, "stopping"); });
    std::string toServer;
    EXPECT_TRUE(testing::waitForClose(server, toServer));
    EXPECT_EQ(toServer, "QUIT :Quayside stopped\r\n") << "IRC sees a lost link, not a quit";
    std::string toClient;
    EXPECT_TRUE(testing::waitForClose(session, toClient));
    EXPECT_EQ(toClient, "*** Quayside stopped|");
    platform::closeSocket(session);
    platform::closeSocket(server);
    EXPECT_EQ(exited.get(), std::optional<int>(0));
#ifdef _WIN32
    // ChildProcess sends Ctrl+C for SIGINT and Ctrl+Break for SIGTERM.
    EXPECT_TRUE(daemon.waitForOutput(stopSignal == SIGTERM ? "stopping on Ctrl+Break"
                                                           : "stopping on Ctrl+C"));
#else
    EXPECT_TRUE(
        daemon.waitForOutput(stopSignal == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT"));
#endif
  }
}

#endif

}  // namespace
}  // namespace quayside
