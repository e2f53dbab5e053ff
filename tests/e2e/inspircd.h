#pragma once

#include "e2e/servers.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quayside::e2e {

// Debian's InspIRCd with Atheme services linked to it (NickServ accounts,
// SaslServ for SASL PLAIN), both on free loopback ports and configured in a
// temp directory. The IRC server answers to kIrcServerName; it lets clients
// in without SASL, so a login shows only in the account WHOIS reports. It
// offers the IRCv3 capabilities a modern network does, and channel history.
// An operator of the IRC server who may change their own host (SETHOST).
inline constexpr char kOperName[] = "hoster";
inline constexpr char kOperPassword[] = "hostpw";

class SaslNetwork {
 public:
  // Empty when the program is not installed.
  static std::string inspircdPath();
  static std::string athemePath();

  // Starts both and waits until the services have linked; started() tells
  // whether that worked, log() why not.
  SaslNetwork();

  bool started() const { return started_; }
  std::uint16_t port() const { return port_; }
  std::string log() const;

  // Registers the account `account` with NickServ, as a scripted user of
  // that nick who leaves again, so the nick is free for the test.
  Outcome registerAccount(const std::string& account, const std::string& password);

 private:
  bool startServer();
  bool startServices();

  TempDirectory directory_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> services_;
  std::uint16_t port_ = 0;
  std::uint16_t linkPort_ = 0;
  bool started_ = false;
};

}  // namespace quayside::e2e
