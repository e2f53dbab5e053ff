#include "e2e/servers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string_view>
#include <thread>
#include <vector>

namespace quayside::e2e {
namespace {

bool accepting(std::uint16_t port) {
  SocketHandle probe = testing::connectLoopback(port);
  const bool connected = probe != kNoSocket;
  platform::closeSocket(probe);
  return connected;
}

}  // namespace

std::string IrcServer::programPath() {
  if (const char* forced = std::getenv("QUAYSIDE_NGIRCD"); forced != nullptr && *forced != '\0') {
    return access(forced, X_OK) == 0 ? forced : "";
  }
  return testing::findProgram("ngircd");
}

IrcServer::IrcServer(int pingSeconds, const IrcServerOptions& options) {
  const std::string program = programPath();
  if (program.empty()) {
    return;
  }
  // The port is free when chosen but could be taken before ngircd binds it;
  // a few fresh tries make that race harmless.
  for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
    port_ = testing::freePort();
    const bool tls = !options.certificateFile.empty();
    tlsPort_ = tls ? testing::freePort() : 0;
    const std::string pidFile = directory_.file("ngircd.pid");
    {
      // Created world-writable: ngircd started as root writes it as "nobody".
      const int fd = open(pidFile.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fchmod(fd, 0666);
        close(fd);
      }
      std::ofstream config(directory_.file("ngircd.conf"));
      config << "[Global]\n"
             << "Name = " << kIrcServerName << "\n"
             << "Info = Quayside test server\n"
             << "Listen = 127.0.0.1" << (options.ipv6 ? ",::1" : "") << "\n"
             << "Ports = " << port_ << "\n"
             << "MotdPhrase = Quayside test server\n"
             << "PidFile = " << pidFile << "\n"
             << (options.password.empty() ? "" : "Password = " + options.password + "\n")
             << "[Limits]\n"
             << "MaxConnectionsIP = 0\n"
             << "MaxPenaltyTime = 0\n"
             << (options.maxNickLength == 0
                     ? ""
                     : "MaxNickLength = " + std::to_string(options.maxNickLength) + "\n")
             << "PingTimeout = " << pingSeconds << "\n"
             << "PongTimeout = " << pingSeconds << "\n"
             << "[Options]\n"
             << "PAM = no\n"
             << "Ident = no\n"
             << "DNS = no\n"
             << "OperCanUseMode = yes\n"
             << "IncludeDir = " << directory_.path() << "/conf.d\n"
             << "[Operator]\n"
             << "Name = " << kIrcOperatorName << "\n"
             << "Password = " << kIrcOperatorPassword << "\n";
      if (tls) {
        config << "[SSL]\n"
               << "CertFile = " << options.certificateFile << "\n"
               << "KeyFile = " << options.keyFile << "\n"
               << "Ports = " << tlsPort_ << "\n";
      }
    }
    process_ = std::make_unique<ChildProcess>(
        program, std::vector<std::string>{"-n", "-f", directory_.file("ngircd.conf")});
    const auto deadline = testing::Clock::now() + testing::kReadTimeout;
    while (testing::Clock::now() < deadline && process_->running()) {
      if (process_->output().find("Now listening") != std::string::npos && accepting(port_) &&
          (!tls || accepting(tlsPort_))) {
        started_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!started_) {
      process_->stop();
    }
  }
}

std::string IrcServer::startupLog() const {
  return process_ ? process_->output() : "(not run)";
}

namespace {

// QUAYSIDE_DAEMON_COMMAND: the words that start the daemon instead of the
// one built beside the tests, split at blanks ("wine /x/quayside-daemon.exe"
// runs the Windows build). QUAYSIDE_DAEMON_ROOT is put before absolute path
// arguments ("Z:" for wine, whose Z: drive is the POSIX root).
std::vector<std::string> daemonCommand() {
  std::vector<std::string> words;
  const char* command = std::getenv("QUAYSIDE_DAEMON_COMMAND");
  std::string_view rest = command != nullptr ? command : "";
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(start);
    const std::size_t end = rest.find(' ');
    words.emplace_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  return words;
}

std::vector<std::string> daemonArguments(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = daemonCommand();
  if (command.empty()) {
    return arguments;
  }
  const char* rootVariable = std::getenv("QUAYSIDE_DAEMON_ROOT");
  const std::string root = rootVariable != nullptr ? rootVariable : "";
  command.erase(command.begin());
  for (const std::string& argument : arguments) {
    command.push_back(!argument.empty() && argument.front() == '/' ? root + argument : argument);
  }
  return command;
}

}  // namespace

std::string Daemon::programPath() {
  const std::vector<std::string> command = daemonCommand();
  if (command.empty()) {
    return QUAYSIDE_DAEMON_PATH;
  }
  // A bare program name is looked up as a shell would.
  return command.front().find('/') == std::string::npos ? testing::findProgram(command.front())
                                                        : command.front();
}

bool Daemon::underWine() {
  const std::vector<std::string> command = daemonCommand();
  if (command.empty()) {
    return false;
  }
  const std::string& program = command.front();
  const std::size_t slash = program.rfind('/');
  return program.substr(slash == std::string::npos ? 0 : slash + 1).rfind("wine", 0) == 0;
}

int Daemon::stopSignal() {
  return underWine() ? SIGINT : SIGTERM;
}

Daemon::Daemon(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment)
    : process_(
          std::make_unique<ChildProcess>(programPath(), daemonArguments(arguments), environment)) {}

Outcome Daemon::waitListening(std::uint16_t port) {
  // The log line's wording is the daemon's own; it must say "listening" and
  // name the port.
  const auto deadline = testing::Clock::now() + testing::kReadTimeout;
  const std::string portText = std::to_string(port);
  while (testing::Clock::now() < deadline) {
    const std::string text = process_->output();
    std::size_t start = 0;
    while (start < text.size()) {
      const auto end = text.find('\n', start);
      const std::string_view line(text.data() + start,
                                  (end == std::string::npos ? text.size() : end) - start);
      if (testing::containsIgnoringCase(line, "listening") && line.find(portText) != line.npos &&
          !testing::containsIgnoringCase(line, "error")) {
        return Outcome::success();
      }
      start = end == std::string::npos ? text.size() : end + 1;
    }
    if (!process_->running()) {
      break;
    }
    process_->waitForMore(text.size(), std::chrono::milliseconds(50));
  }
  return Outcome::failure("the daemon did not report listening on port " + std::to_string(port) +
                          "; its log:\n" + process_->output());
}

std::string EiskaltDcpp::programPath() {
  return testing::findProgram("eiskaltdcpp-daemon");
}

namespace {

// Long enough for a connect through a Bridge, whose connects wait their turn.
constexpr auto kEiskaltWait = std::chrono::seconds(30);

// Calls `read` until what it gives contains `text`, or the wait passes.
Outcome pollFor(const std::function<std::string()>& read, std::string_view text,
                std::string_view what) {
  const auto deadline = testing::Clock::now() + kEiskaltWait;
  std::string last;
  while (testing::Clock::now() < deadline) {
    last = read();
    if (last.find(text) != std::string::npos) {
      return Outcome::success();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return Outcome::failure(std::string(what) + " never held \"" + testing::printable(text) +
                          "\"; last: \"" + testing::printable(last) + "\"");
}

}  // namespace

EiskaltDcpp::EiskaltDcpp(const std::string& nick) {
  const std::string program = programPath();
  if (program.empty()) {
    return;
  }
  {
    std::ofstream config(directory_.file("DCPlusPlus.xml"));
    config << "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n"
           << "<DCPlusPlus><Settings>\n"
           << "<Nick type=\"string\">" << nick << "</Nick>\n"
           << "<IncomingConnections type=\"int\">3</IncomingConnections>\n"
           << "<LogPrivateChat type=\"int\">1</LogPrivateChat>\n"
           << "<EnableDynDNS type=\"int\">0</EnableDynDNS>\n"  // no address lookup on the internet
           << "</Settings></DCPlusPlus>\n";
  }
  // The JSON-RPC port is free when chosen but could be taken before the
  // client binds it; a few fresh tries make that race harmless.
  for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
    port_ = testing::freePort();
    process_ = std::make_unique<ChildProcess>(
        program,
        std::vector<std::string>{"-c", directory_.path() + "/", "-P", std::to_string(port_)});
    const auto deadline = testing::Clock::now() + testing::kReadTimeout;
    while (!started_ && testing::Clock::now() < deadline && process_->running()) {
      started_ =
          call("settings.getset", {{"key", "Nick"}}).find("\"" + nick + "\"") != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

EiskaltDcpp::~EiskaltDcpp() {
  // Killed outright: it crashes on SIGTERM.
  if (process_) {
    process_->signal(SIGKILL);
  }
}

std::string EiskaltDcpp::call(std::string_view method,
                              const std::map<std::string, std::string>& params) {
  std::string body =
      R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(method) + R"(","params":{)";
  for (const auto& [name, value] : params) {
    body += (body.back() == '{' ? "\"" : ",\"") + name + "\":\"";
    for (const char c : value) {
      body += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
    }
    body += '"';
  }
  body += "}}";
  testing::MessagePeer http("\r\n");
  if (!http.connect(port_) ||
      !http.send("POST / HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\n\r\n" + body)) {
    return {};
  }
  return http.readUntilClosed().value_or("");
}

Outcome EiskaltDcpp::waitForAnswer(std::string_view method,
                                   const std::map<std::string, std::string>& params,
                                   std::string_view text) {
  return pollFor([&] { return call(method, params); }, text, method);
}

Outcome EiskaltDcpp::waitForPrivateLine(std::string_view nick, std::string_view line) {
  // Logs/PM/<month - year>/<nick> (<user's CID>).log, a line as the window shows it.
  const std::string name = std::string(nick) + " (";
  return pollFor(
      [&] {
        std::error_code error;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(directory_.file("Logs/PM"), error)) {
          if (entry.path().filename().string().starts_with(name)) {
            std::ifstream file(entry.path(), std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(file), {});
          }
        }
        return std::string();
      },
      "] " + std::string(line) + "\r\n", "the private chat log with " + std::string(nick));
}

std::string bridgeArgument(std::uint16_t localPort, std::uint16_t ircPort,
                           const std::string& channel) {
  return std::to_string(localPort) + "=127.0.0.1:" + std::to_string(ircPort) + "/" + channel;
}

bool ngircdRequired() {
  const char* required = std::getenv("QUAYSIDE_REQUIRE_NGIRCD");
  return required != nullptr && std::string_view(required) == "1";
}

bool eiskaltdcppRequired() {
  const char* required = std::getenv("QUAYSIDE_REQUIRE_EISKALTDCPP");
  return required != nullptr && std::string_view(required) == "1";
}

bool hasSanitizerReport(const std::string& log) {
  return log.find("ERROR: AddressSanitizer") != std::string::npos ||
         log.find("ERROR: LeakSanitizer") != std::string::npos ||
         log.find("WARNING: ThreadSanitizer") != std::string::npos ||
         log.find("runtime error:") != std::string::npos;
}

void checkDaemonAfterTest(const Daemon& daemon) {
  EXPECT_FALSE(hasSanitizerReport(daemon.log())) << daemon.log();
  if (::testing::Test::HasFailure()) {
    std::cerr << "daemon log:\n" << daemon.log() << "\n";
  }
}

}  // namespace quayside::e2e
