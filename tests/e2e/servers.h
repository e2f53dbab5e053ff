#pragma once

#include "support/child_process.h"
#include "support/message_peer.h"
#include "support/temp_directory.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quayside::e2e {

using testing::ChildProcess;
using testing::Outcome;
using testing::TempDirectory;

inline constexpr char kIrcServerName[] = "irc.quayside.test";
inline constexpr char kIrcOperatorName[] = "harbour";
inline constexpr char kIrcOperatorPassword[] = "master";

// What an IrcServer listens on besides its plain port on 127.0.0.1.
struct IrcServerOptions {
  bool ipv6 = false;     // the plain port on ::1 too
  std::string password;  // the server password every client must give, if any
  // PEM files of a certificate and its key: a TLS port too, on the same addresses.
  std::string certificateFile;
  std::string keyFile;
  // Longest nick; 0 leaves ngircd's default (9).
  int maxNickLength = 30;
};

// Debian's ngircd on a free loopback port, configured in a temp directory:
// no PAM, ident or DNS lookups, no per-address connection limit and no
// command throttling, so scripted users get answers at once.
class IrcServer {
 public:
  // Empty when ngircd is not installed.
  static std::string programPath();

  // Starts the server and waits until it accepts connections; started()
  // tells whether that worked, startupLog() why not. An idle user is sent
  // PING after `pingSeconds` and dropped when no PONG follows in as many.
  explicit IrcServer(int pingSeconds = 600, const IrcServerOptions& options = {});

  bool started() const { return started_; }
  std::uint16_t port() const { return port_; }
  std::uint16_t tlsPort() const { return tlsPort_; }  // 0 without a certificate
  std::string startupLog() const;
  std::string log() const { return startupLog(); }

 private:
  TempDirectory directory_;
  std::unique_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
  std::uint16_t tlsPort_ = 0;
  bool started_ = false;
};

// The daemon under test, started with the given arguments. Its log goes to
// a pipe that the test reads.
class Daemon {
 public:
  static std::string programPath();

  // Whether QUAYSIDE_DAEMON_COMMAND runs the daemon under wine.
  static bool underWine();

  // Whether SSL_CERT_FILE and SSL_CERT_DIR make the daemon's trust store:
  // not for the Windows build, which trusts what Windows trusts.
  static bool trustStoreFollowsEnvironment() { return !underWine(); }

  // The signal that asks the daemon to stop: SIGTERM, or SIGINT under wine,
  // which ends a program on SIGTERM at once but hands SIGINT to it as Ctrl+C.
  static int stopSignal();

  explicit Daemon(const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment = {});

  // Waits for the log line that says the Bridge on `port` is listening.
  Outcome waitListening(std::uint16_t port);

  ChildProcess& process() { return *process_; }
  std::string log() const { return process_->output(); }

 private:
  std::unique_ptr<ChildProcess> process_;
};

// Debian's EiskaltDC++ daemon, a real DC client, configured in a temp
// directory before it starts: passive (no ports of its own beside its
// JSON-RPC one) and logging private chats to files there, one per user.
class EiskaltDcpp {
 public:
  // Empty when eiskaltdcpp-daemon is not installed.
  static std::string programPath();

  // Starts it as `nick` and waits until it answers; started() tells whether
  // that worked, log() why not.
  explicit EiskaltDcpp(const std::string& nick);
  ~EiskaltDcpp();

  bool started() const { return started_; }
  std::string log() const { return process_ ? process_->output() : "(not run)"; }

  // One JSON-RPC call with string parameters; the HTTP answer, empty when none came.
  std::string call(std::string_view method, const std::map<std::string, std::string>& params);

  // Calls until the answer contains `text`.
  Outcome waitForAnswer(std::string_view method, const std::map<std::string, std::string>& params,
                        std::string_view text);

  // Waits until the private chat with `nick` holds `line` ("<alice> hi") as a logged line.
  Outcome waitForPrivateLine(std::string_view nick, std::string_view line);

 private:
  TempDirectory directory_;
  std::unique_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
  bool started_ = false;
};

// The argument that makes the daemon relay `localPort` to the IRC server on
// 127.0.0.1:`ircPort`, channel `channel`.
std::string bridgeArgument(std::uint16_t localPort, std::uint16_t ircPort,
                           const std::string& channel);

// Whether a missing ngircd fails the IRC tests (QUAYSIDE_REQUIRE_NGIRCD=1,
// as in CI) rather than skipping them.
bool ngircdRequired();
// Likewise for EiskaltDC++ (QUAYSIDE_REQUIRE_EISKALTDCPP=1).
bool eiskaltdcppRequired();

// True when `log` shows a sanitizer report (an over-read in the daemon must
// fail the test even if the daemon survived it).
bool hasSanitizerReport(const std::string& log);

// For a fixture's TearDown: a sanitizer report in the daemon's log fails the
// test, and a failed test prints the whole log.
void checkDaemonAfterTest(const Daemon& daemon);

}  // namespace quayside::e2e
