#include "e2e/inspircd.h"

#include "e2e/scripted_peers.h"

#include <unistd.h>

#include <fstream>
#include <thread>

namespace quayside::e2e {
namespace {

constexpr char kServicesName[] = "services.quayside.test";
constexpr char kLinkPassword[] = "quayside-link";

bool accepting(std::uint16_t port) {
  SocketHandle probe = testing::connectLoopback(port);
  const bool connected = probe != kNoSocket;
  platform::closeSocket(probe);
  return connected;
}

// Waits until `process` wrote `text` (and `port`, when given, accepts).
bool waitReady(ChildProcess& process, std::string_view text, std::uint16_t port = 0) {
  const auto deadline = testing::Clock::now() + testing::kReadTimeout;
  while (testing::Clock::now() < deadline && process.running()) {
    if (process.output().find(text) != std::string::npos && (port == 0 || accepting(port))) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string programFromEnvironment(const char* variable, std::string_view name) {
  if (const char* forced = std::getenv(variable); forced != nullptr && *forced != '\0') {
    return access(forced, X_OK) == 0 ? forced : "";
  }
  return testing::findProgram(name);
}

}  // namespace

std::string SaslNetwork::inspircdPath() {
  return programFromEnvironment("QUAYSIDE_INSPIRCD", "inspircd");
}

std::string SaslNetwork::athemePath() {
  return programFromEnvironment("QUAYSIDE_ATHEME", "atheme-services");
}

SaslNetwork::SaslNetwork() {
  if (inspircdPath().empty() || athemePath().empty()) {
    return;
  }
  // Ports are free when chosen but could be taken before the server binds
  // them; a few fresh tries make that race harmless.
  for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
    if (startServer()) {
      started_ = startServices();
    }
    if (!started_) {
      services_.reset();
      if (server_) {
        server_->stop();
      }
    }
  }
}

bool SaslNetwork::startServer() {
  port_ = testing::freePort();
  linkPort_ = testing::freePort();
  {
    // No DNS, ident or flood limits, so scripted users get answers at once;
    // the services server is trusted (uline) and SASL goes to it.
    std::ofstream config(directory_.file("inspircd.conf"));
    config << "<server name=\"" << kIrcServerName
           << "\" description=\"Quayside test server\" network=\"QuaysideTest\">\n"
           << "<admin name=\"Quayside\" nick=\"quayside\" email=\"quayside@example.org\">\n"
           << "<bind address=\"127.0.0.1\" port=\"" << port_ << "\" type=\"clients\">\n"
           << "<bind address=\"127.0.0.1\" port=\"" << linkPort_ << "\" type=\"servers\">\n"
           << "<connect name=\"main\" allow=\"*\" timeout=\"60\" pingfreq=\"600\" "
              "sendq=\"262144\" recvq=\"65536\" threshold=\"1000\" commandrate=\"100000\" "
              "fakelag=\"no\" localmax=\"1000\" globalmax=\"1000\" useident=\"no\" "
              "resolvehostnames=\"no\" limit=\"5000\">\n"
           << "<dns server=\"127.0.0.1\" timeout=\"1\">\n"
           << "<pid file=\"" << directory_.file("inspircd.pid") << "\">\n"
           << "<module name=\"cap\">\n"
           // The IRCv3 capabilities Quayside asks for, channel history on
           // join (mode +H) and a host change by an operator (SETHOST).
           << "<module name=\"ircv3\">\n"
           << "<module name=\"ircv3_capnotify\">\n"
           << "<module name=\"ircv3_chghost\">\n"
           << "<module name=\"ircv3_ctctags\">\n"
           << "<module name=\"ircv3_invitenotify\">\n"
           << "<module name=\"ircv3_servertime\">\n"
           << "<module name=\"chanhistory\">\n"
           << "<chanhistory maxlines=\"50\" prefixmsg=\"no\">\n"
           << "<module name=\"namesx\">\n"
           << "<module name=\"uhnames\">\n"
           << "<module name=\"sethost\">\n"
           << "<class name=\"hosts\" commands=\"SETHOST\">\n"
           << "<type name=\"hoster\" classes=\"hosts\">\n"
           << "<oper name=\"" << kOperName << "\" password=\"" << kOperPassword
           << "\" host=\"*@*\" type=\"hoster\">\n"
           << "<module name=\"sasl\">\n"
           << "<module name=\"services_account\">\n"
           << "<module name=\"spanningtree\">\n"
           << "<link name=\"" << kServicesName << "\" ipaddr=\"127.0.0.1\" port=\"" << linkPort_
           << "\" allowmask=\"127.0.0.0/8\" sendpass=\"" << kLinkPassword << "\" recvpass=\""
           << kLinkPassword << "\">\n"
           << "<uline server=\"" << kServicesName << "\" silent=\"yes\">\n"
           << "<sasl target=\"" << kServicesName << "\">\n";
  }
  std::vector<std::string> arguments = {"--config", directory_.file("inspircd.conf"), "--nofork",
                                        "--nolog"};
  if (geteuid() == 0) {
    arguments.emplace_back("--runasroot");  // CI containers run as root
  }
  server_ = std::make_unique<ChildProcess>(inspircdPath(), arguments);
  return waitReady(*server_, "is now running", port_);
}

bool SaslNetwork::startServices() {
  {
    std::ofstream config(directory_.file("atheme.conf"));
    config << "loadmodule \"modules/protocol/inspircd\";\n"
           << "loadmodule \"modules/backend/opensex\";\n"
           << "loadmodule \"modules/crypto/posix\";\n"
           << "loadmodule \"modules/nickserv/main\";\n"
           << "loadmodule \"modules/nickserv/register\";\n"
           << "loadmodule \"modules/saslserv/main\";\n"
           << "loadmodule \"modules/saslserv/plain\";\n"
           << "serverinfo {\n"
           << "  name = \"" << kServicesName << "\";\n"
           << "  desc = \"Quayside test services\";\n"
           << "  numeric = \"00A\";\n"
           << "  recontime = 1;\n"
           << "  netname = \"QuaysideTest\";\n"
           << "  hidehostsuffix = \"users.quayside.test\";\n"
           << "  adminname = \"Quayside\";\n"
           << "  adminemail = \"quayside@example.org\";\n"
           << "  registeremail = \"quayside@example.org\";\n"
           << "  auth = none;\n"
           << "  casemapping = rfc1459;\n"
           << "  maxlogins = 5;\n"
           << "  maxusers = 5;\n"
           << "  mdlimit = 30;\n"
           << "  emaillimit = 10;\n"
           << "  emailtime = 300;\n"
           << "};\n"
           << "uplink \"" << kIrcServerName << "\" {\n"
           << "  host = \"127.0.0.1\";\n"
           << "  password = \"" << kLinkPassword << "\";\n"
           << "  port = " << linkPort_ << ";\n"
           << "};\n"
           << "nickserv {\n"
           << "  nick = \"NickServ\";\n"
           << "  user = \"NickServ\";\n"
           << "  host = \"" << kServicesName << "\";\n"
           << "  real = \"Nickname Services\";\n"
           << "};\n"
           << "saslserv {\n"
           << "  nick = \"SaslServ\";\n"
           << "  user = \"SaslServ\";\n"
           << "  host = \"" << kServicesName << "\";\n"
           << "  real = \"SASL Authentication Agent\";\n"
           << "};\n"
           << "general {\n"
           << "  commit_interval = 5;\n"
           << "};\n";
  }
  services_ = std::make_unique<ChildProcess>(
      athemePath(), std::vector<std::string>{"-n", "-c", directory_.file("atheme.conf"), "-D",
                                             directory_.path(), "-l", directory_.file("atheme.log"),
                                             "-p", directory_.file("atheme.pid")});
  return waitReady(*services_, "finished synching with uplink");
}

std::string SaslNetwork::log() const {
  return "inspircd:\n" + (server_ ? server_->output() : "(not run)") + "\natheme:\n" +
         (services_ ? services_->output() : "(not run)");
}

Outcome SaslNetwork::registerAccount(const std::string& account, const std::string& password) {
  IrcUser user(account);
  if (auto r = user.login(port_); !r) {
    return r;
  }
  user.line("PRIVMSG NickServ :REGISTER " + password + " " + account + "@example.org");
  if (auto r = user.waitFor(
          [&](const std::string& line) {
            return line.find(" NOTICE " + account + " :") != std::string::npos &&
                   line.find("is now registered") != std::string::npos;
          },
          "NickServ's notice that the account is registered");
      !r) {
    return r;
  }
  user.line("QUIT");
  if (!user.readUntilClosed()) {
    return Outcome::failure(account + " was not let go by the IRC server");
  }
  return Outcome::success();
}

}  // namespace quayside::e2e
