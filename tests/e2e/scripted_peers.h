#pragma once

#include "support/message_peer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quayside::e2e {

using testing::Clock;
using testing::kReadTimeout;
using testing::MessagePeer;
using testing::Outcome;
using testing::printable;

// What the hub client is greeted with once the relay reached the server.
inline constexpr std::string_view kLock = "$Lock EXTENDEDPROTOCOL_QUAYSIDE Pk=version1.00|";

// How long a client waits for the answers that come once its server is
// connected: a Bridge's connects start two seconds apart, so of eight
// clients connecting together the last waits 14 s, and a loaded machine
// adds to that.
inline constexpr auto kTurnWait = std::chrono::seconds(30);

// The client's user information as a typical NMDC client sends it.
std::string clientInfo(std::string_view nick);

// The user information under which an IRC user appears in the hub's list;
// `userAtHost` is empty for members learnt from the names list.
std::string ircUserInfo(std::string_view nick, std::string_view userAtHost = "");

// The operator menu the client is given, for channel target `channel`.
std::string operatorMenu(std::string_view channel);

// How the IRC server shows a user connected from loopback without ident.
std::string ircPrefix(std::string_view nick);

// A scripted NMDC hub client, talking to the daemon's local port.
class NmdcClient : public MessagePeer {
 public:
  explicit NmdcClient(std::string nick) : MessagePeer("|"), nick_(std::move(nick)) {}

  const std::string& nick() const { return nick_; }

  // The usual NMDC login up to the hub name: lock, "$Supports", "$Hello",
  // the echo of "$MyINFO", the operator menu and "$HubName" once the channel
  // is joined after the server's welcome.
  // `channel` is the channel target (as in the menu); the hub name shows
  // `hubName`, the channel as configured, when that differs.
  Outcome login(std::string_view channel, std::string_view hubName = {});

  // Steps of login(), for tests that interleave other clients.
  Outcome greet();
  Outcome validate();
  // What a client sends right after the lock, up to its nick.
  void sendNick();
  Outcome registerInfo(std::string_view channel, std::string_view hubName = {});

 private:
  std::string nick_;
};

// Whether `told` is a retry's answer inside a hold: the status line that
// gives `reason` and the time Quayside tries again, and nothing after it.
bool isHeldAnswer(const std::string& told, std::string_view reason);

// How many sessions the daemon connected to a server so far.
std::size_t connectedRelays(const std::string& daemonLog);

// A scripted IRC user on the real IRC server; answers PING by itself.
class IrcUser : public MessagePeer {
 public:
  explicit IrcUser(std::string nick);

  const std::string& nick() const { return nick_; }

  // With the server's password, where it has one.
  Outcome login(std::uint16_t ircPort, std::string_view password = {});
  Outcome join(std::string_view channel);
  bool line(std::string_view text) { return send(std::string(text) + "\r\n"); }

  // Waits for a line from `fromNick` that reads `rest` after its prefix
  // (":nick!~nick@127.0.0.1 " + rest).
  Outcome waitFrom(std::string_view fromNick, std::string_view rest);

  // Reads (and answers PING) for `duration`; what arrived is in skipped().
  void stayFor(Clock::duration duration);

  // Asks the server (ISON) until `otherNick` is no longer connected.
  Outcome waitUntilGone(std::string_view otherNick);

 private:
  std::string nick_;
};

}  // namespace quayside::e2e
