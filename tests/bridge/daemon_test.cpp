#include "bridge/daemon.h"

#include "platform/net.h"
#include "socket_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace quayside {
namespace {

// 512 characters of server text: one more than its field holds.
const std::string kTooLongServer = "4111=" + std::string(512, 'a') + "/#c";

TEST(DaemonArguments, TableOfCommandLines) {
  struct Case {
    const char* name;
    std::vector<std::string_view> arguments;
    bool ok;
    bool readSettings = false;
    std::size_t bridges = 0;
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
      {"SettingsTwice", {"--settings", "a", "--settings", "b"}, false},
      {"UnknownOption", {"--verbose"}, false},
      {"StrayWord", {"quayside.dat"}, false},
  };
  for (const Case& c : cases) {
    const DaemonArguments parsed = parseDaemonArguments(c.arguments);
    EXPECT_EQ(parsed.ok, c.ok) << c.name;
    EXPECT_EQ(parsed.error.empty(), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(parsed.readSettings, c.readSettings) << c.name;
      EXPECT_EQ(parsed.bridges.size(), c.bridges) << c.name;
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
}

TEST(DaemonLog, ControlBytesCannotForgeLines) {
  std::string written;
  DaemonLog log([&written](std::string_view line) { written += line; });
  log.line("channel #a\r\nquayside-daemon: fake");
  EXPECT_EQ(written, "quayside-daemon: channel #a??quayside-daemon: fake\n");
}

#ifdef QUAYSIDE_DAEMON_PATH

// The daemon program, run with its standard error captured.
class DaemonProcess {
 public:
  explicit DaemonProcess(std::vector<std::string> arguments) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    arguments.insert(arguments.begin(), QUAYSIDE_DAEMON_PATH);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    errors_ = ends[0];
  }

  ~DaemonProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(errors_);
  }

  // True once `text` has appeared on standard error, false after five seconds.
  bool said(std::string_view text) {
    for (int i = 0; i < 50 && stderr_.find(text) == std::string::npos; ++i) {
      pollfd fd{errors_, POLLIN, 0};
      char buffer[4096];
      const ssize_t count = ::poll(&fd, 1, 100) == 1 ? ::read(errors_, buffer, sizeof buffer) : 0;
      stderr_.append(buffer, static_cast<std::size_t>(count > 0 ? count : 0));
    }
    return stderr_.find(text) != std::string::npos;
  }

  // The exit code, or -1 when the program does not exit within five seconds.
  int exitCode(int signal = 0) {
    if (signal != 0) {
      ::kill(pid_, signal);
    }
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(10000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int errors_ = -1;
  std::string stderr_;
};

std::string freePort() {
  std::string error;
  SocketHandle probe = platform::listenOn(platform::kLoopback, 0, 1, error);
  const std::uint16_t port = platform::boundPort(probe);
  platform::closeSocket(probe);
  return std::to_string(port);
}

TEST(DaemonProgram, BadArgumentsExitTwoAndNothingToOpenExitsOne) {
  DaemonProcess badArguments({"--bridge", "nonsense"});
  EXPECT_TRUE(badArguments.said("usage: quayside-daemon [--settings FILE]"));
  EXPECT_EQ(badArguments.exitCode(), 2);
  DaemonProcess nothing({"--settings", "/nonexistent/quayside.dat"});
  EXPECT_TRUE(nothing.said("no Bridge could be opened"));
  EXPECT_EQ(nothing.exitCode(), 1);
}

TEST(DaemonProgram, ServesClientsAndStopsOnSignals) {
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    const std::string port = freePort();
    const std::string refusing = "127.0.0.1:" + freePort();
    const std::string bridge = port + "=" + refusing + "/#chat";
    // The second Bridge on the same port fails alone; the daemon runs on.
    DaemonProcess daemon({"--bridge", bridge, "--bridge", bridge});
    EXPECT_TRUE(
        daemon.said("listening on 127.0.0.1:" + port + " server " + refusing + " channel #chat\n"));
    EXPECT_TRUE(daemon.said("Error opening port " + port + ": "));
    SocketHandle client = testing::connectLoopback(static_cast<std::uint16_t>(std::stoi(port)));
    EXPECT_TRUE(daemon.said("client accepted on port " + port + "\n"));
    EXPECT_TRUE(daemon.said("relay ended for " + refusing + " channel #chat: "));
    platform::closeSocket(client);
    EXPECT_EQ(daemon.exitCode(stopSignal), 0);
    EXPECT_TRUE(daemon.said(stopSignal == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT"));
  }
}

#endif

}  // namespace
}  // namespace quayside
